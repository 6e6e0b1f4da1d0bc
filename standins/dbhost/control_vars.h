// The control variables handed to DB_InitOperation and DB_CloseOperation.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "cli.h"
#include "db_interface.h"

namespace dbhost {

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
// mailbox, then the --var entries.
ControlVars backup_control_vars(const Options &options);

// "SAVESET=", "TMP_DIR=", one "DATABASE=" per mailbox or list file,
// "RECOVERY=NO", then the --var entries.
ControlVars restore_control_vars(const Options &options);

// The level enumeration handed to DB_InitOperation for a level word (FULL,
// INCR, DIFF); COPY for anything else.
DB_OPERATION_LEVEL level_of(const std::string &word);

} // namespace dbhost
