// Which export directory belongs to a job. FULL, INCR and DIFF keep their
// baselines in the job's export directory between runs, so they need a job
// name, and they mark the directory as the job's with a file holding that
// name. A COPY exports into a directory named after its save set and empties
// it as it goes: it must never be a job's.
#pragma once

#include <optional>
#include <string>

#include "ark_zarafa.h"

namespace ark {

// The marker's name in the export directory; hidden, so never handed out.
constexpr const char *kJobMarker = ".ark_zarafa.job";

// False, after an "Error:", when the level keeps a baseline (FULL, INCR,
// DIFF) and no job name was given.
bool job_name_given(const ARKZarafa &state);

// At set-up, once the export directory is known to be usable: FULL, INCR
// and DIFF write the marker (0600, the job name and a newline); a COPY whose
// directory holds a job's marker or DIFF baselines fails after an "Error:"
// naming the job, with nothing removed.
bool claim_export_dir(const ARKZarafa &state);

// Writes the marker of a FULL, INCR or DIFF into its export directory,
// making the directory, unless it is there already; false after an
// "Error:".
bool mark_job_dir(const ARKZarafa &state);

// The job named by the marker in dir, if there is one.
std::optional<std::string> marked_job(const std::string &dir);

} // namespace ark
