#include "job_lock.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <memory>
#include <sstream>
#include <string_view>

#include "messages.h"
#include "run_tool.h"
#include "system/fd.h"

namespace ark {

namespace {

sys::Fd &held_lock() {
    static sys::Fd fd;
    return fd;
}

bool all_digits(std::string_view text) {
    return !text.empty() && text.find_first_not_of("0123456789") == std::string_view::npos;
}

std::string process_name(const std::string &pid) {
    std::ifstream comm("/proc/" + pid + "/comm");
    std::string name;
    std::getline(comm, name);
    return name;
}

bool same_file(const std::string &path, dev_t device, ino_t inode) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && st.st_dev == device && st.st_ino == inode;
}

// A process (other than this one) with a descriptor of the file: the lock's
// owner once the process that took it has ended, as an orphaned tool that
// inherited it.
std::string process_with_open(dev_t device, ino_t inode) {
    const std::string me = std::to_string(::getpid());
    std::unique_ptr<DIR, int (*)(DIR *)> proc(::opendir("/proc"), ::closedir);
    while (const dirent *entry = proc ? ::readdir(proc.get()) : nullptr) {
        const std::string pid(entry->d_name);
        if (!all_digits(pid) || pid == me)
            continue;
        const std::string fd_dir = "/proc/" + pid + "/fd";
        std::unique_ptr<DIR, int (*)(DIR *)> fds(::opendir(fd_dir.c_str()), ::closedir);
        while (const dirent *fd = fds ? ::readdir(fds.get()) : nullptr)
            if (all_digits(fd->d_name) && same_file(fd_dir + "/" + fd->d_name, device, inode))
                return pid;
    }
    return {};
}

} // namespace

std::string lock_holder(dev_t device, ino_t inode) {
    // "1: FLOCK  ADVISORY  WRITE 1234 08:01:5678 0 EOF"; the device in hex.
    char wanted[64];
    std::snprintf(wanted, sizeof wanted, "%02x:%02x:%llu", major(device), minor(device),
                  static_cast<unsigned long long>(inode));
    std::ifstream locks("/proc/locks");
    std::string pid;
    for (std::string line; std::getline(locks, line);) {
        std::istringstream fields(line);
        std::string number, kind, mode, access, owner, file;
        if (fields >> number >> kind >> mode >> access >> owner >> file && kind == "FLOCK" && file == wanted &&
            all_digits(owner)) {
            pid = owner;
            break;
        }
    }
    // The lock names the process that took it; when that one has ended, a
    // process that inherited the descriptor holds it now.
    if (pid.empty() || ::access(("/proc/" + pid).c_str(), F_OK) != 0)
        pid = process_with_open(device, inode);
    if (pid.empty())
        return {};
    const std::string name = process_name(pid);
    return "process " + pid + (name.empty() ? "" : " (" + name + ")");
}

bool take_job_lock_fd(int dir_fd, const std::string &dir) {
    release_job_lock();
    sys::Fd fd(::fcntl(dir_fd, F_DUPFD_CLOEXEC, 3));
    if (!fd) {
        msg("Error: can't lock the job directory %s: %s", dir.c_str(), std::strerror(errno));
        return false;
    }
    // A copy made by dup shares the lock of the original: the lock is taken
    // on a description of the directory of its own.
    sys::Fd own(::openat(fd.get(), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!own) {
        msg("Error: can't lock the job directory %s: %s", dir.c_str(), std::strerror(errno));
        return false;
    }
    while (::flock(own.get(), LOCK_EX | LOCK_NB) != 0) {
        if (errno == EINTR)
            continue;
        const int error = errno;
        if (error == EWOULDBLOCK) {
            struct stat st {};
            ::fstat(own.get(), &st);
            const std::string holder = lock_holder(st.st_dev, st.st_ino);
            msg("Error: the job directory %s is in use by another operation%s%s; nothing was changed", dir.c_str(),
                holder.empty() ? "" : ", held by ", holder.c_str());
        } else {
            msg("Error: can't lock the job directory %s: %s", dir.c_str(), std::strerror(error));
        }
        return false;
    }
    held_lock() = std::move(own);
    set_inherited_by_tools({held_lock().get()});
    return true;
}

void release_job_lock() {
    set_inherited_by_tools({});
    held_lock().reset();
}

bool job_lock_held() { return static_cast<bool>(held_lock()); }

} // namespace ark
