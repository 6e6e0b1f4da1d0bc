// dbhost selftest: runs the plug-in's own server self tests.
#pragma once

#include "cli.h"

namespace dbhost {

// Returns the exit status of the process.
int run_selftest(const Options &options);

} // namespace dbhost
