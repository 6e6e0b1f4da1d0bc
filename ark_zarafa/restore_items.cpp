// Restore item handling: DB_SetItem records the files that belong to pending
// mailboxes; the restore branch of DB_ItemFinishStatus imports every mailbox
// whose index file has arrived, whole or record by record, then deletes its
// files and drops it from the pending list.
#include <sys/stat.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "ark_zarafa.h"
#include "c_buffer.h"
#include "item_results.h"
#include "mailbox_files.h"
#include "messages.h"
#include "run_tool.h"
#include "utils.h"
#include "zarafa_index_utils.h"

using ark::msg;

namespace {

constexpr int kRecordKeyTableSize = 2048;

std::vector<std::string> restore_command(std::string_view user, std::string_view key) {
    if (user == ark::kPublicFolder)
        return {"zarafa-restore", "-p", std::string(key)};
    return {"zarafa-restore", "-u", std::string(user), std::string(key)};
}

// How the import of a mailbox ended.
enum class Outcome {
    restored,    // every command ran and reported success
    tool_failed, // every command ran, at least one reported a failure
    failed,      // nothing or not everything could be run
};

int as_result(Outcome outcome) { return outcome == Outcome::failed ? 0 : 1; }

Outcome selective_restore(LIST_INFO *spList, const char *ccpUserName, const char *ccpPath) {
    msg("restore_user_selective(+)");
    if (!spList || !ccpPath || !ccpUserName) {
        msg("Error: incorrect parameter");
        return Outcome::failed;
    }
    const std::string dir(ark::directory_of(ccpPath));
    struct stat st {};
    if (dir.empty() || stat(dir.c_str(), &st) != 0) {
        msg("Error: Can't find path=%s", dir.c_str());
        return Outcome::failed;
    }
    utils_push_dir(dir.c_str());
    Outcome outcome = Outcome::restored;
    for (const LIST_ITEM *item = spList->spFirstItem; item; item = item->spNextItem) {
        const auto *record = static_cast<const tSelRestItem *>(item->vpData);
        if (ark::view_of(record->cpUserName) != ccpUserName)
            continue;
        const auto argv = restore_command(ccpUserName, ark::view_of(record->cpRekordKey));
        const std::string text = ark::command_text(argv);
        msg("Performing command=%s", text.c_str());
        const ark::ToolRun run = ark::run_tool(argv);
        if (!run.started) {
            msg("Error: can't perform command=%s", text.c_str());
            return Outcome::failed;
        }
        // The other records are still worth restoring.
        ark::warn_if_failed(argv, run);
        if (!run.succeeded())
            outcome = Outcome::tool_failed;
    }
    utils_pop_dir();
    msg("restore_user_selective(-)");
    return outcome;
}

Outcome full_restore(const char *ccpPath, const char *ccpUserName) {
    msg("restore_full_script(+)");
    if (!ccpPath || !ccpUserName) {
        msg("Error: Invalid parameters");
        return Outcome::failed;
    }
    char script[ARK_PATH_LEN] = {};
    if (!utils_generate_full_rst_script(ccpPath, ccpUserName, script)) {
        msg("Error: Can't generate restore-script for user=%s", ccpUserName);
        return Outcome::failed;
    }
    utils_push_dir(ccpPath);
    // The script's standard output goes to standard error, as "./%s 1>&2".
    const std::vector<std::string> argv{std::string("./") + script};
    const ark::ToolRun run = ark::run_tool(argv, {.output_to_stderr = true});
    if (!run.started) {
        msg("Error: Can't generate restore-script for user=%s", ccpUserName);
        return Outcome::failed;
    }
    // The script's status is that of the restore tool it ends with.
    ark::warn_if_failed(argv, run);
    std::remove(script);
    utils_pop_dir();
    msg("restore_full_script(-)");
    return run.succeeded() ? Outcome::restored : Outcome::tool_failed;
}

// Releases the keys of a record-key table.
struct KeyTable {
    std::vector<char *> slots = std::vector<char *>(kRecordKeyTableSize, nullptr);
    int count = 0;
    ~KeyTable() { zarafa_index_clear_recordkeys_table(slots.data(), count); }
};

} // namespace

extern "C" int DB_SetItem(DB_ITEM_TYPE e_ItemType, char *cpItem) {
    msg("DB_SetItem(+)");
    if (e_ItemType != DB_ITEM_TYPE_FILE)
        return DB_NUM_I_OK;
    ARKZarafa &state = g_sARKZarafa;
    if (!cpItem || !state.psUsers || !state.psFileNames) {
        msg("Error: Can't store file name in the list. File name=%s", cpItem ? cpItem : "(null)");
        return DB_NUM_E_ERROR;
    }
    const std::string_view item(cpItem);
    for (const LIST_ITEM *user = state.psUsers->spFirstItem; user; user = user->spNextItem) {
        // A file belongs to a mailbox by its own name ("bob.index.zbk",
        // "Public.data.zbk" for the public store), not by a substring of its
        // path: "xbob.index.zbk" is not bob's.
        if (!ark::belongs_to_mailbox(item, static_cast<const char *>(user->vpData)))
            continue;
        msg("Storing file [%s]", cpItem);
        if (item.size() >= ARK_PATH_LEN ||
            !PushFIFOItem(state.psFileNames, cpItem, static_cast<uint32_t>(item.size() + 1))) {
            msg("Error: Can't store file name in the list. File name=%s", cpItem);
            if (item.size() >= ARK_PATH_LEN)
                msg("Error: path of %zu characters is too long (at most %d), the file of mailbox %s is not restored",
                    item.size(), ARK_PATH_LEN - 1, static_cast<const char *>(user->vpData));
            return DB_NUM_E_ERROR;
        }
        break;
    }
    msg("DB_SetItem(-)");
    return DB_NUM_I_OK;
}

extern "C" int restore_user_selective(LIST_INFO *spList, const char *ccpUserName, const char *ccpPath) {
    return as_result(selective_restore(spList, ccpUserName, ccpPath));
}

extern "C" int restore_full_script(const char *ccpPath, const char *ccpUserName) {
    return as_result(full_restore(ccpPath, ccpUserName));
}

extern "C" int ark_zarafa_restore_user(const char *ccpUser, const char *ccpPath) {
    msg("ark_zarafa_restore_user(+)");
    if (!ccpUser || !ccpPath) {
        msg("Error: invalid parameters");
        return 0;
    }
    msg("Restore path=%s", ccpPath);
    KeyTable table;
    table.count = zarafa_index_get_all_rekord_keys(ccpPath, table.slots.data());
    if (table.count <= 0) {
        msg("ark_zarafa_restore_user(-)");
        return 0;
    }
    const std::string dir(ark::directory_of(ccpPath));
    for (int i = 0; i < table.count; ++i) {
        const auto argv = restore_command(ccpUser, table.slots[static_cast<size_t>(i)]);
        const std::string text = ark::command_text(argv);
        msg("%s", text.c_str());
        utils_push_dir(dir.c_str());
        const ark::ToolRun run = ark::run_tool(argv);
        if (!run.started)
            msg("Warning: can't perform [%s]", text.c_str());
        ark::warn_if_failed(argv, run);
        utils_pop_dir();
    }
    msg("ark_zarafa_restore_user(-)");
    return 1;
}

namespace ark {

namespace {

struct MailboxFiles {
    std::string index;
    std::string data;
};

// The received files of a mailbox, by file name; the last arrival wins.
MailboxFiles received_files(const LIST_INFO *files, std::string_view user) {
    MailboxFiles found;
    const std::string index = index_file_name(user), data = data_file_name(user);
    for (const LIST_ITEM *item = files->spFirstItem; item; item = item->spNextItem) {
        const std::string_view path(static_cast<const char *>(item->vpData));
        if (file_name_of(path) == index)
            found.index = path;
        if (file_name_of(path) == data)
            found.data = path;
    }
    return found;
}

} // namespace

int finish_restore_item(DB_ITEM_RESULT) {
    msg("DB_ItemFinishStatus(): operation=restore");
    ARKZarafa &state = g_sARKZarafa;
    if (!state.psFileNames || state.psFileNames->iItemCount == 0 || !state.psUsers)
        return DB_NUM_I_OK;
    int position = 0;
    bool failed = false;
    // RemoveFIFOItemAt leaves a removed record pointing to its successor, so
    // the walk steps on from a mailbox it has just dropped.
    for (const LIST_ITEM *item = state.psUsers->spFirstItem; item;) {
        const LIST_ITEM *next = item->spNextItem;
        const std::string user(static_cast<const char *>(item->vpData));
        msg("user=%s", user.c_str());
        const MailboxFiles files = received_files(state.psFileNames, user);
        if (files.index.empty()) {
            ++position;
            item = next;
            continue;
        }
        Outcome outcome = Outcome::restored;
        if (!state.iRecoveryAfterNoRecover) {
            if (state.iIsSelectiveRestore) {
                outcome = selective_restore(state.psSelRestList, user.c_str(), files.index.c_str());
            } else {
                msg("Path buf contains [%s]", files.index.c_str());
                const std::string dir(directory_of(files.index));
                if (dir.empty()) {
                    msg("Error: Incorrect path to restored files");
                    return DB_NUM_E_ERROR;
                }
                outcome = full_restore(dir.c_str(), user.c_str());
            }
        }
        if (outcome == Outcome::failed) {
            msg("Error: can't restore user=%s, file=%s. Skipped", user.c_str(), files.index.c_str());
            return DB_NUM_E_ERROR;
        }
        if (outcome == Outcome::tool_failed) {
            // The tool ran and may have restored part of the mailbox: running
            // it again on every later item would not help, and waiting for it
            // would hold up the mailboxes behind it. Its files are not
            // deleted here; they go with the restore directory at the close.
            msg("Error: mailbox %s was not restored: the restore tool reported a failure for %s; it is not tried "
                "again in this restore",
                user.c_str(), files.index.c_str());
            failed = true;
            if (!RemoveFIFOItemAt(state.psUsers, position)) {
                msg("Warning: Problem occured while trying to remove user=%s", user.c_str());
                ++position;
            }
        } else if (state.iRecoveryAfterNoRecover) {
            ++position;
        } else {
            if (std::remove(files.index.c_str()) != 0)
                msg("Warning: Can't remove index file=%s", files.index.c_str());
            if (!files.data.empty() && std::remove(files.data.c_str()) != 0)
                msg("Warning: Can't remove data file=%s", files.data.c_str());
            msg("Removing user=%s ...", user.c_str());
            if (!RemoveFIFOItemAt(state.psUsers, position)) {
                msg("Warning: Problem occured while trying to remove user=%s", user.c_str());
                ++position;
            }
        }
        item = next;
    }
    if (failed)
        return DB_NUM_E_ERROR;
    msg("DB_ItemFinishStatus (-), reason=DB_NUM_I_OK");
    return DB_NUM_I_OK;
}

} // namespace ark
