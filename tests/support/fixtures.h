// Shared fixtures of the tests: temporary directories, files, child
// processes, environment and working-directory guards.
#pragma once

#include <filesystem>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "system/process.h"

namespace arktest {

namespace fs = std::filesystem;

// A fresh directory below $TMPDIR (or /tmp), removed with its contents.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir &) = delete;
    TempDir &operator=(const TempDir &) = delete;
    const fs::path &path() const { return path_; }
    fs::path operator/(const fs::path &rel) const { return path_ / rel; }

private:
    fs::path path_;
};

void write_file(const fs::path &path, const std::string &text, fs::perms mode = fs::perms(0644));
std::string read_file(const fs::path &path);
// The uid of the unprivileged attacker of the tests that run as root.
constexpr unsigned kAttackerUid = 65534;
// Runs fn in a child process that has dropped to kAttackerUid (no
// supplementary groups); true when fn returned true there.
bool as_attacker(const std::function<bool()> &fn);

// A file of the attacker's under a write lease, which makes the moment
// another process opens it deterministic. The attacker (a child at
// kAttackerUid) creates path with text, leases it, and when someone opens
// the file it runs swap (say, puts a link where a component of path stood)
// before it lets that open go on; the opener then holds, or is about to
// hold, the attacker's file while its path leads elsewhere.
class LeasedSwap {
public:
    LeasedSwap(const fs::path &path, const std::string &text, std::function<bool()> swap);
    ~LeasedSwap();
    LeasedSwap(const LeasedSwap &) = delete;
    LeasedSwap &operator=(const LeasedSwap &) = delete;
    // The lease is in place (else why not, in error()).
    bool ready() const { return ready_; }
    const std::string &error() const { return error_; }
    // Ends the attacker: true when an open broke the lease and swap ran.
    bool swapped();

private:
    pid_t pid_ = -1;
    int report_ = -1; // the attacker's reports: 'L' leased, 'S' swapped, 'F' failed
    bool ready_ = false;
    std::string error_;
};

// Every entry below dir (links not followed), relative to it, sorted.
std::vector<std::string> tree_entries(const fs::path &dir);
// The lines of a text, without their line ends.
std::vector<std::string> lines_of(const std::string &text);
// An executable /bin/sh script (a fake tool).
void write_script(const fs::path &path, const std::string &body);

struct ProcessResult {
    int exit_status = -1; // -1 when killed by a signal
    int signal = 0;
    std::string out;
    std::string err;
};

struct ProcessOptions {
    std::optional<fs::path> cwd{};
    std::map<std::string, std::string> env{}; // added to (or replacing in) the environment
    std::optional<std::string> input{};     // standard input; /dev/null when absent
};

// Run argv[0] (searched on PATH) to the end, capturing its output. A
// program that cannot be started ends with status 127, as under a shell.
ProcessResult run_process(const std::vector<std::string> &argv, const ProcessOptions &options = {});

// The system runner's result in the tests' terms (program names it in the
// text of a start failure); throws when the end is unknown.
ProcessResult process_result(const ark::sys::Result &result, const std::string &program);

// Set an environment variable for the life of the guard.
class ScopedEnv {
public:
    ScopedEnv(const std::string &name, const std::string &value);
    ~ScopedEnv();
    ScopedEnv(const ScopedEnv &) = delete;
    ScopedEnv &operator=(const ScopedEnv &) = delete;

private:
    std::string name_;
    std::optional<std::string> old_;
};

// Put a directory in front of PATH for the life of the guard.
class ScopedPathPrefix {
public:
    explicit ScopedPathPrefix(const fs::path &dir);

private:
    ScopedEnv env_;
};

// Restore the process's working directory when the guard ends (the plug-in
// changes it while it exports and restores).
class ScopedCwd {
public:
    ScopedCwd();
    ~ScopedCwd();
    ScopedCwd(const ScopedCwd &) = delete;
    ScopedCwd &operator=(const ScopedCwd &) = delete;

private:
    fs::path saved_;
};

} // namespace arktest
