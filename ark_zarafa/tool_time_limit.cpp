#include "tool_time_limit.h"

#include <cstring>
#include <string_view>

#include "messages.h"

namespace ark {

bool parse_tool_time_limit(const ARKZarafa &state, std::optional<int> &seconds) {
    seconds.reset();
    for (int i = 0; i < state.iArgc; ++i) {
        if (!state.cpArgv[i] || std::strcmp(state.cpArgv[i], "-t") != 0)
            continue;
        const char *value = i + 1 < state.iArgc ? state.cpArgv[i + 1] : nullptr;
        if (!value) {
            msg("Error: -t option parameter not found: the tools' time limit in seconds is needed");
            return false;
        }
        const std::string_view text(value);
        long long limit = 0;
        bool number = !text.empty() && text.size() <= 7;
        for (char c : text) {
            number = number && c >= '0' && c <= '9';
            limit = limit * 10 + (c - '0');
        }
        if (!number || limit < 1 || limit > kMaxToolSeconds) {
            msg("Error: -t option parameter \"%.40s\" is not a number of seconds from 1 to %d", value,
                kMaxToolSeconds);
            return false;
        }
        seconds = static_cast<int>(limit);
        return true;
    }
    return true;
}

} // namespace ark
