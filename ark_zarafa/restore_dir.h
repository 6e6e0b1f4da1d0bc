// The directory that received a mailbox's restored files. Before the
// plug-in writes a script into it, imports from it or removes it, the
// directory and each of its parents are checked by descriptor (the
// directory owned by the effective user or root and writable by nobody
// else; a parent may also be shared with the sticky bit, as /tmp is), and
// what runs there runs in the directory that was checked.
#pragma once

#include <sys/stat.h>

#include <memory>
#include <string>
#include <string_view>

#include "system/fd.h"

namespace ark {

// The directory dir (absolute, or relative to the working directory),
// opened and checked; an empty Fd after an "Error:" that names the
// directory at fault and what is wrong with it (and the mailbox, when one
// is given, as not imported).
sys::Fd open_restore_dir(std::string_view dir, std::string_view mailbox = {});

// Drops what open_restore_dir remembers of the directory it checked last:
// each operation checks its restore directories afresh.
void forget_checked_restore_dir();

// dir made absolute against the working directory.
std::string absolute_dir(std::string_view dir);

// Remembers the directory of the first received file as it is now (device
// and inode), for the clean-up at the close.
void note_first_received(std::string_view path);

// What note_first_received saw of dir: its status, or nothing when dir is
// not the noted directory; seen_untrusted tells a noted directory that
// could not be opened and checked then.
const struct stat *first_received_dir(std::string_view dir, bool &seen_untrusted);

} // namespace ark
