#include "atomic_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <utility>

namespace ark::sys {

namespace {

std::error_code last_error() { return {errno, std::generic_category()}; }

fs::path directory_of(const fs::path &path) {
    const fs::path parent = path.parent_path();
    return parent.empty() ? fs::path(".") : parent;
}

// Writes the replacement through fill and commits it.
template <typename Fill>
std::error_code replace_with(const fs::path &target, unsigned mode, Sync sync, Fill fill) {
    FileReplacement out(target, mode, sync);
    if (out.error())
        return out.error();
    if (std::error_code ec = fill(out.fd()))
        return ec;
    return out.commit();
}

} // namespace

fs::path temporary_sibling(const fs::path &target) {
    return target.parent_path() / ("." + target.filename().string() + ".tmp");
}

FileReplacement::FileReplacement(fs::path target, unsigned mode, Sync sync)
    : target_(std::move(target)), sync_(sync) {
    struct stat status {};
    in_place_ = ::lstat(target_.c_str(), &status) == 0 && !S_ISREG(status.st_mode) && !S_ISLNK(status.st_mode);
    if (in_place_) {
        out_.reset(::open(target_.c_str(), O_WRONLY | O_TRUNC | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    } else {
        temp_ = temporary_sibling(target_);
        // A crashed run's temporary file goes; anything else stays and fails.
        struct stat left {};
        if (::lstat(temp_.c_str(), &left) == 0 && S_ISREG(left.st_mode) && left.st_uid == ::geteuid())
            ::unlink(temp_.c_str());
        out_.reset(::open(temp_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, mode));
        struct stat opened {};
        if (out_ && (::fstat(out_.get(), &opened) != 0 || !S_ISREG(opened.st_mode))) {
            out_.reset();
            errno = EINVAL;
        }
    }
    if (!out_) {
        error_ = last_error();
        return;
    }
    if (const int flags = ::fcntl(out_.get(), F_GETFL); flags >= 0)
        ::fcntl(out_.get(), F_SETFL, flags & ~O_NONBLOCK);
}

FileReplacement::~FileReplacement() {
    if (!done_ && !in_place_ && out_) {
        out_.reset();
        ::unlink(temp_.c_str());
    }
}

std::error_code FileReplacement::write(std::string_view text) {
    if (error_ || done_)
        return error_ ? error_ : std::make_error_code(std::errc::bad_file_descriptor);
    return write_all(out_.get(), text);
}

std::error_code FileReplacement::commit() {
    if (error_ || done_)
        return error_ ? error_ : std::make_error_code(std::errc::bad_file_descriptor);
    done_ = true;
    if (in_place_)
        return out_.close();
    std::error_code ec;
    if (sync_ == Sync::durable && ::fsync(out_.get()) != 0)
        ec = last_error();
    if (const std::error_code closed = out_.close(); !ec)
        ec = closed;
    if (!ec && sync_ == Sync::durable)
        ec = rename_durably(temp_, target_);
    else if (!ec && ::rename(temp_.c_str(), target_.c_str()) != 0)
        ec = last_error();
    if (ec)
        ::unlink(temp_.c_str());
    return ec;
}

std::error_code sync_directory(const fs::path &dir) noexcept {
    Fd fd(::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!fd)
        return last_error();
    if (::fsync(fd.get()) != 0)
        return last_error();
    return fd.close();
}

std::error_code replace_file(const fs::path &target, std::string_view text, unsigned mode) {
    return replace_with(target, mode, Sync::durable, [text](int fd) { return write_all(fd, text); });
}

std::error_code copy_file_durably(const fs::path &source, const fs::path &target) {
    return copy_file(source, target, Sync::durable);
}

std::error_code copy_file(const fs::path &source, const fs::path &target, Sync sync) {
    Fd in(::open(source.c_str(), O_RDONLY | O_CLOEXEC));
    if (!in)
        return last_error();
    struct stat status {};
    if (::fstat(in.get(), &status) != 0)
        return last_error();
    if (!S_ISREG(status.st_mode))
        return std::make_error_code(std::errc::invalid_argument);
    return replace_with(target, status.st_mode & 0700, sync, [&in](int out) -> std::error_code {
        std::array<char, 1 << 16> buffer{};
        for (;;) {
            const ssize_t n = ::read(in.get(), buffer.data(), buffer.size());
            if (n < 0 && errno == EINTR)
                continue;
            if (n < 0)
                return last_error();
            if (n == 0)
                return {};
            if (auto ec = write_all(out, std::string_view(buffer.data(), static_cast<size_t>(n))))
                return ec;
        }
    });
}

std::error_code rename_durably(const fs::path &from, const fs::path &to) noexcept {
    if (::rename(from.c_str(), to.c_str()) != 0)
        return last_error();
    return sync_directory(directory_of(to));
}

std::error_code remove_durably(const fs::path &path) noexcept {
    if (::unlink(path.c_str()) != 0) {
        if (errno == ENOENT)
            return {};
        return last_error();
    }
    return sync_directory(directory_of(path));
}

} // namespace ark::sys
