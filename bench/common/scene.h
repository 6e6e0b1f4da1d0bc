// The scene of the benchmarks that drive the backup host stand-in: a
// directory with a groupware server whose tools do almost nothing (the
// scale tool, linked under each tool's name), N accounts "user00001"... and
// the public store, runs of the host with a preloaded library that reports
// its own CPU time, and plain loops that run the same tool commands as the
// plug-in, one after the other, for comparison.
#pragma once

#include <chrono>
#include <filesystem>
#include <string>
#include <vector>

namespace bench {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

// Ends the benchmark with status 2 and the text, named by the program.
[[noreturn]] void fail(const std::string &text);

double seconds_since(Clock::time_point start);

struct Programs {
    fs::path dbhost, plugin, tool, self_cpu;
};

// One run of the host.
struct HostRun {
    double wall = 0;     // seconds
    double self_cpu = 0; // the host's own CPU seconds, its children excluded
    long messages = 0;   // plug-in messages in its log
};

// The time of a plain loop, with the CPU time of the children it ran.
struct LoopRun {
    double wall = 0, children_cpu = 0;
};

class Scene {
public:
    // extra_env: "NAME=value" entries for every child (the tools and the host).
    Scene(const Programs &programs, fs::path dir, long users, std::vector<std::string> extra_env = {});
    ~Scene();
    Scene(const Scene &) = delete;
    Scene &operator=(const Scene &) = delete;

    const fs::path &dir() const { return dir_; }
    // The accounts and the public store, in the order the plug-in takes them.
    const std::vector<std::string> &mailboxes() const { return mailboxes_; }
    long count() const { return static_cast<long>(mailboxes_.size()); }

    // Runs dbhost with args after "--log"; fails the benchmark when the host
    // fails, keeping its output. With a wrapper (strace and its options) the
    // host runs under it and reports no CPU time of its own.
    HostRun host(const std::string &label, const std::vector<std::string> &args,
                 const std::vector<std::string> &wrapper = {});
    // "VERB --plugin SO --store STORE --work-dir WORK".
    std::vector<std::string> common(const std::string &verb, const fs::path &store, const fs::path &work) const;

    // The commands the plug-in runs when it sets up an operation.
    LoopRun setup();
    // The export commands of the first count mailboxes (every one with 0),
    // run in dir, in their order, at_once of them at a time.
    LoopRun exports(const fs::path &dir, size_t count = 0, size_t at_once = 1);
    // Writes, with the plug-in's own generator, the full-restore scripts of
    // the first count mailboxes (every one with 0) exported into dir.
    std::vector<std::string> restore_scripts(const fs::path &dir, size_t count = 0);
    // Runs the scripts in dir as the restore does, at_once of them at a time.
    LoopRun imports(const fs::path &dir, const std::vector<std::string> &scripts, size_t at_once = 1);

private:
    void tool(std::vector<std::string> argv, const fs::path &cwd);

    const Programs &programs_;
    fs::path dir_;
    long users_;
    std::vector<std::string> env_;
    std::vector<std::string> mailboxes_;
};

} // namespace bench
