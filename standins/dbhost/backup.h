// dbhost backup: pulls items from the plug-in into a new save set.
#pragma once

#include "cli.h"

namespace dbhost {

// Returns the exit status of the process.
int run_backup(const Options &options);

} // namespace dbhost
