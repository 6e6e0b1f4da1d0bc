#include "file_io.h"

#include "sim_error.h"
#include "system/fd.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace zsim {

namespace {

[[noreturn]] void fail(const std::string &what, const fs::path &path, int err) {
    throw SimError(what + " " + path.string() + ": " + std::strerror(err));
}

void write_all(int fd, std::string_view content, const fs::path &path) {
    if (const std::error_code ec = ark::sys::write_all(fd, content))
        fail("cannot write", path, ec.value());
}

} // namespace

std::string read_file(const fs::path &path) {
    const ark::sys::Fd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd)
        fail("cannot read", path, errno);
    std::string content;
    char buf[65536];
    for (;;) {
        const ssize_t n = ::read(fd.get(), buf, sizeof buf);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            fail("cannot read", path, errno);
        }
        if (n == 0)
            break;
        content.append(buf, static_cast<std::size_t>(n));
    }
    return content;
}

void write_file_direct(const fs::path &path, std::string_view content) {
    ark::sys::Fd fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
    if (!fd)
        fail("cannot create", path, errno);
    write_all(fd.get(), content, path);
    if (const std::error_code ec = fd.close())
        fail("cannot write", path, ec.value());
}

void write_file_atomic(const fs::path &path, std::string_view content) {
    fs::path temp = path;
    temp.replace_filename("." + path.filename().string() + ".part");
    write_file_direct(temp, content);
    if (::rename(temp.c_str(), path.c_str()) != 0) {
        const int err = errno;
        ::unlink(temp.c_str());
        fail("cannot replace", path, err);
    }
}

std::vector<std::string_view> split(std::string_view text, char separator) {
    std::vector<std::string_view> parts;
    std::size_t start = 0;
    for (;;) {
        const std::size_t pos = text.find(separator, start);
        if (pos == std::string_view::npos) {
            parts.push_back(text.substr(start));
            return parts;
        }
        parts.push_back(text.substr(start, pos - start));
        start = pos + 1;
    }
}

std::vector<std::string_view> split_lines(std::string_view text) {
    std::vector<std::string_view> lines;
    std::size_t start = 0;
    while (start < text.size()) {
        const std::size_t pos = text.find('\n', start);
        if (pos == std::string_view::npos) {
            lines.push_back(text.substr(start));
            break;
        }
        lines.push_back(text.substr(start, pos - start));
        start = pos + 1;
    }
    return lines;
}

} // namespace zsim
