// Removal of the directory into which the host wrote the restored files.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include <cstring>
#include <string>
#include <vector>

#include "fifo_strings.h"
#include "mailbox_files.h"
#include "messages.h"
#include "restore_dir.h"
#include "run_tool.h"
#include "system/private_dir.h"
#include "utils.h"

using ark::msg;

namespace {

// What the removal could not take.
std::vector<std::string> g_not_removed;

std::string parent_of(const std::string &dir) {
    const size_t slash = dir.rfind('/');
    return slash == 0 || slash == std::string::npos ? "/" : dir.substr(0, slash);
}

// Removes the directory that received the first file, as the plug-in first
// saw it, through a checked parent, and only when it is a directory that
// nobody else can change. False after an "Error:": nothing was removed.
bool remove_received_directory(const std::string &directory) {
    g_not_removed.clear();
    const std::string dir = ark::absolute_dir(directory);
    const std::string parent = parent_of(dir);
    const std::string name = dir.substr(dir.rfind('/') + 1);
    ark::sys::OpenedDir above;
    if (auto why = ark::sys::open_trusted_dir(parent, false, true, above)) {
        msg("Error: the restore directory %s is not removed: %s", dir.c_str(), why->c_str());
        return false;
    }
    ark::sys::Fd fd(::openat(above.fd.get(), name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    struct stat st{};
    if (!fd || ::fstat(fd.get(), &st) != 0) {
        msg("Error: the restore directory %s is not removed: it can't be opened as a directory without following a "
            "link: %s",
            dir.c_str(), std::strerror(errno));
        return false;
    }
    if (auto why = ark::sys::untrusted_directory(st, false)) {
        msg("Error: the restore directory %s is not removed: it %s", dir.c_str(), why->c_str());
        return false;
    }
    bool seen_untrusted = false;
    const struct stat *seen = ark::first_received_dir(dir, seen_untrusted);
    if (seen_untrusted) {
        msg("Error: the restore directory %s is not removed: it could not be trusted when the first file was received",
            dir.c_str());
        return false;
    }
    if (seen && (seen->st_dev != st.st_dev || seen->st_ino != st.st_ino)) {
        msg("Error: the restore directory %s is not removed: it is no longer the directory that received the first "
            "file",
            dir.c_str());
        return false;
    }
    g_not_removed = ark::sys::empty_directory(fd.get());
    if (g_not_removed.empty() && ::unlinkat(above.fd.get(), name.c_str(), AT_REMOVEDIR) != 0)
        g_not_removed.push_back(name + ": " + std::strerror(errno));
    return true;
}

bool is_root_directory(const struct stat &status) {
    struct stat root{};
    return ::stat("/", &root) == 0 && root.st_dev == status.st_dev && root.st_ino == status.st_ino;
}

} // namespace

extern "C" int cleanup_after_restore(LIST_INFO *spFileList, const char *ccpUser) {
    msg("cleanup_after_restore(+)");
    if (!spFileList) {
        msg("Warning: File list is incorrect");
        return 0;
    }
    if (spFileList->iItemCount == 0 || !spFileList->spFirstItem) {
        msg("Warning: File list is empty");
        return 0;
    }
    if (ccpUser) {
        msg("cleanup_after_restore(-)");
        return 1;
    }
    std::string path;
    if (!ark::pull_string(spFileList, path)) {
        msg("Warning: Can't pull file name");
        return 0;
    }
    const std::string_view parent = ark::directory_of(path);
    if (parent.empty()) {
        msg("Warning: Incorrect directory path");
        return 0;
    }
    const std::string directory(parent.substr(0, parent.size() - 1));
    if (directory.empty()) {
        msg("Warning: refusing to remove the root directory, which received %s", path.c_str());
        return 0;
    }

    ark::log_msg("Trying to perform stat() on %s ...", directory.c_str());
    struct stat status{};
    if (::stat(directory.c_str(), &status) != 0) {
        msg("Warning: Can't access [%s]", directory.c_str());
        return 0;
    }
    if (is_root_directory(status)) {
        msg("Warning: refusing to remove the root directory [%s]", directory.c_str());
        return 0;
    }

    // The message shows the removal as the command it stands for; the
    // removal itself walks the tree by descriptor.
    const std::string target = directory.front() == '-' ? "./" + directory : directory;
    const std::string command = ark::command_text({"rm", "-R", target});
    if (!remove_received_directory(directory))
        return 0;
    ark::log_msg("Executing [%s]", command.c_str());
    for (const std::string &entry : g_not_removed)
        msg("Warning: can't remove %s/%s", parent_of(ark::absolute_dir(directory)).c_str(), entry.c_str());
    msg("cleanup_after_restore(-)");
    return 1;
}
