// Which export directory belongs to a job. FULL, INCR and DIFF keep their
// baselines in the job's export directory between runs, so they need a job
// name, and they mark the directory as the job's with a file holding that
// name. A COPY exports into a directory named after its save set and empties
// it as it goes: it must never be a job's.
//
// The marker is reached below the work tree's descriptor of the export
// directory, never by its path: it is read without following a link or
// blocking on a FIFO, trusted only as a regular file of the effective user
// with no other name, and replaced by a new file renamed over it.
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

// At set-up, once the export directory is open and locked: FULL, INCR and
// DIFF write the marker (0600, the job name and a newline); a COPY whose
// directory holds a job's marker or DIFF baselines fails after an "Error:"
// naming the job, with nothing removed. An entry at the marker's name that
// can't be trusted fails either after an "Error:" naming it.
bool claim_export_dir(const ARKZarafa &state);

// Writes the marker of a FULL, INCR or DIFF into its open export directory,
// unless it is there already; false after an "Error:".
bool mark_job_dir(const ARKZarafa &state);

// What stands at the marker's name in the directory dirfd.
struct JobMarker {
    // The job it names; nothing when there is no marker, or none to trust.
    std::optional<std::string> job;
    // Why the entry there is not a marker to trust ("is a symbolic link",
    // "is owned by uid 65534", "has 2 names", ...), or nothing.
    std::optional<std::string> problem;
};
JobMarker read_job_marker(int dirfd);

} // namespace ark
