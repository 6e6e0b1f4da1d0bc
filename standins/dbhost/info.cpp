#include "info.h"

#include <iostream>

#include "exit_status.h"
#include "host_core.h"
#include "message_log.h"
#include "plugin.h"

namespace dbhost {
namespace {

const char *type_name(DB_TYPE type) {
    switch (type) {
    case DB_FILE_PREPARE:
        return "DB_FILE_PREPARE";
    case DB_STREAM:
        return "DB_STREAM";
    case DB_FILE:
        return "DB_FILE";
    }
    return "unknown";
}

} // namespace

int run_info(const Options &o) {
    const std::unique_ptr<Plugin> plugin = Plugin::load_or_report(o.plugin);
    if (!plugin)
        return exit_usage;
    plugin->install_log_sink();
    TYPE_DB_Info info{};
    if (!entry_point_succeeded("DB_GetInfo", plugin->db().get_info(&info)))
        return exit_failed;
    auto text = [](const char *s) { return s ? s : "(none)"; };
    std::cout << "client:   " << text(info.cpDBClient) << "\n"
              << "version:  " << text(info.cpDBVersion) << "\n"
              << "released: " << text(info.cpDBRelDate) << "\n"
              << "type:     " << type_name(info.eDBType) << " (" << static_cast<int>(info.eDBType) << ")\n";
    return exit_ok;
}

} // namespace dbhost
