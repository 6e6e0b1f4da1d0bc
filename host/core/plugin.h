// A DB_ plug-in loaded with dlopen, and checked calls of its entry points.
#pragma once

#include <filesystem>
#include <memory>
#include <stdexcept>
#include <string>

#include "db_interface.h"

namespace host {

struct EntryPoints {
    decltype(&DB_InitOperation) init_operation = nullptr;
    decltype(&DB_GetItem) get_item = nullptr;
    decltype(&DB_SetItem) set_item = nullptr;
    decltype(&DB_ItemFinishStatus) item_finish_status = nullptr;
    decltype(&DB_CloseOperation) close_operation = nullptr;
    decltype(&DB_SetTrace) set_trace = nullptr;
    decltype(&DB_SetLog) set_log = nullptr;
    decltype(&DB_GetInfo) get_info = nullptr;
    decltype(&DB_GetError) get_error = nullptr;
};

class Plugin {
public:
    // Loads the library (RTLD_NOW | RTLD_LOCAL) and resolves all nine entry
    // points. Throws PluginError naming the library and what is missing.
    static std::unique_ptr<Plugin> load(const std::filesystem::path &path);
    // The same, but a failure is reported as an "Error:" message and gives
    // nullptr.
    static std::unique_ptr<Plugin> load_or_report(const std::filesystem::path &path);

    const EntryPoints &db() const { return db_; }
    // Another exported symbol, or nullptr.
    void *symbol(const char *name) const;
    const std::filesystem::path &path() const { return path_; }

    // Installs the host's message sink.
    void install_log_sink() const;

private:
    Plugin(void *handle, std::filesystem::path path) : handle_(handle), path_(std::move(path)) {}
    void *handle_; // never closed: the plug-in may leave exit handlers behind
    std::filesystem::path path_;
    EntryPoints db_;
};

class PluginError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Judges the return code of an operation entry point. Returns true for
// DB_NUM_I_OK (and DB_NUM_I_COMPLETE where allowed); otherwise shows what was
// returned and returns false.
bool entry_point_succeeded(const char *name, int code, bool complete_allowed = false);

// "DB_NUM_I_OK", "DB_NUM_E_ERROR", ... or the number.
std::string code_name(int code);

} // namespace host
