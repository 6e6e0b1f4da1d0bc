// The command-line tools that the simulator binary acts as; each takes its
// arguments without the program name and returns the exit status.
#pragma once

#include <string>
#include <vector>

namespace zsim {

using Args = std::vector<std::string>;

int admin_main(const Args &args);   // zarafa-admin
int backup_main(const Args &args);  // zarafa-backup
int restore_main(const Args &args); // zarafa-restore
int manage_main(const Args &args);  // zarafa-sim

} // namespace zsim
