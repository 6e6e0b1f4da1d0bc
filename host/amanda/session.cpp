#include "commands.h"

#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "amanda_lines.h"
#include "message_log.h"

namespace amanda_app {

const char *level_word(int level) { return level == 0 ? "FULL" : "DIFF"; }

std::optional<std::string> work_dir_problem(const fs::path &dir) {
    if (::mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST)
        return "cannot create " + dir.string() + ": " + std::strerror(errno);
    struct stat st {};
    if (::lstat(dir.c_str(), &st) != 0)
        return "cannot read " + dir.string() + ": " + std::strerror(errno);
    if (!S_ISDIR(st.st_mode))
        return dir.string() + " is not a directory";
    if (st.st_uid != ::geteuid())
        return dir.string() + " belongs to uid " + std::to_string(st.st_uid) + ", not to the user " +
               std::to_string(::geteuid()) + " the application runs as; chown it";
    if (st.st_mode & (S_IWGRP | S_IWOTH))
        return dir.string() + " is writable by others; chmod 700 it";
    if (::access(dir.c_str(), R_OK | W_OK | X_OK) != 0)
        return "cannot write into " + dir.string() + ": " + std::strerror(errno);
    return std::nullopt;
}

std::optional<std::string> become_work_dir_owner(const fs::path &dir) {
    struct stat st {};
    if (::geteuid() != 0 || ::lstat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid == 0)
        return std::nullopt;
    const struct passwd *pw = ::getpwuid(st.st_uid);
    if (!pw)
        return dir.string() + " belongs to uid " + std::to_string(st.st_uid) + ", which has no account";
    if (::initgroups(pw->pw_name, pw->pw_gid) != 0 || ::setgid(pw->pw_gid) != 0 || ::setuid(pw->pw_uid) != 0)
        return std::string("cannot become the user ") + pw->pw_name + ", the owner of " + dir.string() + ": " +
               std::strerror(errno);
    if (::setuid(0) == 0)
        return std::string("could not leave root for the user ") + pw->pw_name;
    ::setenv("HOME", pw->pw_dir, 1);
    ::setenv("USER", pw->pw_name, 1);
    ::setenv("LOGNAME", pw->pw_name, 1);
    return std::nullopt;
}

void prepare_session(const AppSettings &s) {
    for (const std::string &entry : s.env) {
        const auto eq = entry.find('=');
        ::setenv(entry.substr(0, eq).c_str(), entry.substr(eq + 1).c_str(), 1);
    }
    if (auto problem = work_dir_problem(s.work_dir); !problem) {
        const fs::path log = s.log_file.value_or(s.work_dir / "amarkzarafa.log");
        try {
            host::MessageLog::open(log, false, "amarkzarafa");
        } catch (const std::exception &e) {
            write_line(amanda_err(), std::string("amarkzarafa: ") + e.what());
        }
    }
    divert_std_streams(host::MessageLog::get().descriptor());
}

std::unique_ptr<host::Plugin> load_plugin(const AppSettings &s) {
    std::unique_ptr<host::Plugin> plugin = host::Plugin::load_or_report(s.plugin);
    if (plugin)
        plugin->install_log_sink();
    return plugin;
}

} // namespace amanda_app
