// Checking restore directories, and what the clean-up needs to know of the
// first one.
#include "restore_dir.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <optional>

#include "mailbox_files.h"
#include "messages.h"
#include "system/private_dir.h"

using ark::msg;

namespace ark {

namespace {

struct FirstReceived {
    std::string dir;
    std::optional<struct stat> st;
};

FirstReceived &first() {
    static FirstReceived instance;
    return instance;
}

// The restore directory last checked. Every directory on its path was
// checked with it: only root or this account can make the path lead
// elsewhere since, so one lookup that finds the same directory spares the
// next mailbox in it the walk from "/".
struct LastTrusted {
    std::string path;
    sys::Fd fd;
    dev_t dev = 0;
    ino_t ino = 0;
};

LastTrusted &last_trusted() {
    static LastTrusted instance;
    return instance;
}

sys::Fd same_as_last_trusted(const std::string &path) {
    LastTrusted &last = last_trusted();
    struct stat now {};
    if (!last.fd || last.path != path || ::lstat(path.c_str(), &now) != 0 || !S_ISDIR(now.st_mode) ||
        now.st_dev != last.dev || now.st_ino != last.ino)
        return sys::Fd();
    return sys::Fd(::fcntl(last.fd.get(), F_DUPFD_CLOEXEC, 3));
}

std::string without_trailing_slashes(std::string dir) {
    while (dir.size() > 1 && dir.back() == '/')
        dir.pop_back();
    return dir;
}

} // namespace

std::string absolute_dir(std::string_view dir) {
    std::string path(dir);
    if (path.empty() || path.front() != '/') {
        std::string cwd(4096, '\0');
        if (::getcwd(cwd.data(), cwd.size()))
            path = std::string(cwd.c_str()) + "/" + path;
    }
    return without_trailing_slashes(path);
}

sys::Fd open_restore_dir(std::string_view dir, std::string_view mailbox) {
    const std::string path = absolute_dir(dir);
    if (sys::Fd again = same_as_last_trusted(path))
        return again;
    sys::OpenedDir opened;
    if (auto why = sys::open_trusted_dir(path, false, false, opened)) {
        if (mailbox.empty())
            msg("Error: the restore directory %s can't be trusted: %s", path.c_str(), why->c_str());
        else
            msg("Error: the restore directory %s can't be trusted: %s; mailbox %.*s is not imported", path.c_str(),
                why->c_str(), static_cast<int>(mailbox.size()), mailbox.data());
        return sys::Fd();
    }
    LastTrusted &last = last_trusted();
    last.path = path;
    last.dev = opened.st.st_dev;
    last.ino = opened.st.st_ino;
    last.fd.reset(::fcntl(opened.fd.get(), F_DUPFD_CLOEXEC, 3));
    return std::move(opened.fd);
}

void forget_checked_restore_dir() {
    last_trusted().fd.reset();
    last_trusted().path.clear();
}

void note_first_received(std::string_view path) {
    FirstReceived &f = first();
    f.dir = absolute_dir(directory_of(path));
    f.st.reset();
    sys::OpenedDir opened;
    if (!sys::open_trusted_dir(f.dir, false, false, opened))
        f.st = opened.st;
}

const struct stat *first_received_dir(std::string_view dir, bool &seen_untrusted) {
    FirstReceived &f = first();
    seen_untrusted = false;
    if (f.dir.empty() || f.dir != absolute_dir(dir))
        return nullptr;
    seen_untrusted = !f.st;
    return f.st ? &*f.st : nullptr;
}

} // namespace ark
