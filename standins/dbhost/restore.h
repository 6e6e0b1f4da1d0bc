// dbhost restore: writes a save set's items back and hands them to the plug-in.
#pragma once

#include "cli.h"

namespace dbhost {

// Returns the exit status of the process.
int run_restore(const Options &options);

} // namespace dbhost
