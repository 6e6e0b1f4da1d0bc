// Checking restore directories, and what the clean-up needs to know of the
// first one.
#include "restore_dir.h"

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
    sys::OpenedDir opened;
    if (auto why = sys::open_trusted_dir(path, false, false, opened)) {
        if (mailbox.empty())
            msg("Error: the restore directory %s can't be trusted: %s", path.c_str(), why->c_str());
        else
            msg("Error: the restore directory %s can't be trusted: %s; mailbox %.*s is not imported", path.c_str(),
                why->c_str(), static_cast<int>(mailbox.size()), mailbox.data());
        return sys::Fd();
    }
    return std::move(opened.fd);
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
