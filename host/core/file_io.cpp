#include "file_io.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <system_error>
#include <vector>

#include "sha256.h"
#include "system/atomic_file.h"

namespace host {
namespace {

[[noreturn]] void fail(const std::string &what, const fs::path &path, int error = errno) {
    throw std::system_error(error, std::generic_category(), what + " " + path.string());
}

void write_all(int fd, const fs::path &name, const char *data, size_t size) {
    if (const std::error_code ec = ark::sys::write_all(fd, std::string_view(data, size)))
        fail("cannot write", name, ec.value());
}

// Reads source to its end, handing every block to sink.
template <class Sink> void read_blocks(int source, const fs::path &name, Sink sink) {
    std::vector<char> buffer(1 << 16);
    for (;;) {
        ssize_t n = ::read(source, buffer.data(), buffer.size());
        if (n < 0) {
            if (errno == EINTR)
                continue;
            fail("cannot read", name);
        }
        if (n == 0)
            return;
        sink(buffer.data(), static_cast<size_t>(n));
    }
}

} // namespace

Fd open_regular_file(const fs::path &path) {
    // O_NONBLOCK keeps a FIFO from blocking the open; it is refused below.
    Fd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
    if (fd.get() < 0)
        fail("cannot open", path);
    struct stat st{};
    if (::fstat(fd.get(), &st) != 0)
        fail("cannot examine", path);
    if (!S_ISREG(st.st_mode))
        throw std::system_error(EINVAL, std::generic_category(), path.string() + " is not a regular file");
    int flags = ::fcntl(fd.get(), F_GETFL);
    ::fcntl(fd.get(), F_SETFL, flags & ~O_NONBLOCK);
    return fd;
}

Checked copy_checked(int source, const fs::path &source_name, const fs::path &target, bool sync) {
    ::unlink(target.c_str());
    Fd out(::open(target.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (out.get() < 0)
        fail("cannot create", target);
    Sha256 hash;
    Checked result;
    read_blocks(source, source_name, [&](const char *data, size_t size) {
        hash.update(data, size);
        result.size += size;
        write_all(out.get(), target, data, size);
    });
    if (sync && ::fsync(out.get()) != 0)
        fail("cannot flush", target);
    result.sha256 = hash.hex_digest();
    return result;
}

Checked checksum_file(const fs::path &path) {
    Fd in = open_regular_file(path);
    Sha256 hash;
    Checked result;
    read_blocks(in.get(), path, [&](const char *data, size_t size) {
        hash.update(data, size);
        result.size += size;
    });
    result.sha256 = hash.hex_digest();
    return result;
}

void sync_directory(const fs::path &dir) {
    if (const std::error_code ec = ark::sys::sync_directory(dir))
        fail("cannot flush directory", dir, ec.value());
}

void append_text(int fd, const fs::path &name, std::string_view text) {
    write_all(fd, name, text.data(), text.size());
}

void append_synced(int fd, const fs::path &name, std::string_view line) {
    write_all(fd, name, line.data(), line.size());
    if (::fsync(fd) != 0)
        fail("cannot flush", name);
}

void sync_data(int fd, const fs::path &name) {
    if (::fdatasync(fd) != 0)
        fail("cannot flush", name);
}

void sync_file_system(int fd, const fs::path &name) {
    if (::syncfs(fd) != 0)
        fail("cannot flush the file system of", name);
}

bool make_directory(const fs::path &dir, unsigned mode) {
    if (::mkdir(dir.c_str(), static_cast<mode_t>(mode)) == 0)
        return true;
    if (errno == EEXIST)
        return false;
    fail("cannot create directory", dir);
}

} // namespace host
