// Backup item production: DB_GetItem exports the next pending mailbox and
// hands out the oldest exported file; the backup branch of
// DB_ItemFinishStatus deletes what the level says.
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>
#include <utility>
#include <vector>

#include "ark_zarafa.h"
#include "baseline_journal.h"
#include "c_buffer.h"
#include "cm_common.h"
#include "export_check.h"
#include "export_dir.h"
#include "export_listing.h"
#include "export_pipeline.h"
#include "fifo_strings.h"
#include "item_results.h"
#include "mailbox_export.h"
#include "mailbox_files.h"
#include "messages.h"
#include "run_tool.h"
#include "system/private_dir.h"
#include "work_dir.h"
#include "work_tree.h"
#include "worker_count.h"
#include "zarafa_index_utils.h"

using ark::msg;
using ark::pull_string;

namespace {

namespace fs = std::filesystem;

constexpr int kFileTableSize = 100; // slots of the table build_file_list fills

// The export that backup_user queues the files of.
std::optional<ark::BaselineJournal::ExportId> g_current_export;

unsigned pointer_bits(const void *p) { return static_cast<unsigned>(reinterpret_cast<uintptr_t>(p)); }

// Every exported file of the mailbox, "DIR/NAME", in alphasort order: the
// data file sorts before the index file, so a restore that acts on the index
// file finds the data file already written back. The public store keeps
// every name holding "Public"; a mailbox the names that begin with its own
// name and a ".", but not the own files of another mailbox of the run.
std::vector<std::string> collect_files(const char *dir, const char *user) {
    msg("build_file_list(+)");
    ark::ExportListing &listing = ark::export_listing();
    const std::vector<std::string> names = std::string_view(user) == ark::kPublicFolder
                                               ? listing.names_containing(dir, "Public")
                                               : listing.names_starting_with(dir, std::string(user) + ".");
    std::vector<std::string> paths;
    paths.reserve(names.size());
    // Only the effective user's own regular files are handed out: a link,
    // FIFO, directory or another owner's file there is none of the export's.
    ark::sys::Fd opened;
    const bool in_tree = ark::work_tree_export_path() == dir && ark::ensure_work_tree(g_sARKZarafa);
    int dirfd = ark::export_dir_fd();
    if (!in_tree) {
        opened.reset(::open(dir, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        dirfd = opened.get();
    }
    for (const std::string &name : names) {
        if (ark::is_other_mailboxs_own_file(user, name))
            continue;
        if (auto what = ark::sys::not_own_regular_file(dirfd, name)) {
            msg("Warning: %s/%s is not handed to the host: it is %s", dir, name.c_str(), what->c_str());
            continue;
        }
        paths.push_back(std::string(dir) + "/" + name);
    }
    msg("build_file_list(-):files found %zu", paths.size());
    return paths;
}


// Takes the first queued copy of path out of the file queue.
bool remove_queued(LIST_INFO *list, std::string_view path) {
    int position = 0;
    for (const LIST_ITEM *item = list ? list->spFirstItem : nullptr; item; item = item->spNextItem, ++position)
        if (ark::item_text(item) == path)
            return RemoveFIFOItemAt(list, position) != 0;
    return false;
}

} // namespace

extern "C" int select_files(const struct dirent *dirbuf) { return dirbuf && dirbuf->d_name[0] != '.' ? 1 : 0; }

extern "C" int build_file_list(const char *ccpPath, char **cppFileList, const char *ccpUser) {
    if (!ccpPath || !cppFileList || !ccpUser)
        return 0;
    int stored = 0;
    for (const std::string &path : collect_files(ccpPath, ccpUser)) {
        // The caller's table has 100 slots; backup_user itself is not bound
        // by it and delivers every file.
        if (stored == kFileTableSize) {
            msg("Warning: more than %d files of %s in %s, only the first %d are listed", kFileTableSize, ccpUser,
                ccpPath, kFileTableSize);
            break;
        }
        cppFileList[stored] = strdup(path.c_str());
        if (cppFileList[stored])
            ++stored;
    }
    return stored;
}

extern "C" int ark_zarafa_backup_user(char *cppBackUpSource, const char *cpUserName) {
    msg("ark_zarafa_backup_user(+), user=%s", cpUserName ? cpUserName : "(null)");
    if (!cpUserName) {
        if (cppBackUpSource)
            cppBackUpSource[0] = '\0';
        return -1;
    }
    ark::MailboxExport e;
    if (ark::export_pipeline().take(cpUserName, e)) {
        // The export ran ahead in its own directory; the host's process still
        // ends the call in "/".
        if (chdir("/") != 0)
            msg("Warning: can't change the working directory to /");
    } else {
        e = ark::prepare_export(cpUserName);
        if (e.ready) {
            // The scope ends in "/", whatever the tool did.
            const ark::WorkingDir in_export(e.dir_fd);
            if (in_export.entered()) {
                const std::vector<std::string> argv = ark::export_command(cpUserName);
                msg("Start export: [%s]", ark::command_text(argv).c_str());
                const ark::ToolRun run = ark::run_tool(argv, {.cwd_fd = e.dir_fd});
                if (!run.started)
                    msg("Warning: can't run [%s]: %s", ark::command_text(argv).c_str(), run.start_error.c_str());
                ark::warn_if_failed(argv, run, cpUserName);
            } else {
                msg("Warning: can't enter the export directory %s: %s", e.dir.c_str(),
                    std::strerror(in_export.error()));
            }
        }
    }
    if (cppBackUpSource)
        ark::copy_to(cppBackUpSource, ARK_PATH_LEN, e.source);
    if (!e.ready)
        return -1;
    if (ark::complete_export(e) < 0)
        return -1;
    g_current_export = e.journal;
    msg("ark_zarafa_backup_user(-)");
    return 0;
}

extern "C" int backup_user(LIST_INFO *psUserList, LIST_INFO *psFileList, const char *ccpBackupDir) {
    msg("backup_user(+)");
    if (!psUserList || !psFileList || !ccpBackupDir) {
        msg("backup_user(-) Error: psUserList=%X, psFileList=%X, ccpBackupDir=%X", pointer_bits(psUserList),
            pointer_bits(psFileList), pointer_bits(ccpBackupDir));
        msg("backup_user(-), reason=ERROR_WRONG_PARAM");
        return ERROR_WRONG_PARAM;
    }
    std::string user;
    if (!pull_string(psUserList, user)) {
        msg("backup_user(-), reason=ERROR_NO_MORE_USERS");
        return ERROR_NO_MORE_USERS;
    }
    char path[ARK_PATH_LEN] = {};
    g_current_export.reset();
    if (ark_zarafa_backup_user(path, user.c_str()) < 0) {
        msg("backup_user(-): Error while performing backup for user=%s, backup path=%s", user.c_str(), path);
        msg("backup_user(-), reason=ERROR_UNKNOWN");
        return ERROR_UNKNOWN;
    }
    const std::vector<std::string> files = collect_files(path, user.c_str());
    const std::optional<ark::BaselineJournal::ExportId> exported = std::exchange(g_current_export, std::nullopt);
    std::vector<std::string> queued;
    if (files.empty()) {
        if (exported)
            ark::baseline_journal().expect(*exported, queued);
        msg("backup_user(): No files found after the backup");
        msg("Error: mailbox %s was not exported: no files in %s", user.c_str(), path);
        msg("backup_user(-), ERROR_UNKNOWN");
        return ERROR_UNKNOWN;
    }
    const int count = static_cast<int>(files.size());
    for (int i = 0; i < count; ++i) {
        const std::string &file = files[static_cast<size_t>(i)];
        if (file.size() >= ARK_PATH_LEN) {
            msg("backup_user(): %d-item of the file list is incorrect, Ignored", i + 1);
            msg("Warning: path of %s is too long (%zu characters, at most %d), not stored", file.c_str(),
                file.size(), ARK_PATH_LEN - 1);
            continue;
        }
        msg("pushing %d/%d:%s, for user=%s", i + 1, count, file.c_str(), user.c_str());
        if (PushFIFOItem(psFileList, file.c_str(), static_cast<uint32_t>(file.size() + 1)))
            queued.push_back(file);
    }
    if (exported)
        ark::baseline_journal().expect(*exported, queued);
    msg("backup_user(-), reason=ERROR_OK");
    return ERROR_OK;
}

extern "C" int DB_GetItem(char *, char *, char *cpFileName) {
    msg("DB_GetItem(+)");
    ARKZarafa &state = g_sARKZarafa;
    // With more than one worker, the exports of the next mailboxes run while
    // the host stores this call's item.
    ark::ExportPipeline &pipeline = ark::export_pipeline();
    pipeline.top_up(state.psUsers, ark::worker_count());
    const bool no_users = !state.psUsers || state.psUsers->iItemCount == 0;
    const bool no_files = !state.psFileNames || state.psFileNames->iItemCount == 0;
    if (no_users && no_files) {
        msg("DB_GetItem(): There are no users to backup");
        msg("DB_GetItem(-), reason=DB_NUM_I_COMPLETE");
        return DB_NUM_I_COMPLETE;
    }
    switch (backup_user(state.psUsers, state.psFileNames, state.cpTempDir)) {
    case ERROR_OK:
        break;
    case ERROR_NO_MORE_USERS:
        if (state.psFileNames->iItemCount == 0) {
            msg("DB_GetItem(-): No more users to backup");
            return DB_NUM_I_COMPLETE;
        }
        msg("DB_GetItem(): All users processed but there still are some files to store");
        break;
    default:
        msg("Error: Can't perform backup for user");
        return DB_NUM_E_ERROR;
    }
    std::string path;
    if (!pull_string(state.psFileNames, path)) {
        msg("DB_GetItem(-), reason=DB_NUM_I_COMPLETE");
        std::memset(state.cpLastProcessedUser, 0, sizeof state.cpLastProcessedUser);
        return DB_NUM_I_COMPLETE;
    }
    // The item name is the path relative to "/".
    std::string item = path.substr(1);
    if (cpFileName) {
        ark::copy_to(cpFileName, ARK_PATH_LEN, item);
        squeeze(cpFileName, '/');
        msg("DB_GetItem() returns item: [%s]", cpFileName);
    }
    ark::copy_to(state.cpLastProcessedUser, path);
    ark::baseline_journal().delivered(path);
    pipeline.top_up(state.psUsers, ark::worker_count());
    msg("DB_GetItem(-), reason=DB_NUM_I_OK");
    return DB_NUM_I_OK;
}

extern "C" int IsGetItemParamOk(char *cpBackupDirectory, char *cpOriginalDirectory, char *cpFileName) {
    if (g_sARKZarafa.eI_OperationType != DB_TYPE_BCK || !cpBackupDirectory || !cpOriginalDirectory || !cpFileName)
        return DB_NUM_E_ERROR;
    return DB_NUM_I_OK;
}

namespace ark {

int finish_backup_item(DB_ITEM_RESULT result) {
    msg("DB_ItemFinishStatus(): operation=backup");
    ARKZarafa &state = g_sARKZarafa;
    const std::string path(view_of(state.cpLastProcessedUser));
    // A data file by its own name: a directory named like "x.data.y" must
    // not make the index files the next increment needs look like data.
    const bool data_file = file_name_of(path).find(".data.") != std::string_view::npos;
    const bool delete_all = state.iBackupLevelCOPY != 0;
    const bool delete_data = (state.iBackupLevelINCR || state.iBackupLevelFULL) && data_file;
    // A file of a FULL or INCR export that the host could not store undoes
    // the export: its baseline stays, and its files are not handed out.
    ark::BaselineJournal::Outcome journaled;
    if (state.iBackupLevelINCR || state.iBackupLevelFULL)
        journaled = baseline_journal().acknowledged(result);
    if (journaled.rolled_back) {
        for (const std::string &dropped : journaled.dropped)
            if (remove_queued(state.psFileNames, dropped))
                msg("Not handing out [%s]: its mailbox is left for the next backup", dropped.c_str());
        std::memset(state.cpLastProcessedUser, 0, sizeof state.cpLastProcessedUser);
        msg("DB_ItemFinishStatus (-), reason=DB_NUM_I_OK");
        return DB_NUM_I_OK;
    }
    if (result == DB_ITEM_FAIL && !path.empty())
        msg("Warning: the host reported that it could not store %s%s", path.c_str(),
            (delete_all || delete_data) ? "; the file is deleted and missing from this save set" : "");
    if (!path.empty() && (delete_all || delete_data)) {
        msg("Trying to remove [%s] ...", path.c_str());
        if (std::remove(path.c_str()) != 0) {
            msg("DB_ItemFinishStatus(): Warning! Can`t remove %s", path.c_str());
            msg("DB_ItemFinishStatus (-), reason=DB_NUM_I_OK");
            return DB_NUM_I_OK;
        }
        msg("Removed [%s]", path.c_str());
        if (delete_all) {
            const std::string_view directory = directory_of(path);
            if (!directory.empty()) {
                const std::string dir(directory.substr(0, directory.size() - 1));
                if (rmdir(dir.c_str()) != 0)
                    msg("Warning: The directory [%s] was not removed.", dir.c_str());
            }
        }
        std::memset(state.cpLastProcessedUser, 0, sizeof state.cpLastProcessedUser);
    }
    msg("DB_ItemFinishStatus (-), reason=DB_NUM_I_OK");
    return DB_NUM_I_OK;
}

} // namespace ark

extern "C" int DB_ItemFinishStatus(DB_ITEM_RESULT e_ItemFinishStatus) {
    msg("DB_ItemFinishStatus(+)");
    switch (g_sARKZarafa.eI_OperationType) {
    case DB_TYPE_RST:
        return ark::finish_restore_item(e_ItemFinishStatus);
    case DB_TYPE_BCK:
        return ark::finish_backup_item(e_ItemFinishStatus);
    }
    msg("DB_ItemFinishStatus (-), reason=DB_NUM_I_OK");
    return DB_NUM_I_OK;
}
