#include "private_dir.h"

#include <dirent.h>
#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>

namespace ark::sys {

namespace {

std::error_code last_error() { return {errno, std::generic_category()}; }

std::atomic<Resolution> g_resolution{Resolution::automatic};

std::string octal_mode(mode_t mode) {
    char text[8];
    std::snprintf(text, sizeof text, "%04o", static_cast<unsigned>(mode & 07777));
    return text;
}

bool owned_by_us_or_root(const struct stat &st) { return st.st_uid == ::geteuid() || st.st_uid == 0; }

// The components of a relative path; "." and empty ones are dropped. False
// for a ".." or an absolute path: both would leave the directory.
bool split_components(std::string_view rel, std::vector<std::string> &out) {
    if (!rel.empty() && rel.front() == '/')
        return false;
    size_t start = 0;
    while (start <= rel.size()) {
        size_t end = rel.find('/', start);
        if (end == std::string_view::npos)
            end = rel.size();
        const std::string_view part = rel.substr(start, end - start);
        if (part == "..")
            return false;
        if (!part.empty() && part != ".")
            out.emplace_back(part);
        start = end + 1;
    }
    return true;
}

Fd open_stepwise(int dirfd, std::string_view rel, int flags, std::error_code &ec, mode_t mode) {
    std::vector<std::string> parts;
    if (!split_components(rel, parts)) {
        ec = std::make_error_code(std::errc::cross_device_link);
        return Fd();
    }
    if (parts.empty())
        parts.emplace_back(".");
    Fd current;
    int at = dirfd;
    for (size_t i = 0; i + 1 < parts.size(); ++i) {
        Fd next(::openat(at, parts[i].c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        if (!next) {
            // O_PATH | O_DIRECTORY on a link says ENOTDIR; say what it is.
            struct stat st {};
            ec = (errno == ENOTDIR && ::fstatat(at, parts[i].c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 &&
                  S_ISLNK(st.st_mode))
                     ? std::make_error_code(std::errc::too_many_symbolic_link_levels)
                     : last_error();
            return Fd();
        }
        current = std::move(next);
        at = current.get();
    }
    Fd out(::openat(at, parts.back().c_str(), flags | O_NOFOLLOW | O_CLOEXEC, mode));
    if (!out)
        ec = last_error();
    return out;
}

Fd open_openat2(int dirfd, std::string_view rel, int flags, std::error_code &ec, mode_t mode, bool &unsupported) {
    std::vector<std::string> parts;
    if (!split_components(rel, parts)) {
        ec = std::make_error_code(std::errc::cross_device_link);
        return Fd();
    }
    const std::string path(rel.empty() ? "." : rel);
    struct open_how how {};
    how.flags = static_cast<uint64_t>(flags | O_NOFOLLOW | O_CLOEXEC);
    how.mode = (flags & (O_CREAT | O_TMPFILE)) ? mode : 0;
    how.resolve = RESOLVE_BENEATH | RESOLVE_NO_SYMLINKS | RESOLVE_NO_MAGICLINKS;
    const long fd = ::syscall(SYS_openat2, dirfd, path.c_str(), &how, sizeof how);
    if (fd < 0) {
        unsupported = errno == ENOSYS;
        ec = last_error();
        return Fd();
    }
    return Fd(static_cast<int>(fd));
}

std::string describe_entry(const struct stat &st) {
    if (S_ISLNK(st.st_mode))
        return "a symbolic link";
    if (S_ISFIFO(st.st_mode))
        return "a FIFO";
    if (S_ISDIR(st.st_mode))
        return "a directory";
    if (S_ISSOCK(st.st_mode))
        return "a socket";
    if (S_ISCHR(st.st_mode) || S_ISBLK(st.st_mode))
        return "a device";
    if (!S_ISREG(st.st_mode))
        return "not a regular file";
    if (st.st_uid != ::geteuid())
        return "a file of uid " + std::to_string(st.st_uid);
    return {};
}

// A directory handle of its own on a descriptor that stays the caller's.
struct DirCloser {
    void operator()(DIR *dir) const { ::closedir(dir); }
};
using DirPtr = std::unique_ptr<DIR, DirCloser>;

DirPtr read_handle(int dirfd) {
    const int copy = ::openat(dirfd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (copy < 0)
        return DirPtr();
    DIR *dir = ::fdopendir(copy);
    if (!dir)
        ::close(copy);
    return DirPtr(dir);
}

std::vector<std::string> names_in(int dirfd, std::error_code &ec) {
    std::vector<std::string> names;
    DirPtr dir = read_handle(dirfd);
    if (!dir) {
        ec = last_error();
        return names;
    }
    errno = 0;
    while (const dirent *entry = ::readdir(dir.get())) {
        const std::string_view name(entry->d_name);
        if (name != "." && name != "..")
            names.emplace_back(name);
    }
    if (errno)
        ec = last_error();
    return names;
}

constexpr int kMaxDepth = 128;

// Removes every entry of dirfd (device dev) but the kept ones; failures
// are appended, named below prefix.
void empty_into(int dirfd, dev_t dev, const std::string &prefix, const std::function<bool(std::string_view)> &keep,
                int depth, std::vector<std::string> &failed) {
    std::error_code ec;
    const std::vector<std::string> names = names_in(dirfd, ec);
    if (ec) {
        failed.push_back((prefix.empty() ? "." : prefix) + ": can't be read: " + ec.message());
        return;
    }
    for (const std::string &name : names) {
        if (keep && keep(name))
            continue;
        const std::string shown = prefix.empty() ? name : prefix + "/" + name;
        struct stat st {};
        if (::fstatat(dirfd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
            if (errno != ENOENT)
                failed.push_back(shown + ": " + last_error().message());
            continue;
        }
        if (S_ISDIR(st.st_mode)) {
            if (st.st_dev != dev) {
                failed.push_back(shown + ": is on another file system; it is not entered");
                continue;
            }
            if (depth >= kMaxDepth) {
                failed.push_back(shown + ": lies too deep");
                continue;
            }
            Fd sub(::openat(dirfd, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
            struct stat opened {};
            if (!sub || ::fstat(sub.get(), &opened) != 0 || opened.st_dev != st.st_dev ||
                opened.st_ino != st.st_ino) {
                failed.push_back(shown + ": changed while it was removed; it is not entered");
                continue;
            }
            empty_into(sub.get(), dev, shown, {}, depth + 1, failed);
            if (::unlinkat(dirfd, name.c_str(), AT_REMOVEDIR) != 0 && errno != ENOENT)
                failed.push_back(shown + ": " + last_error().message());
            continue;
        }
        if (::unlinkat(dirfd, name.c_str(), 0) != 0 && errno != ENOENT)
            failed.push_back(shown + ": " + last_error().message());
    }
}

} // namespace

void set_resolution(Resolution resolution) { g_resolution = resolution; }

Resolution resolution_in_use() {
    if (g_resolution.load() == Resolution::automatic) {
        struct open_how how {};
        how.flags = O_RDONLY | O_DIRECTORY | O_CLOEXEC;
        how.resolve = RESOLVE_BENEATH | RESOLVE_NO_SYMLINKS;
        const long fd = ::syscall(SYS_openat2, AT_FDCWD, ".", &how, sizeof how);
        if (fd >= 0)
            ::close(static_cast<int>(fd));
        g_resolution = (fd >= 0 || errno != ENOSYS) ? Resolution::openat2 : Resolution::stepwise;
    }
    return g_resolution.load();
}

Fd open_below(int dirfd, std::string_view rel, int flags, std::error_code &ec, mode_t mode) {
    ec.clear();
    if (resolution_in_use() == Resolution::openat2) {
        bool unsupported = false;
        Fd fd = open_openat2(dirfd, rel, flags, ec, mode, unsupported);
        if (!unsupported)
            return fd;
        g_resolution = Resolution::stepwise;
        ec.clear();
    }
    return open_stepwise(dirfd, rel, flags, ec, mode);
}

std::optional<std::string> untrusted_directory(const struct stat &st, bool shared_ok) {
    if (S_ISLNK(st.st_mode))
        return "is a symbolic link";
    if (!S_ISDIR(st.st_mode))
        return "is not a directory";
    if (!owned_by_us_or_root(st))
        return "is owned by uid " + std::to_string(st.st_uid) + ", not by uid " + std::to_string(::geteuid()) +
               " or root";
    if ((st.st_mode & (S_IWGRP | S_IWOTH)) && !(shared_ok && (st.st_mode & S_ISVTX)))
        return "is writable by group or others (mode " + octal_mode(st.st_mode) +
               (shared_ok ? " without the sticky bit)" : ")");
    return std::nullopt;
}

std::optional<std::string> open_private_dir(int parent, const std::string &name, bool create, OpenedDir &out) {
    out.fd.reset();
    out.st = {};
    out.created = out.tightened = false;
    if (name.empty() || name == "." || name == ".." || name.find('/') != std::string::npos)
        return "is not a plain directory name";
    if (create) {
        if (::mkdirat(parent, name.c_str(), 0700) == 0)
            out.created = true;
        else if (errno != EEXIST)
            return "can't be made: " + last_error().message();
    }
    out.fd.reset(::openat(parent, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    if (!out.fd) {
        const int error = errno;
        struct stat st {};
        if (::fstatat(parent, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0) {
            if (auto why = untrusted_directory(st, false))
                return why;
        }
        return "can't be opened: " + std::error_code(error, std::generic_category()).message();
    }
    if (::fstat(out.fd.get(), &out.st) != 0)
        return "can't be examined: " + last_error().message();
    if (auto why = untrusted_directory(out.st, false)) {
        out.fd.reset();
        return why;
    }
    if (out.created && (out.st.st_mode & 07777) != 0700)
        ::fchmod(out.fd.get(), 0700); // past a umask that took owner bits away
    if (!out.created && out.st.st_uid == ::geteuid() && (out.st.st_mode & 077) && !(out.st.st_mode & 022)) {
        if (::fchmod(out.fd.get(), out.st.st_mode & 07700) == 0)
            out.tightened = true;
        ::fstat(out.fd.get(), &out.st);
    }
    return std::nullopt;
}

std::optional<std::string> open_trusted_dir(const std::string &path, bool create, bool last_shared_ok,
                                            OpenedDir &out) {
    out.fd.reset();
    out.st = {};
    out.created = out.tightened = false;
    if (path.empty() || path.front() != '/')
        return path + " is not an absolute path";
    std::vector<std::string> pending; // components still to walk, last first
    auto push_path = [&pending](std::string_view text) {
        std::vector<std::string> parts;
        size_t start = 0;
        while (start <= text.size()) {
            size_t end = text.find('/', start);
            if (end == std::string_view::npos)
                end = text.size();
            const std::string_view part = text.substr(start, end - start);
            if (!part.empty() && part != ".")
                parts.emplace_back(part);
            start = end + 1;
        }
        pending.insert(pending.end(), parts.rbegin(), parts.rend());
    };
    push_path(path);
    Fd current(::open("/", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    std::string walked; // the path of current, as walked
    struct stat st {};
    if (!current || ::fstat(current.get(), &st) != 0)
        return "/ can't be opened: " + last_error().message();
    if (auto why = untrusted_directory(st, true))
        return "/ " + *why;
    int links = 0;
    while (!pending.empty()) {
        const std::string part = pending.back();
        pending.pop_back();
        const std::string shown = walked + "/" + part;
        if (part == "..")
            return path + " holds a \"..\" component";
        struct stat entry {};
        if (::fstatat(current.get(), part.c_str(), &entry, AT_SYMLINK_NOFOLLOW) != 0) {
            if (errno != ENOENT || !create)
                return shown + " can't be reached: " + last_error().message();
            if (::mkdirat(current.get(), part.c_str(), 0700) != 0 && errno != EEXIST)
                return shown + " can't be made: " + last_error().message();
            if (::fstatat(current.get(), part.c_str(), &entry, AT_SYMLINK_NOFOLLOW) != 0)
                return shown + " can't be reached: " + last_error().message();
        }
        if (S_ISLNK(entry.st_mode)) {
            // Only a link that nobody else could have made or replaced.
            if (!owned_by_us_or_root(entry))
                return shown + " is a symbolic link of uid " + std::to_string(entry.st_uid);
            if (untrusted_directory(st, false))
                return shown + " is a symbolic link in a directory that others can write";
            if (++links > 40)
                return shown + " leads through too many symbolic links";
            std::string target(static_cast<size_t>(entry.st_size > 0 ? entry.st_size : 4096) + 1, '\0');
            const ssize_t n = ::readlinkat(current.get(), part.c_str(), target.data(), target.size());
            if (n < 0 || static_cast<size_t>(n) >= target.size())
                return shown + " can't be read as a symbolic link";
            target.resize(static_cast<size_t>(n));
            push_path(target);
            if (target.front() == '/') {
                current.reset(::open("/", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
                walked.clear();
                if (!current || ::fstat(current.get(), &st) != 0)
                    return "/ can't be opened: " + last_error().message();
            }
            continue;
        }
        Fd next(::openat(current.get(), part.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
        struct stat opened {};
        if (!next) {
            if (errno == ELOOP || errno == ENOTDIR)
                return shown + (S_ISDIR(entry.st_mode) ? " changed while it was opened" : " is not a directory");
            return shown + " can't be opened: " + last_error().message();
        }
        if (::fstat(next.get(), &opened) != 0)
            return shown + " can't be examined: " + last_error().message();
        const bool last = pending.empty();
        if (auto why = untrusted_directory(opened, !last || last_shared_ok))
            return shown + " " + *why;
        current = std::move(next);
        st = opened;
        walked = shown;
    }
    out.fd = std::move(current);
    out.st = st;
    return std::nullopt;
}

Fd create_new_file(int dirfd, const std::string &name, mode_t mode, std::error_code &ec) {
    ec.clear();
    Fd fd(::openat(dirfd, name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, mode));
    if (!fd) {
        ec = last_error();
        return fd;
    }
    struct stat st {};
    if (::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) {
        ec = st.st_mode ? std::make_error_code(std::errc::invalid_argument) : last_error();
        return Fd();
    }
    // The mode given, whatever the umask took away.
    if ((st.st_mode & 07777) != mode && ::fchmod(fd.get(), mode) != 0) {
        ec = last_error();
        ::unlinkat(dirfd, name.c_str(), 0);
        return Fd();
    }
    const int flags = ::fcntl(fd.get(), F_GETFL);
    if (flags >= 0)
        ::fcntl(fd.get(), F_SETFL, flags & ~O_NONBLOCK);
    return fd;
}

std::optional<std::string> not_own_regular_file(int dirfd, const std::string &name) {
    struct stat st {};
    if (::fstatat(dirfd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0)
        return "not there: " + last_error().message();
    std::string what = describe_entry(st);
    if (what.empty())
        return std::nullopt;
    return what;
}

size_t tighten_entries(int dirfd) {
    size_t narrowed = 0;
    const uid_t me = ::geteuid();
    struct stat self {};
    if (::fstat(dirfd, &self) == 0 && self.st_uid == me && (self.st_mode & 077) && !(self.st_mode & 022) &&
        ::fchmod(dirfd, self.st_mode & 07700) == 0)
        ++narrowed;
    std::error_code ec;
    for (const std::string &name : names_in(dirfd, ec)) {
        struct stat st {};
        // Only what others could read: what others could write is not made
        // safe by narrowing it, and the checks refuse it.
        if (::fstatat(dirfd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0 || st.st_uid != me || !(st.st_mode & 077) ||
            (st.st_mode & 022))
            continue;
        if (!S_ISREG(st.st_mode) && !S_ISDIR(st.st_mode))
            continue;
        // By descriptor: the name may have changed since the fstatat.
        Fd fd(::openat(dirfd, name.c_str(),
                       (S_ISDIR(st.st_mode) ? O_DIRECTORY : 0) | O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
        struct stat opened {};
        if (!fd || ::fstat(fd.get(), &opened) != 0 || opened.st_ino != st.st_ino || opened.st_uid != me)
            continue;
        if (::fchmod(fd.get(), opened.st_mode & 07700) == 0)
            ++narrowed;
    }
    return narrowed;
}

std::vector<std::string> empty_directory(int dirfd, const std::function<bool(std::string_view)> &keep) {
    std::vector<std::string> failed;
    struct stat st {};
    if (::fstat(dirfd, &st) != 0) {
        failed.push_back(".: " + last_error().message());
        return failed;
    }
    empty_into(dirfd, st.st_dev, "", keep, 0, failed);
    return failed;
}

std::vector<std::string> remove_tree(int parent, const std::string &name, const struct stat *expected) {
    std::vector<std::string> failed;
    Fd dir(::openat(parent, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    struct stat st {};
    if (!dir) {
        failed.push_back(name + ": can't be opened as a directory: " + last_error().message());
        return failed;
    }
    if (::fstat(dir.get(), &st) != 0 ||
        (expected && (st.st_dev != expected->st_dev || st.st_ino != expected->st_ino))) {
        failed.push_back(name + ": is no longer the directory it was");
        return failed;
    }
    empty_into(dir.get(), st.st_dev, name, {}, 1, failed);
    if (failed.empty() && ::unlinkat(parent, name.c_str(), AT_REMOVEDIR) != 0)
        failed.push_back(name + ": " + last_error().message());
    return failed;
}

} // namespace ark::sys
