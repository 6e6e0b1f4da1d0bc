// File descriptors that close themselves, and writes that finish.
#pragma once

#include <string_view>
#include <system_error>

namespace ark::sys {

class Fd {
public:
    explicit Fd(int fd = -1) noexcept : fd_(fd) {}
    ~Fd() { reset(); }
    Fd(Fd &&other) noexcept : fd_(other.release()) {}
    Fd &operator=(Fd &&other) noexcept {
        if (this != &other)
            reset(other.release());
        return *this;
    }
    Fd(const Fd &) = delete;
    Fd &operator=(const Fd &) = delete;

    int get() const noexcept { return fd_; }
    explicit operator bool() const noexcept { return fd_ >= 0; }
    int release() noexcept {
        const int fd = fd_;
        fd_ = -1;
        return fd;
    }
    void reset(int fd = -1) noexcept;
    // Closes now and reports what close said; the holder is empty afterwards.
    std::error_code close() noexcept;

private:
    int fd_;
};

// Writes all of data, going on after short writes and interruptions.
std::error_code write_all(int fd, std::string_view data) noexcept;

} // namespace ark::sys
