// Exit statuses of dbhost.
#pragma once

namespace dbhost {

enum ExitStatus : int {
    exit_ok = 0,       // every entry point and every item succeeded, without a warning
    exit_failed = 1,   // an entry point or an item failed, or the store refused
    exit_usage = 2,    // bad command line, or a plug-in that cannot be loaded
    exit_warnings = 3, // the operation completed, but with warnings
};

} // namespace dbhost
