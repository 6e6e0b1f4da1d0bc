// How many tool processes an operation may run at once: the option word
// "-w" followed by a number from 1 to 64. One, the default, runs every tool
// to its end before the entry point returns, as the interface describes;
// more let exports run ahead of delivery and imports run while the host
// goes on writing files.
#pragma once

#include "ark_zarafa.h"

namespace ark {

inline constexpr int kMaxWorkers = 64;

// Reads "-w" from the option words; a missing, non-numeric or out-of-range
// value draws a "Warning:" and gives 1.
int parse_worker_count(const ARKZarafa &state);

// The count of the current operation, set by DB_InitOperation.
int worker_count();
void set_worker_count(int workers);

} // namespace ark
