#include "fd.h"

#include <unistd.h>

#include <cerrno>

namespace ark::sys {

void Fd::reset(int fd) noexcept {
    if (fd_ >= 0)
        ::close(fd_);
    fd_ = fd;
}

std::error_code Fd::close() noexcept {
    if (fd_ < 0)
        return {};
    const int fd = release();
    // Linux releases the descriptor even when close reports EINTR, so it is
    // never retried.
    if (::close(fd) != 0 && errno != EINTR)
        return {errno, std::generic_category()};
    return {};
}

std::error_code write_all(int fd, std::string_view data) noexcept {
    while (!data.empty()) {
        const ssize_t n = ::write(fd, data.data(), data.size());
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return {errno, std::generic_category()};
        }
        if (n == 0)
            return std::make_error_code(std::errc::io_error);
        data.remove_prefix(static_cast<size_t>(n));
    }
    return {};
}

} // namespace ark::sys
