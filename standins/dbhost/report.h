// What the operator sees on standard output: one progress line per item and
// a closing summary.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace dbhost {

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
};

void print_progress(uint64_t count, std::string_view name, uint64_t size);
void print_failed_item(uint64_t count, std::string_view name);
// Also logged; takes the message counts from the log.
void print_summary(const RunSummary &summary);

// The text with control characters and bytes above 0x7e shown as \xNN.
std::string printable(std::string_view text);
// "YYYY-MM-DD HH:MM:SS" in local time.
std::string local_time(int64_t seconds);

} // namespace dbhost
