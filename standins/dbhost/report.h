// What the operator sees on standard output: the items as they are handled
// (one line each, or on a terminal one progress line that keeps itself up
// to date, or nothing with --quiet) and a closing summary that names the
// mailboxes that failed or drew a warning.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "host_core.h"
#include "printable.h"
#include "run_summary.h"

namespace dbhost {

// Chooses how items are shown, before the first one. known_items are the
// items a restore will handle, so that the progress line shows how far it
// has come.
void start_progress(bool quiet, const std::vector<std::string> &known_items = {});
void print_progress(uint64_t count, std::string_view name, uint64_t size);
// Also counts the failure against the item's mailbox, with the latest
// "Error:" as its reason.
void print_failed_item(uint64_t count, std::string_view name);
// Also logged; takes the message counts from the log. Returns the exit status
// the run has earned: exit_failed after a failed item, entry point or store;
// exit_warnings when it completed but an "Error:" or "Warning:" came; else
// exit_ok.
int print_summary(const RunSummary &summary);

// "YYYY-MM-DD HH:MM:SS" in local time.
std::string local_time(int64_t seconds);

} // namespace dbhost
