// REMOTE_CMD: runs a command string on a client of the product through the
// OpenSSH client, with the client's output sent where the target says.
#include "libnv.h"
#include "nv_internal.h"
#include "system/fd.h"
#include "system/process.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
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

using ark::sys::Fd;

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

// Starts ssh with its output where the target says. SIGINT and SIGTERM are
// the program's to handle: a terminal's interrupt reaches the whole process
// group, and the command must run on after the first one, so ssh starts with
// them ignored (it keeps an inherited SIG_IGN). When the program ends early
// (a second interrupt), ssh goes with it.
ark::sys::Child start_ssh(const Target &target, const char *command, int out_fd, int err_fd) {
    ark::sys::Command ssh{.argv = {"ssh", "-o", "BatchMode=yes", "--", target.host, command}};
    ssh.out = ark::sys::Output::to_fd(out_fd);
    ssh.err = ark::sys::Output::to_fd(err_fd);
    ssh.ignored_signals = {SIGINT, SIGTERM};
    ssh.die_with_parent = true;
    std::fflush(stdout);
    std::fflush(stderr);
    return ark::sys::Child(ssh);
}

// Wait for ssh to end. An interrupt of the program only sets gcInterrupt; the
// wait goes on, and the operator is told once that the command still runs.
ark::sys::Result wait_ssh(ark::sys::Child &ssh, const Target &target, const Reporter &report) {
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
    // The flag an interrupt sets is looked at at least this often, and once
    // more when ssh has ended, so that an interrupt that came just before
    // the end is told as well.
    constexpr std::chrono::milliseconds kLook{50};
    for (;;) {
        note_interrupt();
        if (auto ended = ssh.wait_for(kLook)) {
            note_interrupt();
            return *ended;
        }
    }
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

    ark::sys::Child ssh = start_ssh(*target, ccpCmd, out->fd, err->fd);
    out->owned.reset();
    err->owned.reset();
    if (!ssh.started()) {
        report.result(true, "Error: cannot start ssh for %s: %s", target->host.c_str(),
                      std::strerror(ssh.result().error));
        return 0;
    }

    const ark::sys::Result ended = wait_ssh(ssh, *target, report);
    if (ended.state == ark::sys::Result::State::unknown) {
        report.result(true, "Error: lost track of ssh for %s: %s", target->host.c_str(), std::strerror(ended.error));
        return 0;
    }
    if (ended.state == ark::sys::Result::State::signalled) {
        report.result(true, "Error: ssh for %s ended by signal %d", target->host.c_str(), ended.signal);
        return 0;
    }
    const int code = ended.status;
    if (code != 0) {
        report.result(false, "Error: command on %s ended with status %d", target->host.c_str(), code);
        return 0;
    }
    report.result(false, "command on %s ended with status 0", target->host.c_str());
    return 1;
}
