// What one backup or restore operation did, as its front end sums it up.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace host {

struct RunSummary {
    std::string operation; // "backup" or "restore"
    std::string saveset;
    uint64_t items = 0; // items handled, failed ones included
    uint64_t failed_items = 0;
    uint64_t bytes = 0;
    double seconds = 0;
    std::vector<std::string> mailboxes; // as requested; empty when not known
    int failed_calls = 0;               // entry points that did not succeed
    bool skipped = false;               // a save set of a chain restore that was not restored
    bool store_failed = false;          // the save set could not be finished
};

} // namespace host
