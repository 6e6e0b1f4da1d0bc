// The set-up of a selective restore: finds the list file named by a
// requested "user@list-file" entry, and makes sure nobody but this account
// or root could have written it or could change it before it is read.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>

#include "ark_zarafa.h"
#include "c_buffer.h"
#include "cm_common.h"
#include "fifo_strings.h"
#include "messages.h"
#include "system/fd.h"
#include "system/private_dir.h"
#include "utils.h"

using ark::msg;

namespace {

constexpr size_t kMaxListFileName = ARK_PATH_LEN - 1;

// The first requested entry that refers to a list file, if any.
bool find_reference(const LIST_INFO *users, std::string &entry) {
    for (const LIST_ITEM *item = users->spFirstItem; item; item = item->spNextItem) {
        const std::string_view name = ark::item_text(item);
        if (name.find('@') != std::string_view::npos) {
            entry = name;
            return true;
        }
    }
    return false;
}

std::string octal_mode(mode_t mode) {
    std::string text(5, '\0');
    text.resize(static_cast<size_t>(std::snprintf(text.data(), text.size(), "%04o", mode & 07777U)));
    return text;
}

// Why the list file at path (absolute, single slashes) can't be trusted, or
// nothing: each directory on the way is checked as a restore directory's
// parents are (owned by this account or root, writable by nobody else unless
// shared with the sticky bit), and the file itself, opened below the last one
// without following a link or blocking on a FIFO, must be a regular file of
// this account or root, with one name, that neither group nor others can
// write. What passes can be changed by nobody else, so reading it again by
// its path reads this file.
std::optional<std::string> untrusted_list_file(const std::string &path) {
    const size_t slash = path.rfind('/');
    if (slash == std::string::npos)
        return path + " is not an absolute path";
    const std::string dir = slash == 0 ? "/" : path.substr(0, slash);
    const std::string name = path.substr(slash + 1);
    ark::sys::OpenedDir parent;
    if (auto why = ark::sys::open_trusted_dir(dir, false, true, parent))
        return why;
    struct stat named {};
    if (::fstatat(parent.fd.get(), name.c_str(), &named, AT_SYMLINK_NOFOLLOW) != 0)
        return path + " can't be reached: " + std::strerror(errno);
    // Only a regular file is opened: opening a device can act on it.
    if (S_ISLNK(named.st_mode))
        return path + " is a symbolic link";
    if (S_ISFIFO(named.st_mode))
        return path + " is a FIFO";
    if (!S_ISREG(named.st_mode))
        return path + " is not a regular file";
    std::error_code ec;
    const ark::sys::Fd fd = ark::sys::open_below(parent.fd.get(), name, O_RDONLY | O_NONBLOCK | O_NOCTTY, ec);
    if (!fd)
        return path + (ec == std::errc::too_many_symbolic_link_levels ? std::string(" is a symbolic link")
                                                                       : " can't be opened: " + ec.message());
    struct stat st {};
    if (::fstat(fd.get(), &st) != 0)
        return path + " can't be examined: " + std::strerror(errno);
    if (!S_ISREG(st.st_mode))
        return path + " is not a regular file";
    if (st.st_uid != ::geteuid() && st.st_uid != 0)
        return path + " is owned by uid " + std::to_string(st.st_uid) + ", not by uid " +
               std::to_string(::geteuid()) + " or root";
    if (st.st_mode & (S_IWGRP | S_IWOTH))
        return path + " is writable by group or others (mode " + octal_mode(st.st_mode) + ")";
    if (st.st_nlink != 1)
        return path + " has " + std::to_string(st.st_nlink) + " names";
    return std::nullopt;
}

} // namespace

extern "C" int InitSelectiveRestore(LIST_INFO *spUsers, ARKZarafa *psZarafaStruct) {
    msg("init_selective_restore(+)");
    if (!psZarafaStruct || !spUsers) {
        msg("Error: wrong parameter value");
        return 0;
    }
    std::string entry;
    if (!find_reference(spUsers, entry)) {
        msg("init_selective_restore(-)");
        return 1;
    }
    const std::string name = entry.substr(entry.find('@') + 1);
    msg("Check for SEL file: %s", name.c_str());
    if (name.size() > kMaxListFileName) {
        msg("Error: list file name too long");
        return 0;
    }
    if (name.empty()) {
        msg("Error: no list file named after \"@\" in %s", entry.c_str());
        return 0;
    }

    std::string path;
    if (name.front() == '/') {
        path = name;
    } else {
        path = std::string(ark::view_of(psZarafaStruct->cpTempDir)) + "/" + name;
        msg("Search SEL file in work dir: %s", path.c_str());
    }
    squeeze(path.data(), '/');
    path.resize(std::strlen(path.c_str()));
    // The status by name only chooses the message; what is trusted is what
    // the checked descriptor shows.
    struct stat status{};
    if (::stat(path.c_str(), &status) != 0) {
        msg("Error: file %s doesn't exist", name.c_str());
        return 0;
    }
    if (S_ISDIR(status.st_mode)) {
        msg("Error: list file %s is a directory", path.c_str());
        return 0;
    }
    if (auto why = untrusted_list_file(path)) {
        msg("Error: the list file %s can't be trusted: %s; the restore does not read it", path.c_str(),
            why->c_str());
        return 0;
    }
    if (!ark::copy_to(psZarafaStruct->cpSelRstListFName, path)) {
        msg("Error: path of list file %s is too long (%zu characters, at most %zu)", path.c_str(), path.size(),
            kMaxListFileName);
        return 0;
    }
    psZarafaStruct->iIsSelectiveRestore = 1;
    msg("init_selective_restore(-)");
    return 1;
}
