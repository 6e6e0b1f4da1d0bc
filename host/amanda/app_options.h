// The command line Amanda gives an application: the command, Amanda's own
// options (--config, --host, --disk, --level, --index, --message, ...), one
// "--NAME VALUE" per value of an application property, and on restore the
// names of what to restore.
#pragma once

#include <filesystem>
#include <map>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace amanda_app {

namespace fs = std::filesystem;

struct AppOptions {
    std::string command; // support, selfcheck, estimate, backup, restore, validate
    std::optional<std::string> config, host, disk, device;
    std::vector<int> levels;
    bool index = false;   // --index line: index lines go to descriptor 4
    bool message = false; // --message line
    std::optional<fs::path> include_list;
    std::optional<fs::path> target; // --target / --directory: where a restore runs
    std::vector<std::string> names; // what to restore, as amrecover and amfetchdump pass it
    // Every other option, by its name in lower case with "_" taken as "-",
    // with all the values it was given.
    std::map<std::string, std::vector<std::string>> properties;

    const std::vector<std::string> &values(const std::string &name) const;
    std::optional<std::string> value(const std::string &name) const; // the last one given
};

class UsageError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Throws UsageError with a one-line reason.
AppOptions parse_app_options(int argc, char **argv);

// The application's settings, from its properties with their defaults.
struct AppSettings {
    fs::path plugin;
    fs::path work_dir;                   // TMP_DIR of the plug-in
    std::string job;                     // from the disk-list entry unless JOB is set
    std::vector<std::string> mailboxes;  // "DATABASE=" of a backup
    std::optional<std::string> exclude;  // "-x"
    std::optional<int> workers;          // "-w"
    std::optional<int> tool_timeout;     // "-t" seconds
    std::vector<std::string> list_files; // restore: USER@FILE
    bool no_recovery = false;            // restore: RECOVERY=NO
    std::vector<std::string> env;        // NAME=VALUE for the server's tools
    std::optional<fs::path> log_file;
};

// Throws UsageError naming the property that is wrong and how to fix it.
AppSettings settings_of(const AppOptions &options);

// Why a name cannot be a job name, or nothing.
std::optional<std::string> job_name_problem(const std::string &name);

} // namespace amanda_app
