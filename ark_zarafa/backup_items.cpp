// Backup item production: DB_GetItem exports the next pending mailbox and
// hands out the oldest exported file; the backup branch of
// DB_ItemFinishStatus deletes what the level says.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

#include "ark_zarafa.h"
#include "c_buffer.h"
#include "cm_common.h"
#include "export_check.h"
#include "export_dir.h"
#include "export_listing.h"
#include "item_results.h"
#include "mailbox_files.h"
#include "messages.h"
#include "run_tool.h"
#include "zarafa_index_utils.h"

using ark::msg;

namespace {

namespace fs = std::filesystem;

constexpr int kFileTableSize = 100; // slots of the table build_file_list fills

unsigned pointer_bits(const void *p) { return static_cast<unsigned>(reinterpret_cast<uintptr_t>(p)); }

// Every exported file of the mailbox, "DIR/NAME", in alphasort order: the
// data file sorts before the index file, so a restore that acts on the index
// file finds the data file already written back. The public store keeps
// every name holding "Public"; a mailbox the names that begin with its own
// name and a ".".
std::vector<std::string> collect_files(const char *dir, const char *user) {
    msg("build_file_list(+)");
    ark::ExportListing &listing = ark::export_listing();
    const std::vector<std::string> names = std::string_view(user) == ark::kPublicFolder
                                               ? listing.names_containing(dir, "Public")
                                               : listing.names_starting_with(dir, std::string(user) + ".");
    std::vector<std::string> paths;
    paths.reserve(names.size());
    for (const std::string &name : names)
        paths.push_back(std::string(dir) + "/" + name);
    msg("build_file_list(-):files found %zu", paths.size());
    return paths;
}

std::vector<std::string> export_command(std::string_view user) {
    if (user == "ALL")
        return {"zarafa-backup", "-a"};
    if (user == ark::kPublicFolder)
        return {"zarafa-backup", "-p"};
    return {"zarafa-backup", "-u", std::string(user)};
}

bool pull_string(LIST_INFO *list, std::string &out) {
    if (!list || !list->spFirstItem)
        return false;
    const LIST_ITEM *head = list->spFirstItem;
    std::vector<char> buffer(static_cast<size_t>(head->iDataSize) + 1, '\0');
    uint32_t size = 0;
    if (!PullFIFOItem(list, buffer.data(), &size))
        return false;
    out.assign(buffer.data(), strnlen(buffer.data(), size));
    return true;
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
    const ARKZarafa &state = g_sARKZarafa;
    const std::string dir = ark::export_dir_path(state);
    if (state.iBackupLevelFULL || state.iBackupLevelINCR)
        msg("Export dir [%s]", state.cpTempDir);
    // The directory, with the index file name inside it, must fit the 256
    // characters of the paths handed to the host.
    if (dir.size() + 1 + ark::index_file_name(cpUserName).size() >= ARK_PATH_LEN) {
        msg("Error: export directory %s is too long for the mailbox %s", dir.c_str(), cpUserName);
        if (cppBackUpSource)
            cppBackUpSource[0] = '\0';
        return -1;
    }

    // Read before the tool runs: the only way to tell a fresh index from the
    // previous export's, and to put that one back if this export fails.
    const bool whole_server = std::string_view(cpUserName) == "ALL";
    const std::string index = dir + "/" + ark::index_file_name(cpUserName);
    std::optional<ark::PreviousIndex> previous;
    if (!whole_server)
        previous.emplace(index);

    msg("Execute [mkdir -p \"%s\"]", dir.c_str());
    std::error_code ec;
    fs::create_directories(dir, ec);
    if (ec)
        msg("Warning: can't create the export directory %s: %s", dir.c_str(), ec.message().c_str());

    if (chdir(dir.c_str()) == 0) {
        const std::vector<std::string> argv = export_command(cpUserName);
        msg("Start export: [%s]", ark::command_text(argv).c_str());
        const ark::ToolRun run = ark::run_tool(argv);
        if (!run.started)
            msg("Warning: can't run [%s]: %s", ark::command_text(argv).c_str(), run.start_error.c_str());
        ark::warn_if_failed(argv, run, cpUserName);
    } else {
        msg("Warning: can't enter the export directory %s: %s", dir.c_str(), std::strerror(errno));
    }
    if (cppBackUpSource)
        ark::copy_to(cppBackUpSource, ARK_PATH_LEN, dir);
    if (chdir("/") != 0)
        msg("Warning: can't change the working directory to /");

    // Success is judged by the files the tool left. A mailbox whose files are
    // missing, stale or cut off is not handed out, and its list file is not
    // rebuilt from them.
    if (previous) {
        if (auto problem = ark::export_problem(cpUserName, dir, *previous)) {
            msg("Error: mailbox %s was not exported: %s", cpUserName, problem->c_str());
            previous->put_back();
            return -1;
        }
    }
    print_index_file(stderr, index.c_str());

    const size_t slash = dir.rfind('/');
    const std::string list_dir = slash == std::string::npos ? dir : dir.substr(0, slash);
    const std::string list_file = list_dir + "/" + cpUserName + ".lst";
    msg("Building list-file=%s", list_file.c_str());
    if (!build_list_file(index.c_str(), list_file.c_str()))
        msg("Warning: Can't create list file=%s", list_file.c_str());
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
    if (ark_zarafa_backup_user(path, user.c_str()) < 0) {
        msg("backup_user(-): Error while performing backup for user=%s, backup path=%s", user.c_str(), path);
        msg("backup_user(-), reason=ERROR_UNKNOWN");
        return ERROR_UNKNOWN;
    }
    const std::vector<std::string> files = collect_files(path, user.c_str());
    if (files.empty()) {
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
        PushFIFOItem(psFileList, file.c_str(), static_cast<uint32_t>(file.size() + 1));
    }
    msg("backup_user(-), reason=ERROR_OK");
    return ERROR_OK;
}

extern "C" int DB_GetItem(char *, char *, char *cpFileName) {
    msg("DB_GetItem(+)");
    ARKZarafa &state = g_sARKZarafa;
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
            const size_t slash = path.rfind('/');
            if (slash != std::string::npos) {
                const std::string dir = path.substr(0, slash);
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
