#include "amanda_lines.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

namespace amanda_app {
namespace {

int g_out = 1;
int g_err = 2;

} // namespace

void divert_std_streams(int log_fd) {
    if (g_out != 1)
        return;
    const int out = ::fcntl(1, F_DUPFD_CLOEXEC, 10);
    const int err = ::fcntl(2, F_DUPFD_CLOEXEC, 10);
    int target = log_fd >= 0 ? log_fd : ::open("/dev/null", O_WRONLY | O_CLOEXEC);
    if (out < 0 || err < 0 || target < 0)
        return; // the streams stay where they are
    g_out = out;
    g_err = err;
    ::dup2(target, 1);
    ::dup2(target, 2);
    if (target != log_fd)
        ::close(target);
}

int amanda_out() { return g_out; }
int amanda_err() { return g_err; }

bool write_line(int fd, std::string_view text) {
    std::string line(text);
    for (char &c : line)
        if (c == '\n' || c == '\r')
            c = ' ';
    line += '\n';
    size_t done = 0;
    while (done < line.size()) {
        ssize_t n = ::write(fd, line.data() + done, line.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

void backup_normal(std::string_view text) { write_line(message_fd, "| " + std::string(text)); }
void backup_strange(std::string_view text) { write_line(message_fd, "? " + std::string(text)); }
void backup_error(std::string_view text) { write_line(message_fd, "sendbackup: error [" + std::string(text) + "]"); }

} // namespace amanda_app
