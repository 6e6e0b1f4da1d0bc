// Child processes of the remote-command tests with bounded waits: the tool
// under test, fake and real ssh, and sshd. A child that outlives its test is
// killed (with its process group, when it has one) and reaped.
#pragma once

#include <chrono>
#include <filesystem>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "support/fixtures.h"

namespace arktest {

struct ChildOptions {
    std::map<std::string, std::string> env; // added to (or replacing in) the environment
    std::optional<fs::path> cwd;
    fs::path out_file; // standard output; /dev/null when empty
    fs::path err_file; // standard error; /dev/null when empty
    bool own_process_group = false;
};

class Child {
public:
    // Starts argv[0] (searched on PATH); throws when it cannot be started.
    explicit Child(const std::vector<std::string> &argv, const ChildOptions &options = {});
    ~Child();
    Child(const Child &) = delete;
    Child &operator=(const Child &) = delete;

    pid_t pid() const { return child_.pid(); }
    void signal(int signo) const { child_.signal(signo); }             // to the child alone
    void signal_group(int signo) const { child_.signal_group(signo); } // to its process group (own_process_group)

    // The result once the child has ended, waiting at most `limit`; nullopt
    // while it still runs. Output is not captured here (see the files).
    std::optional<ProcessResult> wait_for(std::chrono::milliseconds limit);

private:
    std::string program_;
    ark::sys::Child child_;
};

// Polls `ready` until it holds or `limit` has passed; true when it held.
bool wait_until(const std::function<bool()> &ready, std::chrono::milliseconds limit);

// Runs argv to the end within `limit`, with standard output and error
// captured; a child still running after that is killed and reported with
// exit_status -1 and signal SIGKILL.
ProcessResult run_bounded(const std::vector<std::string> &argv, const ChildOptions &options,
                          std::chrono::milliseconds limit);

// The text of a file, or "" when it does not exist (yet).
std::string read_file_or_empty(const fs::path &path);

} // namespace arktest
