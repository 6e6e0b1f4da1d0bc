// The script that runs the full-restore scripts of a no-recovery chain
// restore in the order of the backups, stopping at the first that fails.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

namespace dbhost {

namespace fs = std::filesystem;

struct RestoreScript {
    fs::path dir;       // where it must run (it reads the files beside it)
    std::string name;   // its file name in dir
    std::string mailbox;
    std::string saveset;
};

// The file name of the script that runs them all for job, in the restore
// target: "<job>.restore-chain.sh" with the job encoded like a save-set
// directory name.
std::string chain_script_name(const std::string &job);

// The text of that script: every name single-quoted, so that no name is
// ever read as shell text.
std::string chain_script_text(const std::string &job, const std::vector<RestoreScript> &scripts);

// Writes the script as a new file of mode 0700 (a leftover at its temporary
// name is removed, never followed or written through) and renames it into
// place. Throws std::system_error.
void write_chain_script(const fs::path &target, const std::string &text);

// A word for the shell: itself when it holds only safe characters, else
// single-quoted.
std::string shell_word(const std::string &word);

} // namespace dbhost
