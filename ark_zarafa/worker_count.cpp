#include "worker_count.h"

#include <cstring>
#include <string_view>

#include "messages.h"

namespace ark {

namespace {

int g_workers = 1;

} // namespace

int parse_worker_count(const ARKZarafa &state) {
    for (int i = 0; i < state.iArgc; ++i) {
        if (!state.cpArgv[i] || std::strcmp(state.cpArgv[i], "-w") != 0)
            continue;
        const char *value = i + 1 < state.iArgc ? state.cpArgv[i + 1] : nullptr;
        if (!value) {
            msg("Warning: -w option parameter not found, tools run one at a time");
            return 1;
        }
        const std::string_view text(value);
        int workers = 0;
        bool number = !text.empty() && text.size() <= 2;
        for (char c : text) {
            number = number && c >= '0' && c <= '9';
            workers = workers * 10 + (c - '0');
        }
        if (!number || workers < 1 || workers > kMaxWorkers) {
            msg("Warning: -w option parameter \"%.40s\" is not a number from 1 to %d, tools run one at a time", value,
                kMaxWorkers);
            return 1;
        }
        return workers;
    }
    return 1;
}

int worker_count() { return g_workers; }

void set_worker_count(int workers) { g_workers = workers < 1 ? 1 : workers; }

} // namespace ark
