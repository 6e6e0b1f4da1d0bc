// The command line of dbhost: commands, their options and the usage text.
#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "control_vars.h"
#include "host_core.h"

namespace dbhost {

namespace fs = std::filesystem;

enum class Command { none, backup, restore, list, info, selftest };

// The operation's settings (level, job, mailboxes, ...) are those of the
// host core; the rest is dbhost's own.
struct Options : host::OperationSettings {
    Command command = Command::none;
    bool help = false;
    bool verbose = false;
    bool quiet = false; // no item lines and no progress line
    fs::path log_file; // absolute; "dbhost.log" in the starting directory by default

    // Paths are made absolute while parsing: the plug-in changes the working
    // directory of the process during an operation.
    fs::path plugin;
    fs::path store;
    fs::path into;

    // databases: --mailbox NAME and --list-file USER@FILE; vars: --var KEY=VALUE.
    std::vector<std::string> mailboxes; // the mailbox part of each database, for the summary
    bool replace = false;

    // Test-only faults: die by SIGKILL right after the N-th operation call of
    // the plug-in; report the N-th item as failed without storing it.
    std::optional<uint64_t> test_kill_after_call;
    std::optional<uint64_t> test_fail_item;
    // Test-only faults of the store's batches (backup): at most N items per
    // batch; die by SIGKILL when the N-th batch's files are flushed, before
    // the manifest confirms them; take the N-th batch's flush as failed.
    std::optional<uint64_t> test_batch_items;
    std::optional<uint64_t> test_kill_before_commit;
    std::optional<uint64_t> test_fail_sync;
    // Test and benchmark only: a pause after each item stored or written,
    // as a slow store would take.
    std::optional<std::chrono::microseconds> test_store_delay;
};

class UsageError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Parses argv; throws UsageError with a one-line reason.
Options parse_command_line(int argc, char **argv);

std::string usage_text();

} // namespace dbhost
