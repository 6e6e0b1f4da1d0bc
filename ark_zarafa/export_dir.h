// Where a backup exports: "<work dir>/zarafa/<name>", the name being the job
// name for FULL and INCR (the directory persists between the job's runs) and
// the save-set name, "/" and "." replaced by "_", for COPY.
#pragma once

#include <optional>
#include <string>

#include "ark_zarafa.h"

namespace ark {

// The last component of the export directory for the record's level.
std::string export_dir_name(const ARKZarafa &state);

// The export directory, with runs of "/" reduced to one.
std::string export_dir_path(const ARKZarafa &state);

// Why the export directory would leave "<work dir>/zarafa" (a "." or ".."
// component in the job name), or nothing.
std::optional<std::string> export_dir_escape(const ARKZarafa &state);

// Why the export directory can't be used (an empty name would be the parent
// of every job's exports; a ".." component would leave the work directory),
// or nothing when it can.
std::optional<std::string> export_dir_problem(const ARKZarafa &state);

} // namespace ark
