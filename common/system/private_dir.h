// Directories that only this account (or root) can change, and the files
// in them, reached by descriptor. A process that runs as root in a tree that
// others can reach decides on what it opened (fstat on the descriptor),
// never on a name it looks up again, follows no link that someone else could
// have planted, and never leaves the tree it was asked to work or remove in.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

#include "fd.h"

namespace ark::sys {

// How a relative path below a directory descriptor is resolved: openat2
// with RESOLVE_BENEATH | RESOLVE_NO_SYMLINKS where the kernel has it, else
// one O_NOFOLLOW component at a time. automatic probes the kernel once.
enum class Resolution { automatic, openat2, stepwise };
void set_resolution(Resolution resolution);
// openat2 or stepwise: what open_below uses now.
Resolution resolution_in_use();

// Opens rel below dirfd: components separated by "/", none of them "..",
// no symbolic link followed, and never a file outside dirfd. flags are
// open(2)'s; O_CLOEXEC and O_NOFOLLOW are always added. An empty Fd and ec
// on failure (ELOOP for a link, EXDEV for a "..").
Fd open_below(int dirfd, std::string_view rel, int flags, std::error_code &ec, mode_t mode = 0);

// Why st does not describe a trusted directory, or nothing when it does: a
// directory owned by the effective user or root that neither group nor
// others can write. With shared_ok a directory that others can write but
// whose sticky bit is set (as /tmp) is accepted as well.
std::optional<std::string> untrusted_directory(const struct stat &st, bool shared_ok);

// A directory opened and checked.
struct OpenedDir {
    Fd fd;
    struct stat st {};
    bool created = false;   // made by this call
    bool tightened = false; // its mode was narrowed to 0700
};

// Opens the directory name (one component) directly below parent without
// following a link, making it with mode 0700 when create is set and it is
// missing, and checks it: trusted, and not shared. A directory of the
// effective user that group or others could read or enter is narrowed to
// 0700 by descriptor. On failure, why (a text that names nothing but what
// is wrong: "is a symbolic link", "is owned by uid 65534", ...).
std::optional<std::string> open_private_dir(int parent, const std::string &name, bool create, OpenedDir &out);

// Opens the absolute path from "/" one component at a time and checks every
// directory on the way: each parent trusted or shared with the sticky bit,
// the last one trusted (or, with last_shared_ok, shared with the sticky
// bit). A symbolic link is followed only where nobody else could have made
// it: owned by the effective user or root, in a directory that nobody else
// can write. With create, missing components are made with mode 0700. On
// failure, the directory at fault and what is wrong with it, as
// "PATH is owned by uid 65534".
std::optional<std::string> open_trusted_dir(const std::string &path, bool create, bool last_shared_ok,
                                            OpenedDir &out);

// Creates name in dirfd as a new file (O_CREAT | O_EXCL | O_NOFOLLOW |
// O_NONBLOCK, so that nothing existing is taken over and a FIFO never
// blocks), with exactly mode, and checks that it is a regular file; the
// descriptor is open for writing and blocking again.
Fd create_new_file(int dirfd, const std::string &name, mode_t mode, std::error_code &ec);

// What is at name in dirfd, for messages: "a symbolic link", "a FIFO", "a
// directory", "a file of uid N", ... or nothing when it is a regular file
// of the effective user. Never follows a link.
std::optional<std::string> not_own_regular_file(int dirfd, const std::string &name);

// Narrows to 0700 (directories) or 0600 (files) the entries of dirfd, the
// directory itself included, that belong to the effective user and that
// group or others can read; links and others' files are left alone. The
// number narrowed.
size_t tighten_entries(int dirfd);

// Empties the directory dirfd, keeping the entries for which keep is true
// (in the directory itself only). Walks by descriptor, never follows a link,
// never crosses into another file system. The entries that could not be
// removed, as "RELATIVE/PATH: reason".
std::vector<std::string> empty_directory(int dirfd, const std::function<bool(std::string_view)> &keep = {});

// Removes the directory name in parent with everything below it, only when
// it is still the directory (device and inode) that expected describes.
// The entries that could not be removed, as for empty_directory; a name
// that is not that directory is reported and left alone.
std::vector<std::string> remove_tree(int parent, const std::string &name, const struct stat *expected);

} // namespace ark::sys
