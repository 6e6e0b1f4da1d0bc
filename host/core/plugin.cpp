#include "plugin.h"

#include <dlfcn.h>

#include "message_log.h"

namespace host {

std::unique_ptr<Plugin> Plugin::load_or_report(const std::filesystem::path &path) {
    try {
        return load(path);
    } catch (const PluginError &e) {
        MessageLog::get().error(e.what());
        return nullptr;
    }
}

std::unique_ptr<Plugin> Plugin::load(const std::filesystem::path &path) {
    // The path is absolute (see cli), so dlopen never searches the library path.
    void *handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!handle) {
        const char *why = dlerror();
        throw PluginError("cannot load plug-in " + path.string() + ": " + (why ? why : "unknown reason"));
    }
    std::unique_ptr<Plugin> plugin(new Plugin(handle, path));
    std::string missing;
    auto resolve = [&](auto &slot, const char *name) {
        slot = reinterpret_cast<std::remove_reference_t<decltype(slot)>>(dlsym(handle, name));
        if (!slot)
            missing += (missing.empty() ? "" : ", ") + std::string(name);
    };
    EntryPoints &db = plugin->db_;
    resolve(db.init_operation, "DB_InitOperation");
    resolve(db.get_item, "DB_GetItem");
    resolve(db.set_item, "DB_SetItem");
    resolve(db.item_finish_status, "DB_ItemFinishStatus");
    resolve(db.close_operation, "DB_CloseOperation");
    resolve(db.set_trace, "DB_SetTrace");
    resolve(db.set_log, "DB_SetLog");
    resolve(db.get_info, "DB_GetInfo");
    resolve(db.get_error, "DB_GetError");
    if (!missing.empty())
        throw PluginError("plug-in " + path.string() + " does not export " + missing);
    return plugin;
}

void *Plugin::symbol(const char *name) const { return dlsym(handle_, name); }

void Plugin::install_log_sink() const { db_.set_log(plugin_sink); }

std::string code_name(int code) {
    switch (code) {
    case DB_NUM_I_OK:
        return "DB_NUM_I_OK";
    case DB_NUM_I_COMPLETE:
        return "DB_NUM_I_COMPLETE";
    case DB_NUM_E_ERROR:
        return "DB_NUM_E_ERROR";
    default:
        return std::to_string(code);
    }
}

bool entry_point_succeeded(const char *name, int code, bool complete_allowed) {
    if (code == DB_NUM_I_OK || (complete_allowed && code == DB_NUM_I_COMPLETE))
        return true;
    auto &log = MessageLog::get();
    if (code == DB_NUM_E_ERROR)
        log.notice(std::string(name) + " returned DB_NUM_E_ERROR");
    else
        log.error(std::string(name) + " returned the unknown code " + std::to_string(code));
    return false;
}

} // namespace host
