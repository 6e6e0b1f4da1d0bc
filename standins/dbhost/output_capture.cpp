#include "output_capture.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <iostream>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "message_log.h"
#include "host_core.h"
#include "report.h"
#include "terminal.h"

namespace dbhost {
namespace {

// A line that never ends is logged in pieces of this size.
constexpr size_t longest_line = 64 * 1024;

// How long the host waits at the end for the logger to drain the pipes.
constexpr auto drain_limit = std::chrono::seconds(5);

void write_all(int fd, std::string_view text) {
    while (!text.empty()) {
        const ssize_t n = ::write(fd, text.data(), text.size());
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return;
        }
        text.remove_prefix(static_cast<size_t>(n));
    }
}

// One log line per output line: control characters (other than a tab) are
// shown as \xNN, so that neither the log nor the terminal takes them as
// commands; other bytes stay as they are.
std::string shown(std::string_view line) {
    static const char digits[] = "0123456789abcdef";
    if (!line.empty() && line.back() == '\r')
        line.remove_suffix(1);
    std::string out;
    out.reserve(line.size());
    for (unsigned char c : line) {
        if ((c < 0x20 && c != '\t') || c == 0x7f) {
            out += "\\x";
            out += digits[c >> 4];
            out += digits[c & 0xf];
        } else {
            out += static_cast<char>(c);
        }
    }
    return out;
}

void close_all_but(std::vector<int> keep) {
    std::sort(keep.begin(), keep.end());
    unsigned from = 0;
    for (int fd : keep) {
        if (static_cast<unsigned>(fd) > from)
            ::close_range(from, static_cast<unsigned>(fd) - 1, 0);
        from = static_cast<unsigned>(fd) + 1;
    }
    ::close_range(from, ~0U, 0);
}

struct Stream {
    int fd;
    const char *label;
    std::string partial;
};

// The logger process: reads both pipes until every writer has gone.
// It keeps the host's standard error open whether it echoes or not, so that
// a reader of that stream sees its end only once the log is complete.
[[noreturn]] void run_logger(int out_pipe, int err_pipe, int log_fd, int host_err, bool echo) {
    // An interrupt from the terminal reaches the whole process group; the
    // logger stays until the host and its children have closed the pipes.
    for (int sig : {SIGINT, SIGQUIT, SIGTERM, SIGHUP, SIGPIPE})
        ::signal(sig, SIG_IGN);
    close_all_but({out_pipe, err_pipe, log_fd, host_err});
    const int echo_fd = echo ? host_err : -1;
    // A progress line may stand where the echoed line goes.
    const bool erase = echo_fd >= 0 && ::isatty(echo_fd) == 1;

    auto emit = [&](const Stream &stream, std::string_view line) {
        const std::string text = shown(line);
        write_all(log_fd, local_time(std::time(nullptr)) + " " + stream.label + text + "\n");
        if (echo_fd >= 0)
            write_all(echo_fd, (erase ? "\r\x1b[K" : "") + text + "\n");
    };

    Stream streams[2] = {{out_pipe, "stdout: ", {}}, {err_pipe, "stderr: ", {}}};
    int open_streams = 2;
    char buffer[16384];
    while (open_streams > 0) {
        pollfd fds[2];
        for (int i = 0; i < 2; ++i)
            fds[i] = {streams[i].fd, POLLIN, 0};
        if (::poll(fds, 2, -1) < 0) {
            if (errno == EINTR)
                continue;
            break;
        }
        for (int i = 0; i < 2; ++i) {
            Stream &stream = streams[i];
            if (stream.fd < 0 || !(fds[i].revents & (POLLIN | POLLHUP | POLLERR)))
                continue;
            const ssize_t n = ::read(stream.fd, buffer, sizeof buffer);
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0) {
                if (!stream.partial.empty())
                    emit(stream, stream.partial);
                ::close(stream.fd);
                stream.fd = -1; // poll ignores a negative descriptor
                --open_streams;
                continue;
            }
            stream.partial.append(buffer, static_cast<size_t>(n));
            size_t start = 0;
            for (size_t end; (end = stream.partial.find('\n', start)) != std::string::npos; start = end + 1)
                emit(stream, std::string_view(stream.partial).substr(start, end - start));
            stream.partial.erase(0, start);
            while (stream.partial.size() >= longest_line) {
                emit(stream, std::string_view(stream.partial).substr(0, longest_line));
                stream.partial.erase(0, longest_line);
            }
        }
    }
    ::_exit(0);
}

// A closed descriptor 0, 1 or 2 would be taken by the next pipe.
void open_standard_descriptors() {
    for (int fd = 0; fd <= 2; ++fd)
        if (::fcntl(fd, F_GETFD) < 0 && ::open("/dev/null", O_RDWR) < 0)
            return;
}

void flush_everything() {
    std::cout.flush();
    std::cerr.flush();
    terminal::out().flush();
    terminal::err().flush();
    std::fflush(nullptr);
}

} // namespace

std::unique_ptr<OutputCapture> OutputCapture::start(int log_fd, bool echo) {
    auto &log = MessageLog::get();
    open_standard_descriptors();
    int out_pipe[2], err_pipe[2];
    if (::pipe2(out_pipe, O_CLOEXEC) != 0) {
        log.warning(std::string("the plug-in's output is not logged: cannot make a pipe, ERR=") + std::strerror(errno));
        return nullptr;
    }
    if (::pipe2(err_pipe, O_CLOEXEC) != 0) {
        log.warning(std::string("the plug-in's output is not logged: cannot make a pipe, ERR=") + std::strerror(errno));
        for (int fd : out_pipe)
            ::close(fd);
        return nullptr;
    }
    flush_everything();
    const int host_out = ::fcntl(1, F_DUPFD_CLOEXEC, 3);
    const int host_err = ::fcntl(2, F_DUPFD_CLOEXEC, 3);
    const pid_t pid = host_out < 0 || host_err < 0 ? -1 : ::fork();
    if (pid == 0)
        run_logger(out_pipe[0], err_pipe[0], log_fd, host_err, echo);
    const int error = errno;
    ::close(out_pipe[0]);
    ::close(err_pipe[0]);
    if (pid < 0) {
        for (int fd : {out_pipe[1], err_pipe[1], host_out, host_err})
            if (fd >= 0)
                ::close(fd);
        log.warning(std::string("the plug-in's output is not logged: cannot start the logger, ERR=") +
                    std::strerror(error));
        return nullptr;
    }
    ::dup2(out_pipe[1], 1);
    ::dup2(err_pipe[1], 2);
    ::close(out_pipe[1]);
    ::close(err_pipe[1]);
    terminal::use(host_out, host_err);
    return std::unique_ptr<OutputCapture>(new OutputCapture(pid, host_out, host_err));
}

OutputCapture::~OutputCapture() {
    // What the plug-in left in its stdio buffers still belongs to the log.
    flush_everything();
    ::dup2(host_out_, 1);
    ::dup2(host_err_, 2);
    terminal::use(1, 2);
    ::close(host_out_);
    ::close(host_err_);

    const auto deadline = std::chrono::steady_clock::now() + drain_limit;
    auto pause = std::chrono::milliseconds(1);
    for (;;) {
        int status = 0;
        const pid_t done = ::waitpid(logger_, &status, WNOHANG);
        if (done == logger_ || (done < 0 && errno != EINTR))
            return;
        if (std::chrono::steady_clock::now() >= deadline) {
            MessageLog::get().note("a process that the plug-in started still holds its output open; "
                                   "the rest of that output is logged as it comes");
            return;
        }
        std::this_thread::sleep_for(pause);
        pause = std::min(pause * 2, std::chrono::milliseconds(20));
    }
}

} // namespace dbhost
