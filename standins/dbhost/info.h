// dbhost info: what the plug-in's DB_GetInfo reports.
#pragma once

#include "cli.h"

namespace dbhost {

// Returns the exit status of the process.
int run_info(const Options &options);

} // namespace dbhost
