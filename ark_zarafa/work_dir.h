// The process's working directory, in one place.
//
// The plug-in runs its tools in the directory they work in. Where the
// process itself is afterwards is part of what a host sees:
// - backup: after every export the process is in "/", whatever happened;
// - restore: directories are entered through the slot g_cpPushPopDirBuf
//   (utils_push_dir), and "returning" (utils_pop_dir) enters the slot's
//   directory again, which is the directory last entered, not the one
//   before it. So after restore-side work the process stays in the
//   directory it last entered; when entering fails, the slot keeps its
//   earlier directory and returning goes there.
// WorkingDir is the one guard for both: it enters a directory and, on every
// path out of its scope, goes where its side says.
#pragma once

#include <string>

namespace ark {

// What utils_push_dir does, telling whether the directory was entered: a
// caller about to write or run something there must not go on elsewhere.
bool push_dir(const char *dir);

class WorkingDir {
public:
    enum class Side {
        backup,  // entered quietly; the scope ends in "/"
        restore, // entered through the slot; the scope ends with utils_pop_dir
    };
    WorkingDir(const std::string &dir, Side side);
    // The backup side, entering a directory that was opened and checked.
    explicit WorkingDir(int dirfd);
    ~WorkingDir();
    WorkingDir(const WorkingDir &) = delete;
    WorkingDir &operator=(const WorkingDir &) = delete;

    bool entered() const { return entered_; }
    // The error number of a failed entry (backup side).
    int error() const { return error_; }

private:
    Side side_;
    bool entered_ = false;
    int error_ = 0;
};

} // namespace ark
