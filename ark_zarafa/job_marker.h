// Which export directory belongs to a job. FULL, INCR and DIFF keep their
// baselines in the job's export directory between runs, so they need a job
// name.
#pragma once

#include "ark_zarafa.h"

namespace ark {

// False, after an "Error:", when the level keeps a baseline (FULL, INCR,
// DIFF) and no job name was given.
bool job_name_given(const ARKZarafa &state);

} // namespace ark
