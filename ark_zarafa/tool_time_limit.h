// How long each tool may run: the option word "-t" followed by a number of
// seconds. Without it a tool runs as long as it takes. A tool past its limit
// is stopped with its process group, and what it worked on fails.
#pragma once

#include <optional>

#include "ark_zarafa.h"

namespace ark {

inline constexpr int kMaxToolSeconds = 7 * 24 * 3600;

// Reads "-t" from the option words: nothing when it is absent; false, after
// an "Error:", when its value is missing or not a number of seconds from 1
// to kMaxToolSeconds.
bool parse_tool_time_limit(const ARKZarafa &state, std::optional<int> &seconds);

} // namespace ark
