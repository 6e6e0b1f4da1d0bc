#include "terminal.h"

#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <streambuf>
#include <string>

namespace dbhost::terminal {
namespace {

int g_out_fd = 1;
int g_err_fd = 2;
bool g_status_shown = false;

// Back to the start of the line, and the line erased.
constexpr std::string_view erase_line = "\r\x1b[K";

void write_all(int fd, std::string_view text) {
    while (!text.empty()) {
        const ssize_t n = ::write(fd, text.data(), text.size());
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return; // a reader that went away: the text has nowhere to go
        }
        text.remove_prefix(static_cast<size_t>(n));
    }
}

void take_status_down() {
    if (!g_status_shown)
        return;
    g_status_shown = false;
    write_all(g_out_fd, erase_line);
}

// Line-buffered output to a descriptor that can change: each complete line
// (or whatever a flush finds) goes out in one write, after the progress
// line has made room.
class LineBuffer : public std::streambuf {
public:
    explicit LineBuffer(const int &fd) : fd_(fd) {}

protected:
    int_type overflow(int_type c) override {
        if (!traits_type::eq_int_type(c, traits_type::eof())) {
            pending_ += traits_type::to_char_type(c);
            if (pending_.back() == '\n')
                sync();
        }
        return traits_type::not_eof(c);
    }
    std::streamsize xsputn(const char *text, std::streamsize n) override {
        pending_.append(text, static_cast<size_t>(n));
        if (!pending_.empty() && pending_.back() == '\n')
            sync();
        return n;
    }
    int sync() override {
        if (pending_.empty())
            return 0;
        take_status_down();
        write_all(fd_, pending_);
        pending_.clear();
        return 0;
    }

private:
    const int &fd_;
    std::string pending_;
};

} // namespace

// Never destroyed: the plug-in's exit handlers may still report something
// through the host after main has returned.
std::ostream &out() {
    static std::ostream *stream = new std::ostream(new LineBuffer(g_out_fd));
    return *stream;
}

std::ostream &err() {
    static std::ostream *stream = new std::ostream(new LineBuffer(g_err_fd));
    return *stream;
}

void use(int out_fd, int err_fd) {
    out().flush();
    err().flush();
    take_status_down();
    g_out_fd = out_fd;
    g_err_fd = err_fd;
}

bool output_is_terminal() { return ::isatty(g_out_fd) == 1; }

void show_status(std::string_view text) {
    if (!output_is_terminal())
        return;
    winsize size{};
    size_t columns = 80;
    if (::ioctl(g_out_fd, TIOCGWINSZ, &size) == 0 && size.ws_col > 1)
        columns = size.ws_col;
    // A line that wraps could not be taken back with a carriage return.
    if (text.size() >= columns)
        text = text.substr(0, columns - 1);
    out().flush();
    std::string line = "\r";
    line += text;
    line += "\x1b[K";
    write_all(g_out_fd, line);
    g_status_shown = true;
}

void clear_status() { take_status_down(); }

} // namespace dbhost::terminal
