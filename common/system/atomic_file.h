// Durable file replacement: a hidden temporary file beside the target is
// written and synced, renamed over the target, and the directory is synced,
// so that a crash at any point leaves the old file or the new one, never a
// half of either.
#pragma once

#include <filesystem>
#include <string>
#include <string_view>
#include <system_error>

#include "fd.h"

namespace ark::sys {

namespace fs = std::filesystem;

// The temporary name used beside target: a hidden name (leading "."), so
// that directory scans that skip hidden entries never hand it out.
fs::path temporary_sibling(const fs::path &target);

// Makes the entries of dir (a rename, a new or removed name) durable.
std::error_code sync_directory(const fs::path &dir) noexcept;

// When a replacement reaches the disk. durable: commit() syncs the file and
// its directory. deferred: commit() only renames, for a caller that makes a
// whole directory durable later with one sync of its file system, or whose
// file may come back as the old one after a crash.
enum class Sync { durable, deferred };

// A replacement of target written in steps: the temporary file is opened at
// once and written as the caller goes; commit() syncs it, renames it over
// target and syncs the directory. Dropped without a commit, the temporary
// file is removed and target stays as it was. A target that exists and is
// neither a regular file nor a symbolic link (a device, a FIFO) can't be
// replaced: it is written in place without blocking on it, and commit()
// only closes it. The temporary name is always created new (O_EXCL,
// O_NOFOLLOW, O_NONBLOCK): a leftover regular file there is removed first,
// and a link, FIFO or anything else planted there makes the replacement
// fail instead of being followed or waited on.
class FileReplacement {
public:
    explicit FileReplacement(fs::path target, unsigned mode = 0600, Sync sync = Sync::durable);
    ~FileReplacement();
    FileReplacement(const FileReplacement &) = delete;
    FileReplacement &operator=(const FileReplacement &) = delete;

    // Why the file could not be opened; write and commit then fail with it.
    std::error_code error() const { return error_; }
    std::error_code write(std::string_view text);
    std::error_code commit();
    // The open file, for what write() does not cover (its mode, say).
    int fd() const { return out_.get(); }

private:
    fs::path target_, temp_;
    Fd out_;
    bool in_place_ = false;
    bool done_ = false;
    Sync sync_ = Sync::durable;
    std::error_code error_;
};

// Replaces target with text. mode applies to a newly created file. A
// symbolic link at the temporary name is never followed.
std::error_code replace_file(const fs::path &target, std::string_view text, unsigned mode = 0600);

// Replaces target with a copy of source, streamed, never held in memory;
// the copy keeps the owner's bits of the source's mode only.
std::error_code copy_file_durably(const fs::path &source, const fs::path &target);
// The same, synced as sync says.
std::error_code copy_file(const fs::path &source, const fs::path &target, Sync sync);

// Renames from onto to and syncs the directory of to.
std::error_code rename_durably(const fs::path &from, const fs::path &to) noexcept;

// Removes path (absent counts as removed) and syncs its directory.
std::error_code remove_durably(const fs::path &path) noexcept;

} // namespace ark::sys
