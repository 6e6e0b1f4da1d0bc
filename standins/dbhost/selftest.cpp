#include "selftest.h"

#include <iostream>

#include "exit_status.h"
#include "host_core.h"
#include "message_log.h"
#include "plugin.h"

namespace dbhost {

int run_selftest(const Options &o) {
    auto &log = MessageLog::get();
    const std::unique_ptr<Plugin> plugin = Plugin::load_or_report(o.plugin);
    if (!plugin)
        return exit_usage;
    using SelfTest = int (*)(int);
    auto self_test = reinterpret_cast<SelfTest>(plugin->symbol("test_zarafa_server_utils"));
    if (!self_test) {
        log.error("plug-in " + o.plugin.string() + " has no self tests (it does not export test_zarafa_server_utils)");
        return exit_usage;
    }
    plugin->install_log_sink();
    // The plug-in writes its verdicts to standard error itself.
    int result = self_test(0);
    std::cerr << std::flush;
    std::cout << "self tests returned " << result << "\n";
    return result == 0 ? exit_ok : exit_failed;
}

} // namespace dbhost
