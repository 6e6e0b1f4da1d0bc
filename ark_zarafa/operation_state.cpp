// The operation-state record: reset, control-variable parsing and release.
#include "operation_state.h"

#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include "ark_zarafa.h"
#include "baseline_journal.h"
#include "export_pipeline.h"
#include "job_lock.h"
#include "item_results.h"
#include "mailbox_files.h"
#include "c_buffer.h"
#include "export_listing.h"
#include "messages.h"
#include "restore_index.h"
#include "run_tool.h"
#include "worker_count.h"

extern "C" {
ARKZarafa g_sARKZarafa;
}

namespace ark {
namespace {

std::vector<std::string> g_refused;

void release_strings(char **array, int count, int capacity) {
    for (int i = 0; i < count && i < capacity; ++i) {
        std::free(array[i]);
        array[i] = nullptr;
    }
}

char *heap_copy(std::string_view text) {
    auto *copy = static_cast<char *>(std::malloc(text.size() + 1));
    if (copy) {
        std::memcpy(copy, text.data(), text.size());
        copy[text.size()] = '\0';
    }
    return copy;
}

// Split the "INFO=" value at every double quote, as a tokenizer does: runs of
// quotes count as one, and a piece that is exactly one blank (the separator
// between quoted words) is dropped.
void parse_option_words(ARKZarafa &state, std::string_view value) {
    release_strings(state.cpArgv, state.iArgc, ARK_MAX_ARGS);
    state.iArgc = 0;
    size_t pos = 0;
    bool warned = false;
    while (pos < value.size()) {
        size_t start = value.find_first_not_of('"', pos);
        if (start == std::string_view::npos)
            break;
        size_t end = value.find('"', start);
        if (end == std::string_view::npos)
            end = value.size();
        std::string_view word = value.substr(start, end - start);
        pos = end;
        if (word == " ")
            continue;
        if (state.iArgc >= ARK_MAX_ARGS) {
            if (!warned)
                msg("Warning: more than %d option words in INFO=, the rest is ignored", ARK_MAX_ARGS);
            warned = true;
            continue;
        }
        char *copy = heap_copy(word);
        if (!copy) {
            msg("Warning: out of memory while storing option word %d", state.iArgc + 1);
            continue;
        }
        state.cpArgv[state.iArgc++] = copy;
    }
}

void set_path_field(char (&field)[ARK_PATH_LEN], const char *key, std::string_view value) {
    if (copy_to(field, value))
        return;
    msg("Warning: value of %s is too long (%zu characters, at most %d), ignored", key, value.size(),
        ARK_PATH_LEN - 1);
    g_refused.push_back(std::string(key) + " value of " + std::to_string(value.size()) + " characters");
}

// The indexes kept beside the lists belong to one operation; the export
// listing's notification descriptor is closed with it; tools still running
// are stopped, and exports the host never acknowledged give their baselines
// back.
void release_item_indexes() {
    export_pipeline().stop_all();
    stop_restore_imports();
    baseline_journal().close();
    release_job_lock();
    restore_index().reset();
    export_listing().reset();
}

} // namespace

const std::vector<std::string> &refused_control_vars() { return g_refused; }

} // namespace ark

using namespace ark;

extern "C" void zarafa_global_struct_init(DB_OPERATION_TYPE eI_OperationType) {
    ARKZarafa &s = g_sARKZarafa;
    release_item_indexes();
    std::memset(s.cpLastProcessedUser, 0, sizeof s.cpLastProcessedUser);
    // Lists of an earlier operation that ended without a close (or a failed
    // set-up) are released here, so repeated operations do not leak.
    DestroyFIFOList(s.psUsers);
    DestroyFIFOList(s.psFileNames);
    s.psUsers = CreateFIFOList();
    s.psFileNames = CreateFIFOList();
    s.eI_OperationType = eI_OperationType;
    release_strings(s.cpArgv, s.iArgc, ARK_MAX_ARGS);
    release_strings(s.cppUsers, s.iTotalUsers, 10);
    release_strings(s.cpBackupSourceList, s.iTotalFileToBackup, 256);
    release_strings(s.cpUsersFromServer, s.iTotalUsersFromServer, 100);
    release_strings(s.cpIndexFileList, s.iTotalIndexFilesFound, 10);
    s.iArgc = s.iTotalUsers = s.iTotalFileToBackup = s.iTotalUsersFromServer = s.iTotalIndexFilesFound = 0;
    std::memset(s.cpArgv, 0, sizeof s.cpArgv);
    std::memset(s.cppUsers, 0, sizeof s.cppUsers);
    std::memset(s.cpBackupSourceList, 0, sizeof s.cpBackupSourceList);
    std::memset(s.cpUsersFromServer, 0, sizeof s.cpUsersFromServer);
    std::memset(s.cpIndexFileList, 0, sizeof s.cpIndexFileList);
    s.iBackupLevelCOPY = 1;
    s.iBackupLevelINCR = 0;
    s.iBackupLevelFULL = 0;
    s.iBackupLevelDIFF = 0;
    std::memset(s.cpJobName, 0, sizeof s.cpJobName);
    s.iIsSelectiveRestore = 0;
    std::memset(s.cpSelRstListFName, 0, sizeof s.cpSelRstListFName);
    s.iRecoveryAfterNoRecover = 0;
    g_refused.clear();
    set_worker_count(1);
    set_tool_time_limit(std::nullopt);
    remember_operation_mailboxes({});
}

extern "C" int zarafa_parse_db_args(ARKZarafa *spARKZarafa, char **cppI_CtrlVars) {
    msg("zarafa_parse_db_args(+)");
    if (!spARKZarafa || !cppI_CtrlVars || !cppI_CtrlVars[0])
        return DB_NUM_E_ERROR;
    for (char **entry = cppI_CtrlVars; *entry; ++entry) {
        const std::string_view text(*entry);
        msg("DB arg: %s", *entry);
        const size_t equals = text.find('=');
        if (equals == std::string_view::npos)
            continue;
        const std::string_view value = text.substr(equals + 1);
        auto contains = [&](const char *key) { return text.find(key) != std::string_view::npos; };
        if (contains("INFO="))
            parse_option_words(*spARKZarafa, value);
        else if (contains("SAVESET="))
            set_path_field(spARKZarafa->cpSavesetName, "SAVESET=", value);
        else if (contains("TMP_DIR="))
            set_path_field(spARKZarafa->cpTempDir, "TMP_DIR=", value);
        else if (contains("INI_DIR="))
            set_path_field(spARKZarafa->cpINIDir, "INI_DIR=", value);
        else if (contains("RECOVERY=") && value == "NO")
            spARKZarafa->iRecoveryAfterNoRecover = 1;
    }
    msg("zarafa_parse_db_args(-)");
    return DB_NUM_I_OK;
}

extern "C" void zarafa_global_struct_cleanup(void) {
    msg("zarafa_global_struct_cleanup(+)");
    ARKZarafa &s = g_sARKZarafa;
    release_strings(s.cpArgv, s.iArgc, ARK_MAX_ARGS);
    release_strings(s.cppUsers, s.iTotalUsers, 10);
    release_strings(s.cpBackupSourceList, s.iTotalFileToBackup, 256);
    release_strings(s.cpUsersFromServer, s.iTotalUsersFromServer, 100);
    release_strings(s.cpIndexFileList, s.iTotalIndexFilesFound, 10);
    release_item_indexes();
    msg("zarafa_global_struct_cleanup(-)");
}
