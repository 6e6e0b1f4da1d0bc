// Backup level and job name, taken from the option words of the record.
#include "backup_levels.h"

#include <strings.h>

#include <cstring>

#include "c_buffer.h"
#include "messages.h"

using ark::msg;

namespace {

// DIFF sets the INCR flag, as everything that only asks "a level that
// keeps a baseline?" expects, and its own flag for where its exports start.
bool set_level(ARKZarafa &state, const char *word) {
    const bool full = strcasecmp(word, "FULL") == 0;
    const bool incr = strcasecmp(word, "INCR") == 0;
    const bool diff = strcasecmp(word, "DIFF") == 0;
    const bool copy = strcasecmp(word, "COPY") == 0;
    if (!full && !incr && !diff && !copy)
        return false;
    state.iBackupLevelFULL = full;
    state.iBackupLevelINCR = incr || diff;
    state.iBackupLevelDIFF = diff;
    state.iBackupLevelCOPY = copy;
    return true;
}

} // namespace

extern "C" int setup_backup_level(ARKZarafa *sZarafaStruct) {
    msg("setup_backup_level(+)");
    if (!sZarafaStruct) {
        msg("Warning: incorrect argument");
        return 0;
    }
    ARKZarafa &state = *sZarafaStruct;
    const int count = state.iArgc < ARK_MAX_ARGS ? state.iArgc : ARK_MAX_ARGS;
    // Each word is examined in turn, values included: "-j -l FULL" names the
    // job "-l" and then sets FULL.
    for (int i = 0; i < count; ++i) {
        const char *word = state.cpArgv[i];
        if (!word)
            continue;
        const char *value = (i + 1 < count) ? state.cpArgv[i + 1] : nullptr;
        if (std::strcmp(word, "-j") == 0) {
            if (!value) {
                msg("Warning: -j option parameter not found");
                return 0;
            }
            if (std::strlen(value) > 100 || !ark::copy_to(state.cpJobName, value)) {
                msg("Warning: value is too long");
                return 0;
            }
        } else if (std::strcmp(word, "-l") == 0) {
            if (!value) {
                msg("Warning: -l option parameter not found");
                return 0;
            }
            msg("Backup Level=%s", value);
            if (!set_level(state, value)) {
                msg("Warning: backup level type unknown");
                return 0;
            }
        }
    }
    msg("setup_backup_level(-)");
    return 1;
}

extern "C" void print_backup_level(ARKZarafa *psZarafaStruct) {
    msg("print_backup_level(+)\n");
    if (!psZarafaStruct) {
        msg("Incorrect parameter\n");
        return;
    }
    const ARKZarafa &s = *psZarafaStruct;
    if (s.iBackupLevelCOPY && !s.iBackupLevelFULL && !s.iBackupLevelINCR)
        msg("Backup level=COPY\n");
    else if (s.iBackupLevelINCR && !s.iBackupLevelFULL && !s.iBackupLevelCOPY)
        msg("Backup level=INCR\n");
    else if (s.iBackupLevelFULL && !s.iBackupLevelINCR && !s.iBackupLevelCOPY)
        msg("Backup level=FULL\n");
    else
        msg("Error: Incorrect backup level\n");
    msg("print_backup_level(-)\n");
}
