// Child processes: one runner for every program the plug-in, the stand-ins,
// the benchmarks and the tests start. A command is an argument vector, never
// shell text; it names its own working directory, environment, standard
// input and where its output goes, so that several can run at once without
// the caller changing its own directory or environment. A child is reaped
// by its own pid only (never wait(-1)), and "could not start" is told apart
// from "exited with status N" and "killed by signal N".
#pragma once

#include <sys/types.h>

#include <chrono>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace ark::sys {

namespace fs = std::filesystem;

// Where one of the child's output streams goes.
struct Output {
    enum class Kind {
        inherit,   // the caller's own stream
        capture,   // into the Result
        discard,   // /dev/null
        to_stderr, // the caller's standard error (standard output only)
        to_file,   // a file, created or truncated (mode 0644)
        to_fd,     // a descriptor of the caller, which keeps it
    };
    Kind kind = Kind::inherit;
    fs::path file{};
    int fd = -1;

    static Output inherit() { return {}; }
    static Output capture() { return {Kind::capture}; }
    static Output discard() { return {Kind::discard}; }
    static Output to_stderr() { return {Kind::to_stderr}; }
    static Output to_file(fs::path path) { return {Kind::to_file, std::move(path)}; }
    static Output to_fd(int descriptor) { return {Kind::to_fd, {}, descriptor}; }
};

struct Command {
    // Out of line, so that a library linking this layer exports none of it.
    ~Command();

    // argv[0] is searched on the PATH of the child's environment when it
    // holds no "/" (empty and relative entries of PATH are passed over, so
    // that nothing is run from whatever directory the child happens to be
    // in); a relative path is taken in the child's directory.
    std::vector<std::string> argv;
    std::optional<fs::path> cwd{};               // the child's directory; the caller's when absent
    // The child's directory as a descriptor of the caller (which keeps it):
    // the directory that was opened and checked, never looked up again by
    // name. Wins over cwd when both are given.
    std::optional<int> cwd_fd{};
    std::optional<mode_t> umask{};               // the child's umask; the caller's when absent
    // Descriptors of the caller that the child keeps across exec, under the
    // same numbers (3 and above); every other one stays close-on-exec.
    std::vector<int> inherit_fds{};
    std::optional<std::vector<std::string>> env{}; // "NAME=value" entries; the caller's when absent
    std::optional<std::string> input{};          // standard input text; /dev/null when absent
    Output out{};
    Output err{};
    bool own_process_group = false; // the child leads a new process group
    // Started with these signals ignored (they stay ignored across exec),
    // and ended by SIGHUP when the caller's thread ends first.
    std::vector<int> ignored_signals{};
    bool die_with_parent = false;
    // Once the child has run this long it is stopped (SIGTERM to it and,
    // when it leads one, its process group, SIGKILL after a grace) and its
    // result says so. No limit when absent.
    std::optional<std::chrono::milliseconds> time_limit{};
    // A child's end is its exit: what its output streams hold then is read,
    // and a descendant that keeps them open is not waited for. With this
    // set, the streams are read to their end as well, for callers (tests)
    // that want everything a process and its descendants wrote.
    bool output_to_its_end = false;
};

// The caller's environment with the entries of set added or replaced and
// the names in unset removed, in the form Command::env takes.
std::vector<std::string> environment_with(const std::map<std::string, std::string> &set,
                                          const std::vector<std::string> &unset = {});

// PATH with its empty and relative entries left out; "/usr/bin:/bin" when
// none is left.
std::string absolute_path_entries(std::string_view path);

// How a child ended.
struct Result {
    enum class State {
        not_started, // error: why the program could not be started
        exited,      // status: its exit status
        signalled,   // signal: the signal that ended it
        unknown,     // error: why its end could not be learned (ECHILD when
                     // SIGCHLD is ignored and the kernel reaped it, or another
                     // part of the process reaped it first)
    };
    State state = State::not_started;
    int status = -1;
    int signal = 0;
    int error = 0;
    bool timed_out = false; // stopped because it ran past its time limit
    std::string out; // captured standard output
    std::string err; // captured standard error

    bool started() const { return state != State::not_started; }
    bool succeeded() const { return state == State::exited && status == 0; }
    // "exit status N", "signal N", "not started: REASON" or
    // "unknown exit status: REASON"; a child stopped at its time limit is
    // "stopped at its time limit, signal N".
    std::string outcome() const;
};

// A started child. Its end is its exit: what it wrote until then is
// collected, and a descendant that keeps its output streams open is neither
// read to its end nor waited for. Signals reach it through a process
// descriptor where the kernel has them, and never when it may no longer be
// this runner's unreaped child (a handler of the caller that reaps every
// child can make its pid another process's). The destructor kills (SIGKILL)
// and reaps a child that is still running.
class Child {
public:
    Child() = default;
    // Starts the command; started() says whether that worked, and result()
    // then holds why not.
    explicit Child(const Command &command);
    ~Child();
    Child(Child &&other) noexcept;
    Child &operator=(Child &&other) noexcept;
    Child(const Child &) = delete;
    Child &operator=(const Child &) = delete;

    bool started() const { return pid_ > 0; }
    pid_t pid() const { return pid_; }
    // True until the child has been reaped and its output has ended.
    bool running() const { return pid_ > 0 && !done(); }

    // Moves input and output without blocking and reaps the child when it
    // has ended: its result once it has, else nothing.
    std::optional<Result> poll();
    // Waits at most limit; nothing while the child still runs.
    std::optional<Result> wait_for(std::chrono::milliseconds limit);
    // Waits for the end of the child and of its output.
    Result wait();
    // Asks the child to end with SIGTERM (its group too, when it leads one),
    // waits at most grace, then kills it with SIGKILL; reaps it.
    Result stop(std::chrono::milliseconds grace);

    // Sends a signal to the child alone, or to its process group (the
    // group only while its leader, the child, is not reaped). False when
    // nothing was sent.
    bool signal(int signo) const;
    bool signal_group(int signo) const;

    // The result so far: final once the child has ended.
    const Result &result() const { return result_; }

private:
    bool done() const;
    bool output_open() const;
    void end_output();
    // One round of I/O and reaping; timeout in ms, -1 to block.
    void step(int timeout_ms);
    void reap(bool block);
    // What the pipes hold when the child has ended is read; then they close.
    void drain_output();
    void finish_output();
    // True while the child is known to be this runner's unreaped child.
    bool ours() const;
    // Sends the signal to the group (when the child leads one) and the child.
    void send_stop(int signo);
    // The time limit: SIGTERM at the deadline, SIGKILL a grace later; the
    // milliseconds until the next of them (-1: none).
    int enforce_limit();
    void kill_and_release();
    void release();

    pid_t pid_ = -1;
    int pidfd_ = -1;
    int in_ = -1, out_ = -1, err_ = -1; // the caller's ends of the pipes
    std::string input_;
    size_t input_written_ = 0;
    bool group_ = false;
    bool pidfd_tried_ = false;
    bool reaped_ = false;
    bool ended_ = false;
    bool to_end_ = false;
    std::optional<std::chrono::steady_clock::time_point> deadline_{};
    int limit_stage_ = 0; // 1: SIGTERM sent, 2: SIGKILL sent
    Result result_;
};

// Runs the command to its end.
Result run(const Command &command);

} // namespace ark::sys
