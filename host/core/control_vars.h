// The control variables handed to DB_InitOperation and DB_CloseOperation.
#pragma once

#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "db_interface.h"

namespace host {

// What a backup or restore operation is asked for, as its control variables
// carry it to the plug-in.
struct OperationSettings {
    std::optional<std::string> saveset;
    std::optional<std::string> level; // FULL, INCR, DIFF or COPY
    std::optional<std::string> job;
    std::optional<std::string> exclude;
    std::optional<std::filesystem::path> work_dir; // "TMP_DIR="
    // "DATABASE=" values in the order given: mailbox names and USER@FILE
    // list-file references.
    std::vector<std::string> databases;
    std::vector<std::string> vars; // further KEY=VALUE entries, as given
    bool no_recovery = false;
    std::optional<int> workers;      // the option words "-w" "N"
    std::optional<int> tool_timeout; // the option words "-t" "SECONDS"
};

// A NULL-terminated array of writable "KEY=value" strings owned here. The
// plug-in may write into them (it splits "INFO=" in place); the host never
// changes them, and the same array goes to both entry points.
class ControlVars {
public:
    void add(const std::string &entry);
    char **array() { return pointers_.data(); }
    const std::vector<std::string> &entries() const { return texts_; }

private:
    std::vector<std::string> texts_;
    std::vector<std::unique_ptr<char[]>> storage_;
    std::vector<char *> pointers_{nullptr}; // always NULL-terminated
};

// "INFO=" with the option words, "SAVESET=", "TMP_DIR=", one "DATABASE=" per
// mailbox, then the further entries.
ControlVars backup_control_vars(const OperationSettings &options);

// "SAVESET=", "TMP_DIR=", one "DATABASE=" per mailbox or list file,
// "RECOVERY=NO", then the further entries.
ControlVars restore_control_vars(const OperationSettings &options);

// The level enumeration handed to DB_InitOperation for a level word (FULL,
// INCR, DIFF); COPY for anything else.
DB_OPERATION_LEVEL level_of(const std::string &word);

} // namespace host
