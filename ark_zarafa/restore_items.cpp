// Restore item handling: DB_SetItem records the files that belong to pending
// mailboxes; the restore branch of DB_ItemFinishStatus imports every mailbox
// whose index file has arrived, whole or record by record, then deletes its
// files and drops it from the pending list.
#include <sys/stat.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "ark_zarafa.h"
#include "c_buffer.h"
#include "item_results.h"
#include "list_version.h"
#include "mailbox_files.h"
#include "messages.h"
#include "restore_index.h"
#include "run_tool.h"
#include "utils.h"
#include "work_dir.h"
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

// The records of a selective-restore list, by mailbox, in list order; read
// again only when the list has changed.
class RecordsByMailbox {
public:
    const std::vector<const tSelRestItem *> &of(const LIST_INFO *list, std::string_view user) {
        const uint64_t version = ark::fifo_list_version(list);
        if (list != list_ || version == 0 || version != version_) {
            by_user_.clear();
            for (const LIST_ITEM *item = list->spFirstItem; item; item = item->spNextItem) {
                const auto *record = static_cast<const tSelRestItem *>(item->vpData);
                by_user_[std::string(ark::view_of(record->cpUserName))].push_back(record);
            }
            list_ = list;
            version_ = version;
        }
        static const std::vector<const tSelRestItem *> none;
        const auto found = by_user_.find(std::string(user));
        return found == by_user_.end() ? none : found->second;
    }

private:
    const LIST_INFO *list_ = nullptr;
    uint64_t version_ = 0;
    std::unordered_map<std::string, std::vector<const tSelRestItem *>> by_user_;
};

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
    // The tool reads the exported files of the directory it runs in: it
    // must not run anywhere else.
    const ark::WorkingDir in_restore(dir, ark::WorkingDir::Side::restore);
    if (!in_restore.entered())
        return Outcome::failed;
    Outcome outcome = Outcome::restored;
    static RecordsByMailbox records;
    for (const tSelRestItem *record : records.of(spList, ccpUserName)) {
        const auto argv = restore_command(ccpUserName, ark::view_of(record->cpRekordKey));
        const std::string text = ark::command_text(argv);
        msg("Performing command=%s", text.c_str());
        const ark::ToolRun run = ark::run_tool(argv, {.cwd = dir});
        if (!run.started) {
            msg("Error: can't run [%s]: %s", text.c_str(), run.start_error.c_str());
            msg("Error: can't perform command=%s", text.c_str());
            return Outcome::failed;
        }
        // The other records are still worth restoring.
        ark::warn_if_failed(argv, run, ccpUserName);
        if (!run.succeeded())
            outcome = Outcome::tool_failed;
    }
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
    const ark::WorkingDir in_restore(ccpPath, ark::WorkingDir::Side::restore);
    const std::vector<std::string> argv{std::string("./") + script};
    if (!in_restore.entered()) {
        msg("Error: Can't generate restore-script for user=%s", ccpUserName);
        return Outcome::failed;
    }
    // The script's standard output goes to standard error, as "./%s 1>&2".
    const ark::ToolRun run = ark::run_tool(argv, {.output_to_stderr = true, .cwd = ccpPath});
    if (!run.started) {
        msg("Error: can't run [%s]: %s", ark::command_text(argv).c_str(), run.start_error.c_str());
        msg("Error: Can't generate restore-script for user=%s", ccpUserName);
        return Outcome::failed;
    }
    // The script's status is that of the restore tool it ends with.
    ark::warn_if_failed(argv, run, ccpUserName);
    std::remove(script);
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
    // A file belongs to a mailbox by its own name ("bob.index.zbk",
    // "Public.data.zbk" for the public store), not by a substring of its
    // path: "xbob.index.zbk" is not bob's. The first pending mailbox it
    // belongs to, in list order, is the one named in messages.
    ark::RestoreIndex &index = ark::restore_index();
    if (const auto *owner = index.owner_of(state.psUsers, state.psFileNames, ark::file_name_of(item))) {
        msg("Storing file [%s]", cpItem);
        if (item.size() >= ARK_PATH_LEN ||
            !PushFIFOItem(state.psFileNames, cpItem, static_cast<uint32_t>(item.size() + 1))) {
            msg("Error: Can't store file name in the list. File name=%s", cpItem);
            if (item.size() >= ARK_PATH_LEN)
                msg("Error: path of %zu characters is too long (at most %d), the file of mailbox %s is not restored",
                    item.size(), ARK_PATH_LEN - 1, owner->name.c_str());
            return DB_NUM_E_ERROR;
        }
        index.received(state.psUsers, state.psFileNames, item);
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
        const ark::WorkingDir in_restore(dir, ark::WorkingDir::Side::restore);
        // Not run elsewhere: the tool reads the files of its directory.
        const ark::ToolRun run = in_restore.entered() ? ark::run_tool(argv, {.cwd = dir}) : ark::ToolRun{};
        if (!run.started)
            msg("Warning: can't perform [%s]", text.c_str());
        ark::warn_if_failed(argv, run, ccpUser);
    }
    msg("ark_zarafa_restore_user(-)");
    return 1;
}

namespace ark {

int finish_restore_item(DB_ITEM_RESULT) {
    msg("DB_ItemFinishStatus(): operation=restore");
    ARKZarafa &state = g_sARKZarafa;
    if (!state.psFileNames || state.psFileNames->iItemCount == 0 || !state.psUsers)
        return DB_NUM_I_OK;
    bool failed = false;
    // Only the mailboxes whose index file has arrived are acted on, in the
    // order of the pending list; the received path of a file is the last
    // one announced under its name.
    RestoreIndex &index = restore_index();
    for (const size_t order : index.ready(state.psUsers, state.psFileNames)) {
        const std::string user = index.mailbox(order).name;
        msg("user=%s", user.c_str());
        const std::string index_path = index.last_path(index_file_name(user)).value_or("");
        const std::string data_path = index.last_path(data_file_name(user)).value_or("");
        if (index_path.empty())
            continue;
        Outcome outcome = Outcome::restored;
        if (!state.iRecoveryAfterNoRecover) {
            if (state.iIsSelectiveRestore) {
                outcome = selective_restore(state.psSelRestList, user.c_str(), index_path.c_str());
            } else {
                msg("Path buf contains [%s]", index_path.c_str());
                const std::string dir(directory_of(index_path));
                if (dir.empty()) {
                    msg("Error: Incorrect path to restored files");
                    return DB_NUM_E_ERROR;
                }
                outcome = full_restore(dir.c_str(), user.c_str());
            }
        }
        if (outcome == Outcome::failed) {
            // The mailbox and its files stay; the next call tries it again.
            msg("Error: can't restore user=%s, file=%s. Skipped", user.c_str(), index_path.c_str());
            return DB_NUM_E_ERROR;
        }
        if (outcome == Outcome::tool_failed) {
            // The tool ran and may have restored part of the mailbox: running
            // it again on every later item would not help, and waiting for it
            // would hold up the mailboxes behind it. Its files are not
            // deleted here; they go with the restore directory at the close.
            msg("Error: mailbox %s was not restored: the restore tool reported a failure for %s; it is not tried "
                "again in this restore",
                user.c_str(), index_path.c_str());
            failed = true;
            if (!index.remove(state.psUsers, order))
                msg("Warning: Problem occured while trying to remove user=%s", user.c_str());
        } else if (state.iRecoveryAfterNoRecover) {
            // Nothing is run and the mailbox stays for the close's scripts.
            index.acted_on(order);
        } else {
            if (std::remove(index_path.c_str()) != 0)
                msg("Warning: Can't remove index file=%s", index_path.c_str());
            if (!data_path.empty() && std::remove(data_path.c_str()) != 0)
                msg("Warning: Can't remove data file=%s", data_path.c_str());
            msg("Removing user=%s ...", user.c_str());
            if (!index.remove(state.psUsers, order))
                msg("Warning: Problem occured while trying to remove user=%s", user.c_str());
        }
    }
    if (failed)
        return DB_NUM_E_ERROR;
    msg("DB_ItemFinishStatus (-), reason=DB_NUM_I_OK");
    return DB_NUM_I_OK;
}

} // namespace ark
