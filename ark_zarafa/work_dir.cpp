// The working-directory slot of the restore side: entering a directory,
// returning to it, and checking that a path exists.
#include "work_dir.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "c_buffer.h"
#include "messages.h"
#include "utils.h"

using ark::msg;

extern "C" {
char g_cpPushPopDirBuf[256];
}

namespace ark {

bool push_dir(const char *dir) {
    msg("utils_push_dir(+)");
    if (!dir) {
        msg("Error: Incorrect parameter");
        return false;
    }
    // The slot must name the directory actually entered, so a directory
    // that it cannot hold is not entered at all.
    if (std::strlen(dir) >= sizeof g_cpPushPopDirBuf) {
        msg("Error: directory path of %zu characters is too long (at most %zu)", std::strlen(dir),
            sizeof g_cpPushPopDirBuf - 1);
        msg("Error: Can't change dir to [%s]", dir);
        msg("utils_push_dir(-)");
        return false;
    }
    const bool entered = ::chdir(dir) == 0;
    if (!entered) {
        msg("Error: can't enter %s: %s", dir, std::strerror(errno));
        msg("Error: Can't change dir to [%s]", dir);
    } else {
        copy_to(g_cpPushPopDirBuf, dir);
        msg("Current directory changed to [%s]", g_cpPushPopDirBuf);
    }
    msg("utils_push_dir(-)");
    return entered;
}

WorkingDir::WorkingDir(const std::string &dir, Side side) : side_(side) {
    if (side_ == Side::restore) {
        entered_ = push_dir(dir.c_str());
        return;
    }
    entered_ = ::chdir(dir.c_str()) == 0;
    if (!entered_)
        error_ = errno;
}

WorkingDir::WorkingDir(int dirfd) : side_(Side::backup) {
    entered_ = ::fchdir(dirfd) == 0;
    if (!entered_)
        error_ = errno;
}

WorkingDir::~WorkingDir() {
    if (side_ == Side::restore) {
        utils_pop_dir();
        return;
    }
    if (::chdir("/") != 0)
        msg("Warning: can't change the working directory to /");
}

} // namespace ark

extern "C" void utils_push_dir(const char *ccpDir) { ark::push_dir(ccpDir); }

extern "C" void utils_pop_dir(void) {
    // The slot holds the directory last entered, not the one before it; when
    // it cannot be entered the caller simply stays where it is.
    [[maybe_unused]] const int result = ::chdir(g_cpPushPopDirBuf);
}

extern "C" int utils_path_exists(const char *ccpPath) {
    msg("utils_path_exists(+)");
    if (!ccpPath)
        return 0;
    msg("Checking path=%s", ccpPath);
    struct stat status{};
    if (::stat(ccpPath, &status) != 0)
        return 0;
    msg("utils_path_exists(-)");
    return 1;
}
