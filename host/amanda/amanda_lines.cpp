#include "amanda_lines.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <mutex>
#include <vector>

#include "system/fd.h"

namespace amanda_app {
namespace {

int g_out = 1;
int g_err = 2;

// The message lines of a backup held until its stream has data.
std::mutex g_held_mutex;
bool g_holding = false;
std::vector<std::string> g_held;

void backup_line(std::string line) {
    std::lock_guard lock(g_held_mutex);
    if (g_holding)
        g_held.push_back(std::move(line));
    else
        write_line(message_fd, line);
}

// The end of an empty tar archive: two blocks of zeros.
bool write_empty_archive(int fd) {
    const std::string zeros(1024, '\0');
    return !ark::sys::write_all(fd, zeros);
}

} // namespace

HeldMessages::HeldMessages() {
    std::lock_guard lock(g_held_mutex);
    g_holding = true;
}

HeldMessages::~HeldMessages() {
    bool empty_stream = false;
    {
        std::lock_guard lock(g_held_mutex);
        empty_stream = g_holding;
    }
    if (empty_stream)
        write_empty_archive(amanda_out());
    stream_started();
}

void stream_started() {
    std::lock_guard lock(g_held_mutex);
    g_holding = false;
    for (const std::string &line : g_held)
        write_line(message_fd, line);
    g_held.clear();
}

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
    return !ark::sys::write_all(fd, line);
}

void backup_normal(std::string_view text) { backup_line("| " + std::string(text)); }
void backup_strange(std::string_view text) { backup_line("? " + std::string(text)); }
void backup_error(std::string_view text) { backup_line("sendbackup: error [" + std::string(text) + "]"); }

} // namespace amanda_app
