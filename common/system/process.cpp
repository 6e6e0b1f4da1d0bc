// Starting, feeding, reading, reaping and stopping child processes.
#include "process.h"

#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <spawn.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <thread>
#include <utility>

#include "fd.h"

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/asan_interface.h>
#endif

extern char **environ;

namespace ark::sys {

namespace {

// posix_spawn can change the child's directory from glibc 2.29 on; before
// that, and for what it cannot express at all, the child is started by
// start_sharing_memory.
#if defined(__GLIBC__) && (__GLIBC__ > 2 || (__GLIBC__ == 2 && __GLIBC_MINOR__ >= 29))
constexpr bool kSpawnChdir = true;
#else
constexpr bool kSpawnChdir = false;
#endif

// Signals a child starts with at their default action whatever the caller
// set: a tool must see a closed pipe, wait for its own children and end on
// an interrupt as it would when started from a shell.
constexpr int kDefaultSignals[] = {SIGPIPE, SIGCHLD, SIGINT, SIGTERM, SIGQUIT, SIGHUP};

constexpr size_t kReadBlock = 64 * 1024;

// How long a child stopped at its time limit has to end after SIGTERM.
constexpr std::chrono::milliseconds kLimitGrace{1000};

#ifndef P_PIDFD
#define P_PIDFD 3
#endif

int open_pidfd(pid_t pid) {
#ifdef SYS_pidfd_open
    return static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
#else
    (void)pid;
    errno = ENOSYS;
    return -1;
#endif
}

// Blocks SIGCHLD in this thread for its life: a handler of the caller that
// reaps children can't run between the check that a child is still ours
// and the signal sent to it.
class SigchldBlocked {
public:
    SigchldBlocked() {
        sigset_t chld;
        sigemptyset(&chld);
        sigaddset(&chld, SIGCHLD);
        pthread_sigmask(SIG_BLOCK, &chld, &saved_);
    }
    ~SigchldBlocked() { pthread_sigmask(SIG_SETMASK, &saved_, nullptr); }
    SigchldBlocked(const SigchldBlocked &) = delete;
    SigchldBlocked &operator=(const SigchldBlocked &) = delete;

private:
    sigset_t saved_;
};

Result not_started(int error) {
    Result r;
    r.state = Result::State::not_started;
    r.error = error;
    return r;
}

bool is_executable_file(const std::string &path) {
    struct stat status {};
    return ::stat(path.c_str(), &status) == 0 && S_ISREG(status.st_mode) && ::access(path.c_str(), X_OK) == 0;
}

std::string path_variable(const Command &command) {
    if (command.env) {
        for (const std::string &entry : *command.env)
            if (entry.starts_with("PATH="))
                return entry.substr(5);
        return "/bin:/usr/bin";
    }
    const char *path = std::getenv("PATH");
    return path ? path : "/bin:/usr/bin";
}

// The file to execute for argv[0]: itself when it holds a "/", else the
// first executable of that name in an absolute entry of the child's PATH.
// An error number when there is none.
int resolve_program(const Command &command, std::string &program) {
    const std::string &name = command.argv[0];
    if (name.empty())
        return ENOENT;
    if (name.find('/') != std::string::npos) {
        program = name;
        return 0;
    }
    const std::string path = path_variable(command);
    int error = ENOENT;
    size_t start = 0;
    for (;;) {
        const size_t colon = path.find(':', start);
        const std::string_view dir =
            std::string_view(path).substr(start, colon == std::string::npos ? std::string::npos : colon - start);
        // An empty or relative entry would run whatever lies in the child's
        // directory under that name: it is passed over.
        if (dir.starts_with('/')) {
            std::string candidate(dir);
            candidate += '/';
            candidate += name;
            if (is_executable_file(candidate)) {
                program = std::move(candidate);
                return 0;
            }
            if (::access(candidate.c_str(), F_OK) == 0)
                error = EACCES;
        }
        if (colon == std::string::npos)
            return error;
        start = colon + 1;
    }
}

std::vector<char *> c_strings(const std::vector<std::string> &strings) {
    std::vector<char *> out;
    out.reserve(strings.size() + 1);
    for (const std::string &s : strings)
        out.push_back(const_cast<char *>(s.c_str()));
    out.push_back(nullptr);
    return out;
}

// What the child does to one of its streams 0, 1 and 2 before exec: leave it
// as inherited, make it a copy of a descriptor, or open a file onto it. The
// work is done in the child, so a run costs the caller nothing for it.
struct StreamAction {
    enum class Kind { leave, dup, open } kind = Kind::leave;
    int fd = -1;
    const char *path = nullptr;
    int flags = 0;
};

struct Streams {
    StreamAction action[3];
    Fd copies[3];
};

// Streams are put in place in the order 0, 1, 2. A source among them that
// an earlier step has already replaced is copied above 2 first.
int set_dup(Streams &streams, int stream, int fd) {
    if (fd < 0)
        return EBADF;
    if (fd == stream)
        return 0; // already in place
    if (fd < stream) {
        streams.copies[stream].reset(::fcntl(fd, F_DUPFD_CLOEXEC, 3));
        if (!streams.copies[stream])
            return errno;
        fd = streams.copies[stream].get();
    }
    streams.action[stream] = {StreamAction::Kind::dup, fd};
    return 0;
}

int set_output(const Output &output, int stream, Streams &streams, int pipe_end) {
    switch (output.kind) {
    case Output::Kind::inherit:
        return 0;
    case Output::Kind::capture:
        return set_dup(streams, stream, pipe_end);
    case Output::Kind::discard:
        streams.action[stream] = {StreamAction::Kind::open, -1, "/dev/null", O_WRONLY};
        return 0;
    case Output::Kind::to_stderr:
        return stream == 2 ? 0 : set_dup(streams, stream, 2);
    case Output::Kind::to_file:
        streams.action[stream] = {StreamAction::Kind::open, -1, output.file.c_str(), O_WRONLY | O_CREAT | O_TRUNC};
        return 0;
    case Output::Kind::to_fd:
        return set_dup(streams, stream, output.fd);
    }
    return EINVAL;
}

// In the child before exec: puts one stream in place with system calls only.
__attribute__((no_sanitize("address", "undefined"))) int apply_in_child(const StreamAction &action, int stream) {
    if (action.kind == StreamAction::Kind::dup)
        return ::dup2(action.fd, stream) < 0 ? errno : 0;
    if (action.kind == StreamAction::Kind::leave)
        return 0;
    const int fd = ::open(action.path, action.flags, 0644);
    if (fd < 0)
        return errno;
    if (fd != stream) {
        if (::dup2(fd, stream) < 0)
            return errno;
        ::close(fd);
    }
    return 0;
}

ssize_t write_without_sigpipe(int fd, const char *data, size_t size) {
    // A child that stopped reading must not end the caller: SIGPIPE is
    // blocked in this thread for the write, and one that the write raised is
    // taken off again.
    sigset_t pipe_signal, previous, pending;
    sigemptyset(&pipe_signal);
    sigaddset(&pipe_signal, SIGPIPE);
    sigpending(&pending);
    const bool was_pending = sigismember(&pending, SIGPIPE) == 1;
    pthread_sigmask(SIG_BLOCK, &pipe_signal, &previous);
    const ssize_t n = ::write(fd, data, size);
    const int error = errno;
    if (n < 0 && error == EPIPE && !was_pending) {
        const timespec zero{};
        while (sigtimedwait(&pipe_signal, nullptr, &zero) < 0 && errno == EINTR) {
        }
    }
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    errno = error;
    return n;
}

void close_fd(int &fd) {
    if (fd >= 0)
        ::close(fd);
    fd = -1;
}

// Reads what is there; false once the stream has ended or failed.
bool read_some(int fd, std::string &into) {
    char buffer[kReadBlock];
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n > 0) {
        into.append(buffer, static_cast<size_t>(n));
        return true;
    }
    return n < 0 && (errno == EINTR || errno == EAGAIN);
}

// What a child started by start_sharing_memory needs, prepared by the caller:
// between the start and exec the child makes system calls only.
struct ChildStart {
    const char *program;
    char **argv;
    char **envp;
    const Streams *streams;
    const Command *command;
    const char *cwd;
    int cwd_fd;
    pid_t parent;
    int error = 0; // written by the child when it cannot exec
};

// The child's side: dispositions, group, umask, streams, directory, exec.
// It runs on a stack the caller frees, so it leaves no sanitizer marks on it.
__attribute__((no_sanitize("address", "undefined"))) int run_child_start(void *arg) {
    ChildStart &start = *static_cast<ChildStart *>(arg);
    const Command &command = *start.command;
    auto fail = [&](int child_error) {
        start.error = child_error;
        ::_exit(127);
    };
    struct sigaction action {};
    for (int signo = 1; signo < NSIG; ++signo) {
        struct sigaction old {};
        if (::sigaction(signo, nullptr, &old) != 0)
            continue;
        const bool handled = old.sa_handler != SIG_DFL && old.sa_handler != SIG_IGN;
        const bool to_default =
            std::find(std::begin(kDefaultSignals), std::end(kDefaultSignals), signo) != std::end(kDefaultSignals);
        if (handled || (to_default && old.sa_handler == SIG_IGN)) {
            action.sa_handler = SIG_DFL;
            ::sigaction(signo, &action, nullptr);
        }
    }
    action.sa_handler = SIG_IGN;
    for (int signo : command.ignored_signals)
        ::sigaction(signo, &action, nullptr);
    if (command.own_process_group)
        ::setpgid(0, 0);
    if (command.die_with_parent) {
        ::prctl(PR_SET_PDEATHSIG, SIGHUP);
        if (::getppid() != start.parent)
            ::_exit(127);
    }
    // First, so that whatever the child creates from here on, redirections
    // included, gets it.
    if (command.umask)
        ::umask(*command.umask);
    for (int stream = 0; stream < 3; ++stream)
        if (const int stream_error = apply_in_child(start.streams->action[stream], stream))
            fail(stream_error);
    if (start.cwd_fd >= 0) {
        if (::fchdir(start.cwd_fd) != 0)
            fail(errno);
    } else if (start.cwd && ::chdir(start.cwd) != 0) {
        fail(errno);
    }
    for (int fd : command.inherit_fds)
        if (::fcntl(fd, F_SETFD, 0) != 0)
            fail(errno);
    sigset_t none;
    sigemptyset(&none);
    pthread_sigmask(SIG_SETMASK, &none, nullptr);
    ::execve(start.program, start.argv, start.envp);
    fail(errno);
    return 127;
}

// Starts a child for what posix_spawn cannot express (a umask, ignored
// signals, a parent-death signal) the way posix_spawn starts one: sharing
// the caller's memory, on a stack of its own, with the caller suspended
// until the child has exec'd or failed. A fork would copy the page tables
// of the whole host process for every tool. Returns the error that kept
// the child from exec'ing, 0 once it did.
int start_sharing_memory(ChildStart &start, pid_t &pid) {
    constexpr size_t kStack = 256 * 1024;
    void *stack = ::mmap(nullptr, kStack, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_STACK, -1, 0);
    if (stack == MAP_FAILED)
        return errno;
    // No handler of the caller may run in the child before exec: every
    // signal stays blocked until the child has set its dispositions.
    sigset_t all, saved;
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, &saved);
    const int saved_errno = errno;
    pid = ::clone(run_child_start, static_cast<char *>(stack) + kStack, CLONE_VM | CLONE_VFORK | SIGCHLD, &start);
    const int clone_error = pid < 0 ? errno : 0;
    errno = saved_errno; // the child shares this thread's errno
    pthread_sigmask(SIG_SETMASK, &saved, nullptr);
#if defined(__SANITIZE_ADDRESS__)
    __asan_unpoison_memory_region(stack, kStack);
#endif
    ::munmap(stack, kStack);
    if (pid < 0)
        return clone_error;
    if (start.error) {
        int status;
        while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
        }
        return start.error;
    }
    return 0;
}

} // namespace

Command::~Command() = default;

std::string absolute_path_entries(std::string_view path) {
    std::string kept;
    for (;;) {
        const size_t colon = path.find(':');
        const std::string_view entry = path.substr(0, colon);
        if (entry.starts_with('/')) {
            if (!kept.empty())
                kept += ':';
            kept += entry;
        }
        if (colon == std::string_view::npos)
            break;
        path.remove_prefix(colon + 1);
    }
    return kept.empty() ? "/usr/bin:/bin" : kept;
}

std::vector<std::string> environment_with(const std::map<std::string, std::string> &set,
                                          const std::vector<std::string> &unset) {
    std::vector<std::string> env;
    for (char **entry = environ; entry && *entry; ++entry) {
        const std::string_view text(*entry);
        const std::string name(text.substr(0, text.find('=')));
        if (!set.count(name) && std::find(unset.begin(), unset.end(), name) == unset.end())
            env.emplace_back(text);
    }
    for (const auto &[name, value] : set)
        env.push_back(name + "=" + value);
    return env;
}

std::string Result::outcome() const {
    if (timed_out && state == State::signalled)
        return "stopped at its time limit, signal " + std::to_string(signal);
    if (timed_out) {
        Result plain = *this;
        plain.timed_out = false;
        return "stopped at its time limit, " + plain.outcome();
    }
    switch (state) {
    case State::not_started:
        return "not started: " + std::string(std::strerror(error));
    case State::exited:
        return "exit status " + std::to_string(status);
    case State::signalled:
        return "signal " + std::to_string(signal);
    case State::unknown:
        break;
    }
    return "unknown exit status: " + std::string(std::strerror(error)) +
           (error == ECHILD ? " (SIGCHLD is ignored, or the child was reaped elsewhere)" : "");
}

Child::Child(const Command &command) : group_(command.own_process_group), to_end_(command.output_to_its_end) {
    if (command.argv.empty()) {
        result_ = not_started(EINVAL);
        return;
    }
    // posix_spawn has no umask: a child that needs one is started by clone.
    const bool clone_needed = !command.ignored_signals.empty() || command.die_with_parent || command.umask ||
                             ((command.cwd || command.cwd_fd) && !kSpawnChdir);
    for (int fd : command.inherit_fds) {
        if (fd <= 2 || ::fcntl(fd, F_GETFD) < 0) {
            result_ = not_started(fd <= 2 ? EINVAL : EBADF);
            return;
        }
    }
    // The PATH is searched here, not by posix_spawnp or execvp, which would
    // take an empty entry for the child's directory.
    std::string program;
    if (const int error = resolve_program(command, program)) {
        result_ = not_started(error);
        return;
    }

    int in_pipe[2] = {-1, -1}, out_pipe[2] = {-1, -1}, err_pipe[2] = {-1, -1};
    auto open_pipe = [](int (&ends)[2]) { return ::pipe2(ends, O_CLOEXEC) == 0; };
    if ((command.input && !open_pipe(in_pipe)) ||
        (command.out.kind == Output::Kind::capture && !open_pipe(out_pipe)) ||
        (command.err.kind == Output::Kind::capture && !open_pipe(err_pipe))) {
        const int error = errno;
        for (int fd : {in_pipe[0], in_pipe[1], out_pipe[0], out_pipe[1], err_pipe[0], err_pipe[1]})
            if (fd >= 0)
                ::close(fd);
        result_ = not_started(error);
        return;
    }
    // The caller's ends stay here; the child's ends close when the start is over.
    Fd child_in(in_pipe[0]), child_out(out_pipe[1]), child_err(err_pipe[1]);
    in_ = in_pipe[1];
    out_ = out_pipe[0];
    err_ = err_pipe[0];

    Streams streams;
    int error = 0;
    if (command.input)
        error = set_dup(streams, 0, child_in.get());
    else
        streams.action[0] = {StreamAction::Kind::open, -1, "/dev/null", O_RDONLY};
    // Standard output first: "to_stderr" is the caller's standard error,
    // whatever the child's own is then made.
    if (!error)
        error = set_output(command.out, 1, streams, child_out.get());
    if (!error)
        error = set_output(command.err, 2, streams, child_err.get());
    if (error) {
        release();
        result_ = not_started(error);
        return;
    }

    const std::vector<std::string> &env_strings = command.env ? *command.env : std::vector<std::string>{};
    std::vector<char *> args = c_strings(command.argv);
    std::vector<char *> envp = command.env ? c_strings(env_strings) : std::vector<char *>{};
    char **child_env = command.env ? envp.data() : environ;

    pid_t pid = -1;
    if (!clone_needed) {
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        for (int stream = 0; stream < 3; ++stream) {
            const StreamAction &action = streams.action[stream];
            if (action.kind == StreamAction::Kind::dup)
                posix_spawn_file_actions_adddup2(&actions, action.fd, stream);
            else if (action.kind == StreamAction::Kind::open)
                posix_spawn_file_actions_addopen(&actions, stream, action.path, action.flags, 0644);
        }
#if defined(__GLIBC__) && (__GLIBC__ > 2 || (__GLIBC__ == 2 && __GLIBC_MINOR__ >= 29))
        if (command.cwd_fd)
            posix_spawn_file_actions_addfchdir_np(&actions, *command.cwd_fd);
        else if (command.cwd)
            posix_spawn_file_actions_addchdir_np(&actions, command.cwd->c_str());
#endif
        // A descriptor duplicated onto itself loses its close-on-exec flag.
        for (int fd : command.inherit_fds)
            posix_spawn_file_actions_adddup2(&actions, fd, fd);
        posix_spawnattr_t attr;
        posix_spawnattr_init(&attr);
        sigset_t defaults, none;
        sigemptyset(&defaults);
        for (int signo : kDefaultSignals)
            sigaddset(&defaults, signo);
        sigemptyset(&none);
        posix_spawnattr_setsigdefault(&attr, &defaults);
        posix_spawnattr_setsigmask(&attr, &none);
        short flags = POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK;
        if (command.own_process_group) {
            flags |= POSIX_SPAWN_SETPGROUP;
            posix_spawnattr_setpgroup(&attr, 0);
        }
        posix_spawnattr_setflags(&attr, flags);
        const int rc = ::posix_spawn(&pid, program.c_str(), &actions, &attr, args.data(), child_env);
        posix_spawnattr_destroy(&attr);
        posix_spawn_file_actions_destroy(&actions);
        if (rc != 0) {
            release();
            result_ = not_started(rc);
            return;
        }
    } else {
        ChildStart start{program.c_str(), args.data(), child_env, &streams, &command,
                         command.cwd ? command.cwd->c_str() : nullptr, command.cwd_fd.value_or(-1), ::getpid()};
        const int error_of_start = start_sharing_memory(start, pid);
        if (error_of_start) {
            release();
            result_ = not_started(error_of_start);
            return;
        }
    }
    if (command.own_process_group)
        ::setpgid(pid, pid); // also here, so that the group can be signalled at once

    pid_ = pid;
    // While the child is unreaped its pid can't be reused, so the
    // descriptor is surely its own.
    pidfd_ = open_pidfd(pid);
    if (command.time_limit)
        deadline_ = std::chrono::steady_clock::now() + *command.time_limit;
    result_.state = Result::State::unknown; // until it is reaped
    if (in_ >= 0) {
        input_ = *command.input;
        ::fcntl(in_, F_SETFL, ::fcntl(in_, F_GETFL) | O_NONBLOCK);
        if (input_.empty())
            close_fd(in_);
    }
}

Child::~Child() { kill_and_release(); }

void Child::kill_and_release() {
    if (pid_ > 0 && !reaped_) {
        send_stop(SIGKILL);
        reap(true);
    }
    release();
}

bool Child::ours() const {
    if (pid_ <= 0 || reaped_)
        return false;
    // Not reaped when waitid, which leaves it as it is, still finds it.
    siginfo_t info{};
    if (pidfd_ >= 0) {
        if (::waitid(static_cast<idtype_t>(P_PIDFD), static_cast<id_t>(pidfd_), &info,
                     WEXITED | WNOHANG | WNOWAIT) == 0)
            return true;
        if (errno != EINVAL)
            return false;
    }
    return ::waitid(P_PID, static_cast<id_t>(pid_), &info, WEXITED | WNOHANG | WNOWAIT) == 0;
}

bool Child::signal(int signo) const {
    if (pid_ <= 0 || reaped_)
        return false;
#ifdef SYS_pidfd_send_signal
    if (pidfd_ >= 0)
        return ::syscall(SYS_pidfd_send_signal, pidfd_, signo, nullptr, 0) == 0;
#endif
    const SigchldBlocked blocked;
    return ours() && ::kill(pid_, signo) == 0;
}

bool Child::signal_group(int signo) const {
    // The group's id is the leader's pid: free for reuse once the leader
    // is reaped and the group is empty, so it is only signalled before.
    const SigchldBlocked blocked;
    return group_ && ours() && ::kill(-pid_, signo) == 0;
}

void Child::send_stop(int signo) {
    signal_group(signo);
    signal(signo);
}

Child::Child(Child &&other) noexcept { *this = std::move(other); }

Child &Child::operator=(Child &&other) noexcept {
    if (this == &other)
        return *this;
    kill_and_release();
    pid_ = std::exchange(other.pid_, -1);
    pidfd_ = std::exchange(other.pidfd_, -1);
    deadline_ = other.deadline_;
    limit_stage_ = other.limit_stage_;
    in_ = std::exchange(other.in_, -1);
    out_ = std::exchange(other.out_, -1);
    err_ = std::exchange(other.err_, -1);
    input_ = std::move(other.input_);
    input_written_ = other.input_written_;
    group_ = other.group_;
    reaped_ = other.reaped_;
    ended_ = other.ended_;
    to_end_ = other.to_end_;
    result_ = std::move(other.result_);
    return *this;
}

void Child::release() {
    close_fd(in_);
    close_fd(out_);
    close_fd(err_);
    close_fd(pidfd_);
}

bool Child::done() const { return pid_ <= 0 || (reaped_ && !output_open()); }

bool Child::output_open() const { return to_end_ && (out_ >= 0 || err_ >= 0); }

void Child::drain_output() {
    close_fd(in_);
    for (int *fd : {&out_, &err_}) {
        if (*fd < 0)
            continue;
        // What is in the pipe now is all the child wrote; a descendant may
        // go on writing, and is not waited for.
        ::fcntl(*fd, F_SETFL, ::fcntl(*fd, F_GETFL) | O_NONBLOCK);
        std::string &into = fd == &out_ ? result_.out : result_.err;
        int waiting = 0;
        while (::ioctl(*fd, FIONREAD, &waiting) == 0 && waiting > 0) {
            const size_t before = into.size();
            into.resize(before + static_cast<size_t>(waiting));
            const ssize_t n = ::read(*fd, into.data() + before, static_cast<size_t>(waiting));
            into.resize(before + static_cast<size_t>(std::max<ssize_t>(n, 0)));
            if (n <= 0 && errno != EINTR)
                break;
        }
        close_fd(*fd);
    }
}

int Child::enforce_limit() {
    if (!deadline_ || reaped_)
        return -1;
    const auto now = std::chrono::steady_clock::now();
    if (limit_stage_ == 0 && now >= *deadline_) {
        result_.timed_out = true;
        send_stop(SIGTERM);
        limit_stage_ = 1;
    }
    if (limit_stage_ == 1 && now >= *deadline_ + kLimitGrace) {
        send_stop(SIGKILL);
        limit_stage_ = 2;
    }
    if (limit_stage_ == 2)
        return -1;
    const auto next = limit_stage_ == 0 ? *deadline_ : *deadline_ + kLimitGrace;
    return static_cast<int>(
        std::chrono::ceil<std::chrono::milliseconds>(next - now).count());
}

void Child::reap(bool block) {
    if (reaped_ || pid_ <= 0)
        return;
    int status = 0;
    for (;;) {
        const pid_t r = ::waitpid(pid_, &status, block ? 0 : WNOHANG);
        if (r == pid_)
            break;
        if (r == 0)
            return;
        if (errno == EINTR) {
            if (block)
                continue;
            return;
        }
        result_.state = Result::State::unknown;
        result_.error = errno;
        reaped_ = true;
        end_output();
        return;
    }
    if (WIFEXITED(status)) {
        result_.state = Result::State::exited;
        result_.status = WEXITSTATUS(status);
    } else {
        result_.state = Result::State::signalled;
        result_.signal = WTERMSIG(status);
    }
    reaped_ = true;
    end_output();
}

void Child::end_output() {
    // Nobody reads the input any more; the output ends here, unless the
    // caller asked for all that the child's descendants write as well.
    if (to_end_)
        close_fd(in_);
    else
        drain_output();
}

void Child::step(int timeout_ms) {
    if (done())
        return;
    // A child that ended while nobody looked (an export waiting for its
    // turn) ended within its limit, however late it is looked at.
    reap(false);
    if (done())
        return;
    const int until_limit = enforce_limit();
    if (until_limit >= 0 && (timeout_ms < 0 || until_limit < timeout_ms))
        timeout_ms = until_limit;
    // The child's end wakes the poll through its process descriptor;
    // without one it is looked for now and then.
    pollfd fds[4];
    nfds_t n = 0;
    int in_slot = -1, out_slot = -1, err_slot = -1, pid_slot = -1;
    if (in_ >= 0) {
        fds[n] = {in_, POLLOUT, 0};
        in_slot = static_cast<int>(n++);
    }
    if (out_ >= 0) {
        fds[n] = {out_, POLLIN, 0};
        out_slot = static_cast<int>(n++);
    }
    if (err_ >= 0) {
        fds[n] = {err_, POLLIN, 0};
        err_slot = static_cast<int>(n++);
    }
    if (pidfd_ >= 0 && !reaped_) {
        fds[n] = {pidfd_, POLLIN, 0};
        pid_slot = static_cast<int>(n++);
    }
    const bool look_for_end = pidfd_ < 0 && !reaped_;
    if (look_for_end && (timeout_ms < 0 || timeout_ms > 10))
        timeout_ms = 10;
    if (n == 0) {
        if (timeout_ms > 0)
            std::this_thread::sleep_for(std::chrono::milliseconds(timeout_ms));
        reap(false);
        return;
    }
    if (::poll(fds, n, timeout_ms) < 0) {
        reap(false);
        return; // EINTR: the caller's loop comes back
    }
    if (in_slot >= 0 && fds[in_slot].revents) {
        const ssize_t k = write_without_sigpipe(in_, input_.data() + input_written_, input_.size() - input_written_);
        if (k > 0)
            input_written_ += static_cast<size_t>(k);
        if ((k < 0 && errno != EAGAIN && errno != EINTR) || input_written_ == input_.size())
            close_fd(in_);
    }
    if (out_slot >= 0 && fds[out_slot].revents && !read_some(out_, result_.out))
        close_fd(out_);
    if (err_slot >= 0 && fds[err_slot].revents && !read_some(err_, result_.err))
        close_fd(err_);
    if ((pid_slot >= 0 && fds[pid_slot].revents) || look_for_end)
        reap(false);
    enforce_limit();
}

void Child::finish_output() {
    ended_ = true;
    close_fd(pidfd_);
    close_fd(in_);
}

std::optional<Result> Child::poll() {
    if (pid_ <= 0)
        return result_;
    if (!done())
        step(0);
    if (!done())
        return std::nullopt;
    finish_output();
    return result_;
}

std::optional<Result> Child::wait_for(std::chrono::milliseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!done()) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            step(0);
            if (!done())
                return std::nullopt;
            break;
        }
        step(static_cast<int>(std::min<long long>(left.count() + 1, 1000 * 1000)));
    }
    if (pid_ > 0)
        finish_output();
    return result_;
}

Result Child::wait() {
    while (!done())
        step(-1);
    if (pid_ > 0)
        finish_output();
    return result_;
}

Result Child::stop(std::chrono::milliseconds grace) {
    if (pid_ <= 0 || done())
        return wait();
    send_stop(SIGTERM);
    if (auto ended = wait_for(grace))
        return *ended;
    send_stop(SIGKILL);
    reap(true);
    finish_output();
    return result_;
}

Result run(const Command &command) {
    Child child(command);
    if (!child.started())
        return child.result();
    return child.wait();
}

} // namespace ark::sys
