// Operation set-up and close: DB_InitOperation and DB_CloseOperation.
#include <cstring>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>
#include <unordered_map>
#include <unordered_set>

#include "ark_zarafa.h"
#include "backup_levels.h"
#include "baseline_journal.h"
#include "c_buffer.h"
#include "export_dir.h"
#include "export_pipeline.h"
#include "fifo_strings.h"
#include "item_results.h"
#include "job_lock.h"
#include "job_marker.h"
#include "mailbox_files.h"
#include "messages.h"
#include "operation_state.h"
#include "restore_dir.h"
#include "restore_script.h"
#include "run_tool.h"
#include "tool_time_limit.h"
#include "utils.h"
#include "work_tree.h"
#include "worker_count.h"
#include "zarafa_index_utils.h"

using ark::msg;

namespace {

namespace fs = std::filesystem;

struct ListDeleter {
    void operator()(LIST_INFO *list) const { DestroyFIFOList(list); }
};
using ListPtr = std::unique_ptr<LIST_INFO, ListDeleter>;

int fail(const char *text) {
    msg("%s", text);
    return DB_NUM_E_ERROR;
}

// The work directory must be absolute: item names are made relative to "/"
// by dropping the first character, and the process's working directory
// moves during an operation.
bool work_dir_acceptable(const ARKZarafa &state) {
    const std::string_view dir = ark::view_of(state.cpTempDir);
    if (!dir.empty() && dir.front() != '/') {
        msg("Error: the work directory TMP_DIR=%s is not an absolute path", state.cpTempDir);
        return false;
    }
    return true;
}

// Replace the requested names by the distinct users of the selective-restore
// list, in first-seen order.
int prepare_selective_restore(ListPtr &cmdline) {
    ARKZarafa &state = g_sARKZarafa;
    msg("Selective restore found. List file=%s", state.cpSelRstListFName);
    DestroyFIFOList(state.psSelRestList);
    state.psSelRestList = CreateFIFOList();
    if (!parse_list_file(state.cpSelRstListFName, state.psSelRestList)) {
        msg("Error: Can't parse list file=%s", state.cpSelRstListFName);
        return DB_NUM_E_ERROR;
    }
    if (!state.psSelRestList || state.psSelRestList->iItemCount == 0)
        return fail("Error: Can't prepare selected restore list");
    cmdline.reset(CreateFIFOList());
    if (!cmdline)
        return fail("Error: Can't prepare user list for selective restore.");
    // One lookup per record, however many users the list file names.
    std::unordered_set<std::string> seen;
    for (const LIST_ITEM *item = state.psSelRestList->spFirstItem; item; item = item->spNextItem) {
        const auto *record = static_cast<const tSelRestItem *>(item->vpData);
        const std::string name(ark::view_of(record->cpUserName));
        if (!seen.insert(name).second)
            continue;
        if (!ark::push_string(cmdline.get(), name))
            return fail("Error: Can't store username to list");
    }
    return DB_NUM_I_OK;
}

} // namespace

namespace {

int init_operation(DB_OPERATION_TYPE eI_OperationType, char **cppI_CtrlVars) {
    msg("DB_InitOperation (+)");
    zarafa_global_struct_init(eI_OperationType);
    ark::forget_checked_restore_dir();
    zarafa_parse_db_args(&g_sARKZarafa, cppI_CtrlVars);
    ARKZarafa &state = g_sARKZarafa;

    // A value that did not fit the record would leave a stale or empty path
    // in its place: run with nothing rather than with the wrong directory.
    if (!ark::refused_control_vars().empty()) {
        msg("Error: Can't accept control variable %s", ark::refused_control_vars().front().c_str());
        return DB_NUM_E_ERROR;
    }
    if (!work_dir_acceptable(state))
        return DB_NUM_E_ERROR;
    ark::set_worker_count(ark::parse_worker_count(state));
    std::optional<int> time_limit;
    if (!ark::parse_tool_time_limit(state, time_limit))
        return DB_NUM_E_ERROR;
    ark::set_tool_time_limit(time_limit);

    const bool backup = eI_OperationType == DB_TYPE_BCK;
    const bool restore = eI_OperationType == DB_TYPE_RST;
    if (backup) {
        msg("Setting up backup level ...");
        if (!setup_backup_level(&state))
            return fail("Error: Can't setup backup level");
        print_backup_level(&state);
        if (!ark::job_name_given(state))
            return DB_NUM_E_ERROR;
        if (auto escape = ark::export_dir_escape(state)) {
            msg("Error: Can't use the export directory: %s", escape->c_str());
            return DB_NUM_E_ERROR;
        }
    }

    msg("Fetching users from server ...");
    ListPtr server(CreateFIFOList());
    if (!GetUsersFromServer(server.get()))
        return fail("Error: Can't build userlist from server");

    msg("Fetching users from command line ...");
    ListPtr cmdline(CreateFIFOList());
    if (!GetUsersFromCmdLine(cmdline.get(), cppI_CtrlVars))
        return fail("Error: Can't build userlist from command line");

    if (restore) {
        if (!InitSelectiveRestore(cmdline.get(), &state))
            return fail("Error: Can't process restore type");
        if (state.iIsSelectiveRestore && prepare_selective_restore(cmdline) != DB_NUM_I_OK)
            return DB_NUM_E_ERROR;
    }

    if (backup) {
        if (!ark::open_work_tree(state))
            return DB_NUM_E_ERROR;
        // One operation per job directory: held to the close, and before
        // the recovery, which must never take a running operation's journal
        // for a crashed one's.
        if (ark::export_dir_fd() >= 0 && !ark::take_job_lock_fd(ark::export_dir_fd(), ark::work_tree_export_path()))
            return DB_NUM_E_ERROR;
        if (!ark::claim_export_dir(state))
            return DB_NUM_E_ERROR;
        // Exports of the job's earlier runs that the host never acknowledged
        // give their baselines back before anything builds on them.
        if ((state.iBackupLevelFULL || state.iBackupLevelINCR) && !ark::export_dir_problem(state))
            ark::recover_baselines(ark::export_dir_path(state));
        if ((state.iBackupLevelFULL || state.iBackupLevelCOPY) && !ark::clear_previous_export(state))
            return DB_NUM_E_ERROR;
    }

    // The merge takes an empty request for "ALL"; when every requested name
    // was refused, nothing was asked for that can be served.
    if (cmdline->iItemCount == 0) {
        msg("Warning: none of the requested mailbox names can name a mailbox, no mailbox is selected");
    } else {
        if (!BuildUserList(state.psUsers, server.get(), cmdline.get()))
            return fail("Error: Can't build final userlist");
        if (!ProcessExcludeList(state.psUsers, state.cpArgv, state.iArgc))
            return fail("Error: Can't process exclude list");
    }
    print_users(state.psUsers);
    ark::remember_operation_mailboxes(ark::strings_of(state.psUsers));
    msg("DB_InitOperation (-)");
    return DB_NUM_I_OK;
}

} // namespace

extern "C" int DB_InitOperation(DB_OPERATION_TYPE eI_OperationType, DB_OPERATION_LEVEL, char **cppI_CtrlVars) {
    const int result = init_operation(eI_OperationType, cppI_CtrlVars);
    // A failed set-up leaves the job to the next operation.
    if (result != DB_NUM_I_OK)
        ark::release_job_lock();
    return result;
}

extern "C" void display_norecover_box(LIST_INFO *spUserList, LIST_INFO *spFileList, const char *) {
    if (!spUserList || !spFileList)
        return;
    for (const LIST_ITEM *item = spUserList->spFirstItem; item; item = item->spNextItem) {
        const auto *user = static_cast<const char *>(item->vpData);
        msg("Call %s.script.restore-full.sh to perform full restore of %s mail box", user, user);
    }
}

namespace {

// In no-recovery mode: one full-restore script per mailbox, beside the first
// received file that belongs to it ("STEM." begins the file name). False
// when a mailbox's directory failed its check: its files are there, but
// the operator has no script to import them with.
bool write_norecover_scripts(const ARKZarafa &state) {
    bool refused_any = false;
    std::unordered_map<std::string_view, std::string_view> first_file;
    for (const LIST_ITEM *file = state.psFileNames->spFirstItem; file; file = file->spNextItem) {
        const std::string_view path(static_cast<const char *>(file->vpData));
        const std::string_view name = ark::file_name_of(path);
        for (size_t dot = name.find('.'); dot != std::string_view::npos; dot = name.find('.', dot + 1))
            first_file.emplace(name.substr(0, dot), path);
    }
    for (const LIST_ITEM *user = state.psUsers->spFirstItem; user; user = user->spNextItem) {
        const std::string name(static_cast<const char *>(user->vpData));
        const auto found = first_file.find(ark::mailbox_file_stem(name));
        if (found == first_file.end())
            continue;
        const std::string dir(ark::directory_of(found->second));
        std::string script;
        ark::sys::Fd dirfd;
        bool refused = false;
        if (!dir.empty() && !ark::write_full_script(dir.c_str(), name.c_str(), script, dirfd, &refused))
            msg("Warning: can't generate restore script for user=%s", name.c_str());
        refused_any = refused_any || refused;
    }
    return !refused_any;
}

} // namespace

namespace {

// False when the host says, with "STORED=NO", that it could not make the
// save set durable; any other value, or none, means stored.
bool host_stored(char **vars) {
    for (char **entry = vars; entry && *entry; ++entry)
        if (std::string_view(*entry) == "STORED=NO")
            return false;
    return true;
}

} // namespace

extern "C" int DB_CloseOperation(char **cppI_CtrlVars) {
    msg("DB_CloseOperation(+)");
    ARKZarafa &state = g_sARKZarafa;
    // The host has made every item it acknowledged durable by now: the
    // baselines of the exports it stored whole move forward, together.
    if (state.eI_OperationType == DB_TYPE_BCK) {
        ark::export_pipeline().stop_all();
        ark::baseline_journal().commit(host_stored(cppI_CtrlVars));
    }
    // Imports still running finish before anything is cleaned up; a failure
    // among them fails the close, after the clean-up.
    const bool imports_failed = state.eI_OperationType == DB_TYPE_RST && ark::finish_restore_imports() != DB_NUM_I_OK;
    bool scripts_refused = false;
    if (state.eI_OperationType == DB_TYPE_RST) {
        if (state.iRecoveryAfterNoRecover) {
            if (state.psUsers && state.psFileNames)
                scripts_refused = !write_norecover_scripts(state);
            display_norecover_box(state.psUsers, state.psFileNames, state.cpSavesetName);
        } else if (!cleanup_after_restore(state.psFileNames, nullptr)) {
            msg("Error: Can't cleanup the temporary directory");
            zarafa_global_struct_cleanup();
            ark::close_work_tree();
            ark::forget_checked_restore_dir();
            return DB_NUM_E_ERROR;
        }
    }
    zarafa_global_struct_cleanup();
    ark::close_work_tree();
    ark::forget_checked_restore_dir();
    if (scripts_refused) {
        msg("Error: restore scripts were not written for the mailboxes named above: their directories can't be "
            "trusted");
        return DB_NUM_E_ERROR;
    }
    if (imports_failed) {
        msg("Error: an import that ended at the close failed; the mailboxes named above were not restored");
        return DB_NUM_E_ERROR;
    }
    msg("DB_CloseOperation(-)");
    return DB_NUM_I_OK;
}
