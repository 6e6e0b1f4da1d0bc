// Removal of the directory into which the host wrote the restored files.
#include <sys/stat.h>

#include <cstring>
#include <string>
#include <vector>

#include "fifo_strings.h"
#include "mailbox_files.h"
#include "messages.h"
#include "run_tool.h"
#include "utils.h"

using ark::msg;

namespace {

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

    // A directory whose name begins with "-" must reach rm as a path, not as
    // options.
    const std::string target = directory.front() == '-' ? "./" + directory : directory;
    const std::vector<std::string> argv = {"rm", "-R", target};
    const std::string command = ark::command_text(argv);
    ark::log_msg("Executing [%s]", command.c_str());
    const ark::ToolRun run = ark::run_tool(argv);
    if (!run.started)
        msg("Warning: Can't execute [%s]", command.c_str());
    else
        ark::warn_if_failed(argv, run);
    msg("cleanup_after_restore(-)");
    return 1;
}
