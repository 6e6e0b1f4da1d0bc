// Exit statuses of dbhost.
#pragma once

namespace dbhost {

enum ExitStatus : int {
    exit_ok = 0,     // every entry point and every item succeeded
    exit_failed = 1, // an entry point failed, an item failed, or the store refused
    exit_usage = 2,  // bad command line, or a plug-in that cannot be loaded
};

} // namespace dbhost
