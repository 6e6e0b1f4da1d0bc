// The job name that a level keeping a baseline needs.
#include "job_marker.h"

#include <string_view>

#include "c_buffer.h"
#include "messages.h"

namespace ark {

namespace {

const char *level_word(const ARKZarafa &state) {
    if (state.iBackupLevelFULL)
        return "FULL";
    return state.iBackupLevelDIFF ? "DIFF" : "INCR";
}

} // namespace

bool job_name_given(const ARKZarafa &state) {
    if (!state.iBackupLevelFULL && !state.iBackupLevelINCR)
        return true;
    // A name of slashes only names no directory of its own either.
    if (view_of(state.cpJobName).find_first_not_of('/') != std::string_view::npos)
        return true;
    msg("Error: a job name is needed for a %s backup: give it with the option word \"-j NAME\"; the job's export "
        "directory keeps what its next backups build on",
        level_word(state));
    return false;
}

} // namespace ark
