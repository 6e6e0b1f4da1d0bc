// dbhost list: the save sets of a store, or the items of one.
#pragma once

#include "cli.h"

namespace dbhost {

// Returns the exit status of the process.
int run_list(const Options &options);

} // namespace dbhost
