// The full-restore script's writer, for the restore item loop: what
// utils_generate_full_rst_script does, handing back the checked directory
// the script was written into, so that it runs there and nowhere else.
#pragma once

#include <string>

#include "system/fd.h"

namespace ark {

// 1 with the script's file name and the restore directory's descriptor, or
// 0 after an "Error:".
// refused, when given, tells a directory that failed its check.
int write_full_script(const char *ccpPath, const char *ccpUserName, std::string &script_name, sys::Fd &dirfd,
                      bool *refused = nullptr);

} // namespace ark
