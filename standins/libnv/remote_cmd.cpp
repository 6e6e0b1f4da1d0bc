// REMOTE_CMD: runs a command string on a client of the product through the
// OpenSSH client, with the client's output sent where the target says.
#include "libnv.h"
#include "nv_internal.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace {

constexpr std::string_view kStdout = "STDOUT";
constexpr std::string_view kStderr = "STDERR";

struct Target {
    std::string host;
    std::string out; // empty: discard
    std::string err; // empty: the program's standard error
};

class Fd {
public:
    Fd() = default;
    explicit Fd(int fd) : fd_(fd) {}
    ~Fd() { reset(); }
    Fd(Fd &&other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
    Fd &operator=(Fd &&other) noexcept {
        if (this != &other) {
            reset();
            fd_ = std::exchange(other.fd_, -1);
        }
        return *this;
    }
    int get() const { return fd_; }
    void reset() {
        if (fd_ >= 0)
            close(fd_);
        fd_ = -1;
    }

private:
    int fd_ = -1;
};

// The result message of one call: into the caller's buffer, into the trace,
// and, for a local failure the caller could not otherwise see, on stderr.
class Reporter {
public:
    Reporter(char *msg, const str_log &log) : msg_(msg), log_(log) {}

    __attribute__((format(printf, 3, 4))) void result(bool to_stderr, const char *format, ...) {
        char text[NV_MSG_LEN];
        va_list args;
        va_start(args, format);
        std::vsnprintf(text, sizeof text, format, args);
        va_end(args);
        if (msg_)
            nv::detail::copy_bounded(msg_, NV_MSG_LEN, std::string_view(text).substr(0, NV_MSG_LEN - 1));
        if (log_.iFlg > 0)
            WRITE_TRACE(&log_, "REMOTE_CMD %s", text);
        if (to_stderr)
            std::fprintf(stderr, "%s\n", text);
    }

    const str_log &log() const { return log_; }

private:
    char *msg_;
    const str_log &log_;
};

std::optional<Target> parse_target(std::string_view text) {
    std::vector<std::string_view> fields;
    for (;;) {
        auto bar = text.find('|');
        fields.push_back(text.substr(0, bar));
        if (bar == std::string_view::npos)
            break;
        text.remove_prefix(bar + 1);
    }
    if (fields.size() > 3 || fields[0].empty())
        return std::nullopt;
    Target t;
    t.host = fields[0];
    if (fields.size() > 1)
        t.out = fields[1];
    if (fields.size() > 2)
        t.err = fields[2];
    return t;
}

// An output of the command: one of the program's own streams, or a file
// created (or truncated) for it.
struct Sink {
    int fd = -1;
    Fd owned;
};

std::optional<Sink> open_sink(const std::string &name, int fallback, Reporter &report, const char *what) {
    Sink sink;
    if (name.empty()) {
        if (fallback >= 0) {
            sink.fd = fallback;
            return sink;
        }
        sink.owned = Fd(open("/dev/null", O_WRONLY | O_CLOEXEC));
    } else if (name == kStdout) {
        sink.fd = STDOUT_FILENO;
        return sink;
    } else if (name == kStderr) {
        sink.fd = STDERR_FILENO;
        return sink;
    } else {
        sink.owned = Fd(open(name.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666));
    }
    if (sink.owned.get() < 0) {
        report.result(true, "Error: cannot open %s file %s: %s", what, name.empty() ? "/dev/null" : name.c_str(),
                      std::strerror(errno));
        return std::nullopt;
    }
    sink.fd = sink.owned.get();
    return sink;
}

bool same_file(int a, int b) {
    struct stat sa {}, sb {};
    return fstat(a, &sa) == 0 && fstat(b, &sb) == 0 && S_ISREG(sa.st_mode) && sa.st_dev == sb.st_dev &&
           sa.st_ino == sb.st_ino;
}

// Started ssh, or the errno of a failed start.
struct Started {
    pid_t pid = -1;
    int error = 0;
};

Started start_ssh(const Target &target, const char *command, int out_fd, int err_fd) {
    const char *argv[] = {"ssh", "-o", "BatchMode=yes", "--", target.host.c_str(), command, nullptr};

    int status_pipe[2];
    if (pipe2(status_pipe, O_CLOEXEC) != 0)
        return {-1, errno};
    Fd status_read(status_pipe[0]), status_write(status_pipe[1]);

    // Interrupts stay blocked until the child has ignored them, so that none
    // reaches the program's handler inside the child.
    sigset_t interrupts, saved;
    sigemptyset(&interrupts);
    sigaddset(&interrupts, SIGINT);
    sigaddset(&interrupts, SIGTERM);
    sigprocmask(SIG_BLOCK, &interrupts, &saved);
    std::fflush(stdout);
    std::fflush(stderr);

    const pid_t parent = getpid();
    const pid_t pid = fork();
    if (pid == 0) {
        // SIGINT and SIGTERM are the program's to handle: a terminal's
        // interrupt reaches the whole process group, and the command must run
        // on after the first one. ssh keeps an inherited SIG_IGN.
        struct sigaction ignore {};
        ignore.sa_handler = SIG_IGN;
        sigaction(SIGINT, &ignore, nullptr);
        sigaction(SIGTERM, &ignore, nullptr);
        sigprocmask(SIG_SETMASK, &saved, nullptr);
        // When the program ends early (a second interrupt), ssh goes with it.
        prctl(PR_SET_PDEATHSIG, SIGHUP);
        if (getppid() != parent)
            _exit(127);

        int in = open("/dev/null", O_RDONLY | O_CLOEXEC);
        // Copies first, so that moving one stream onto 1 or 2 cannot clobber
        // another that still has to be moved.
        int c0 = fcntl(in, F_DUPFD_CLOEXEC, 3);
        int c1 = fcntl(out_fd, F_DUPFD_CLOEXEC, 3);
        int c2 = fcntl(err_fd, F_DUPFD_CLOEXEC, 3);
        if (in < 0 || c0 < 0 || c1 < 0 || c2 < 0 || dup2(c0, 0) < 0 || dup2(c1, 1) < 0 || dup2(c2, 2) < 0) {
            int e = errno;
            (void)!write(status_pipe[1], &e, sizeof e);
            _exit(127);
        }
        execvp(argv[0], const_cast<char *const *>(argv));
        int e = errno;
        (void)!write(status_pipe[1], &e, sizeof e);
        _exit(127);
    }
    const int fork_errno = errno;
    sigprocmask(SIG_SETMASK, &saved, nullptr);
    if (pid < 0)
        return {-1, fork_errno};

    status_write.reset();
    int child_errno = 0;
    ssize_t n;
    while ((n = read(status_read.get(), &child_errno, sizeof child_errno)) < 0 && errno == EINTR) {
    }
    if (n == static_cast<ssize_t>(sizeof child_errno)) {
        int status;
        while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
        }
        return {-1, child_errno};
    }
    return {pid, 0};
}

// Wait for ssh to end. An interrupt of the program only sets gcInterrupt; the
// wait goes on, and the operator is told once that the command still runs.
int wait_ssh(pid_t pid, const Target &target, const Reporter &report) {
    bool told = false;
    auto note_interrupt = [&] {
        if (gcInterrupt != 'y' || told)
            return;
        told = true;
        std::fprintf(stderr, "Warning: interrupt received; the command on %s runs on (interrupt again to stop it)\n",
                     target.host.c_str());
        if (report.log().iFlg > 0)
            WRITE_TRACE(&report.log(), "REMOTE_CMD interrupt received, waiting for the command on %s",
                        target.host.c_str());
    };

    // A pidfd wakes ppoll() when ssh ends, and ppoll() returns on every signal
    // whatever SA_RESTART says. The interrupt signals are blocked except
    // inside ppoll(), so one that arrives before the wait starts is noticed
    // by the check that precedes it instead of being missed.
    Fd pidfd(static_cast<int>(syscall(SYS_pidfd_open, pid, 0)));
    if (pidfd.get() >= 0) {
        sigset_t interrupts, previous;
        sigemptyset(&interrupts);
        sigaddset(&interrupts, SIGINT);
        sigaddset(&interrupts, SIGTERM);
        sigprocmask(SIG_BLOCK, &interrupts, &previous);
        for (;;) {
            note_interrupt();
            pollfd p{pidfd.get(), POLLIN, 0};
            int r = ppoll(&p, 1, nullptr, &previous);
            if (r < 0 && errno == EINTR)
                continue;
            break;
        }
        sigprocmask(SIG_SETMASK, &previous, nullptr);
    }
    int status = 0;
    while (waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR)
            return -1;
        note_interrupt();
    }
    return status;
}

} // namespace

extern "C" int REMOTE_CMD(const char *ccpTarget, const char *ccpCmd, int iWait, char *cpMsg, str_log sLog) {
    Reporter report(cpMsg, sLog);
    if (iWait != 1) {
        report.result(true, "Error: REMOTE_CMD: unsupported mode %d", iWait);
        return 0;
    }
    if (!ccpTarget || !ccpCmd) {
        report.result(true, "Error: REMOTE_CMD: no target or no command");
        return 0;
    }
    auto target = parse_target(ccpTarget);
    if (!target) {
        report.result(true, "Error: bad remote target \"%s\" (expected host, host|outfile or host|outfile|errfile)",
                      ccpTarget);
        return 0;
    }
    if (sLog.iFlg > 0)
        WRITE_TRACE(&sLog, "REMOTE_CMD host %s, command %s, output %s, errors %s", target->host.c_str(), ccpCmd,
                    target->out.empty() ? "(discarded)" : target->out.c_str(),
                    target->err.empty() ? "STDERR" : target->err.c_str());

    auto out = open_sink(target->out, -1, report, "output");
    if (!out)
        return 0;
    auto err = open_sink(target->err, STDERR_FILENO, report, "error");
    if (!err)
        return 0;
    // One file named twice gets one descriptor, so the two streams append to
    // it instead of overwriting each other.
    if (out->owned.get() >= 0 && err->owned.get() >= 0 && same_file(out->fd, err->fd)) {
        err->owned.reset();
        err->fd = out->fd;
    }

    Started ssh = start_ssh(*target, ccpCmd, out->fd, err->fd);
    out->owned.reset();
    err->owned.reset();
    if (ssh.pid < 0) {
        report.result(true, "Error: cannot start ssh for %s: %s", target->host.c_str(), std::strerror(ssh.error));
        return 0;
    }

    const int status = wait_ssh(ssh.pid, *target, report);
    if (status < 0) {
        report.result(true, "Error: lost track of ssh for %s: %s", target->host.c_str(), std::strerror(errno));
        return 0;
    }
    if (WIFSIGNALED(status)) {
        report.result(true, "Error: ssh for %s ended by signal %d", target->host.c_str(), WTERMSIG(status));
        return 0;
    }
    const int code = WEXITSTATUS(status);
    if (code != 0) {
        report.result(false, "Error: command on %s ended with status %d", target->host.c_str(), code);
        return 0;
    }
    report.result(false, "command on %s ended with status 0", target->host.c_str());
    return 1;
}
