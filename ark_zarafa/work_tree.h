// The private work tree of a backup: "<work dir>/zarafa" and the export
// directory below it, made by the plug-in with mode 0700, opened without
// following links and checked by descriptor (owned by the effective user or
// root, writable by nobody else). The work directory itself may be shared
// with the sticky bit, as /tmp is. The descriptors stay open for the
// operation: tools run in the export directory by descriptor, and the
// FULL's and COPY's clearing walks it by descriptor.
#pragma once

#include <string>

#include "ark_zarafa.h"

namespace ark {

// Opens, making what is missing, and checks the work tree of the record's
// backup. False after an "Error:" that names the directory at fault and
// what is wrong with it. Files and directories of the effective user that
// an earlier version left readable by others are narrowed, with one
// "Warning:".
bool open_work_tree(const ARKZarafa &state);

// Makes sure the open export directory is still the one its path leads
// to; one that was replaced while the backup ran (by a tool, say) is opened
// and checked again, with a "Warning:", and *reopened says so. False after
// an "Error:".
bool ensure_work_tree(const ARKZarafa &state, bool *reopened = nullptr);

// Closes the descriptors (at the close, and before a new set-up).
void close_work_tree();

// The descriptors of "<work dir>/zarafa" and of the export directory, or
// -1 when the tree is not open.
int zarafa_dir_fd();
int export_dir_fd();

// The export directory's path, as opened.
const std::string &work_tree_export_path();

// The FULL's and COPY's clearing of the previous export: empties the export
// directory, keeping the directory itself and the job marker
// ".ark_zarafa.job". False after an "Error:" that names what could not be
// removed: the backup must not export on top of old files.
bool clear_previous_export(const ARKZarafa &state);

} // namespace ark
