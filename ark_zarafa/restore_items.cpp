// Restore item handling: DB_SetItem records the files that belong to pending
// mailboxes; the restore branch of DB_ItemFinishStatus imports every mailbox
// whose index file has arrived, whole or record by record, then deletes its
// files and drops it from the pending list.
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <optional>
#include <utility>
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
#include "restore_dir.h"
#include "restore_index.h"
#include "restore_script.h"
#include "run_tool.h"
#include "system/fd.h"
#include "tool_pool.h"
#include "worker_count.h"
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
    refused,     // its restore directory failed its check: nothing was run
};

int as_result(Outcome outcome) { return outcome == Outcome::failed || outcome == Outcome::refused ? 0 : 1; }

// A checked directory kept open by whatever still runs there. (A type of
// this file's own: a shared_ptr of a system-layer type would export it.)
struct OpenDir {
    ark::sys::Fd fd;
    int get() const { return fd.get(); }
    explicit operator bool() const { return static_cast<bool>(fd); }
};
using SharedFd = std::shared_ptr<OpenDir>;

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

// A selective import: its commands, in list order, and the restore
// directory they run in.
struct SelectivePlan {
    std::string dir;
    std::vector<std::vector<std::string>> commands;
    SharedFd dirfd; // the directory as checked: the commands run there
};

std::optional<SelectivePlan> plan_selective(LIST_INFO *spList, const char *ccpUserName, const char *ccpPath,
                                            bool *refused = nullptr) {
    msg("restore_user_selective(+)");
    if (!spList || !ccpPath || !ccpUserName) {
        msg("Error: incorrect parameter");
        return std::nullopt;
    }
    SelectivePlan plan{std::string(ark::directory_of(ccpPath)), {}, {}};
    struct stat st {};
    if (plan.dir.empty() || stat(plan.dir.c_str(), &st) != 0) {
        msg("Error: Can't find path=%s", plan.dir.c_str());
        return std::nullopt;
    }
    plan.dirfd = std::make_shared<OpenDir>(OpenDir{ark::open_restore_dir(plan.dir, ccpUserName)});
    if (!*plan.dirfd) {
        if (refused)
            *refused = true;
        return std::nullopt;
    }
    // The tool reads the exported files of the directory it runs in: it
    // must not run anywhere else.
    const ark::WorkingDir in_restore(plan.dir, ark::WorkingDir::Side::restore);
    if (!in_restore.entered())
        return std::nullopt;
    static RecordsByMailbox records;
    for (const tSelRestItem *record : records.of(spList, ccpUserName))
        plan.commands.push_back(restore_command(ccpUserName, ark::view_of(record->cpRekordKey)));
    return plan;
}

// A host that ignores SIGCHLD, or reaps every child itself, leaves a tool's
// exit status unknown: the import is then neither a failure nor a proven
// success, and is said to be so.
bool status_unknown(const std::vector<std::string> &argv, const ark::ToolRun &run, const char *user) {
    if (!run.started || run.wait_errno == 0)
        return false;
    msg("Warning: the exit status of [%s] could not be learned (%s); the import of mailbox %s is taken as done and "
        "should be checked",
        ark::command_text(argv).c_str(), run.outcome().c_str(), user);
    return true;
}

void announce_selective(const std::vector<std::string> &argv) {
    msg("Performing command=%s", ark::command_text(argv).c_str());
}

// After one selective command; false when the rest must not run.
bool judge_selective(const std::vector<std::string> &argv, const ark::ToolRun &run, const char *user,
                     Outcome &outcome) {
    if (!run.started) {
        const std::string text = ark::command_text(argv);
        msg("Error: can't run [%s]: %s", text.c_str(), run.start_error.c_str());
        msg("Error: can't perform command=%s", text.c_str());
        outcome = Outcome::failed;
        return false;
    }
    if (status_unknown(argv, run, user))
        return true;
    // The other records are still worth restoring.
    ark::warn_if_failed(argv, run, user);
    if (!run.succeeded())
        outcome = Outcome::tool_failed;
    return true;
}

Outcome selective_restore(LIST_INFO *spList, const char *ccpUserName, const char *ccpPath) {
    bool refused = false;
    const std::optional<SelectivePlan> plan = plan_selective(spList, ccpUserName, ccpPath, &refused);
    if (!plan)
        return refused ? Outcome::refused : Outcome::failed;
    Outcome outcome = Outcome::restored;
    for (const auto &argv : plan->commands) {
        announce_selective(argv);
        if (!judge_selective(argv, ark::run_tool(argv, {.cwd_fd = plan->dirfd->get()}), ccpUserName, outcome))
            return outcome;
    }
    msg("restore_user_selective(-)");
    return outcome;
}

// A written full-restore script and the checked directory it runs in.
struct FullPlan {
    std::string script;
    SharedFd dirfd;
};

// Writes the full-restore script and makes sure its directory can be
// entered: the script and its directory, or nothing after an "Error:".
std::optional<FullPlan> prepare_full(const char *ccpPath, const char *ccpUserName, bool *refused = nullptr) {
    msg("restore_full_script(+)");
    if (!ccpPath || !ccpUserName) {
        msg("Error: Invalid parameters");
        return std::nullopt;
    }
    FullPlan plan{{}, std::make_shared<OpenDir>()};
    if (!ark::write_full_script(ccpPath, ccpUserName, plan.script, plan.dirfd->fd, refused)) {
        msg("Error: Can't generate restore-script for user=%s", ccpUserName);
        return std::nullopt;
    }
    const ark::WorkingDir in_restore(ccpPath, ark::WorkingDir::Side::restore);
    if (!in_restore.entered()) {
        msg("Error: Can't generate restore-script for user=%s", ccpUserName);
        return std::nullopt;
    }
    return plan;
}

std::vector<std::string> script_command(const std::string &script) { return {"./" + script}; }

// After the script ran: its outcome; the script is removed.
Outcome judge_full(int dirfd, const std::string &script, const ark::ToolRun &run, const char *user) {
    const std::vector<std::string> argv = script_command(script);
    if (!run.started) {
        msg("Error: can't run [%s]: %s", ark::command_text(argv).c_str(), run.start_error.c_str());
        msg("Error: Can't generate restore-script for user=%s", user);
        return Outcome::failed;
    }
    const bool unknown = status_unknown(argv, run, user);
    // The script's status is that of the restore tool it ends with.
    if (!unknown)
        ark::warn_if_failed(argv, run, user);
    ::unlinkat(dirfd, script.c_str(), 0);
    msg("restore_full_script(-)");
    return run.succeeded() || unknown ? Outcome::restored : Outcome::tool_failed;
}

Outcome full_restore(const char *ccpPath, const char *ccpUserName) {
    bool refused = false;
    const std::optional<FullPlan> plan = prepare_full(ccpPath, ccpUserName, &refused);
    if (!plan)
        return refused ? Outcome::refused : Outcome::failed;
    // The script's standard output goes to standard error, as "./%s 1>&2".
    const ark::ToolRun run =
        ark::run_tool(script_command(plan->script), {.output_to_stderr = true, .cwd_fd = plan->dirfd->get()});
    return judge_full(plan->dirfd->get(), plan->script, run, ccpUserName);
}

// The file that DB_SetItem recorded last, with the mailbox it belongs to:
// the result that follows is the host's word on it.
struct AnnouncedFile {
    std::string path;
    std::string mailbox;
};

std::optional<AnnouncedFile> &last_announced() {
    static std::optional<AnnouncedFile> announced;
    return announced;
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
    last_announced().reset();
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
        last_announced() = AnnouncedFile{std::string(item), owner->name};
        index.received(state.psUsers, state.psFileNames, item);
        // The clean-up removes this directory only as it is now.
        if (state.psFileNames->iItemCount == 1)
            ark::note_first_received(item);
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
    const ark::sys::Fd dirfd = ark::open_restore_dir(dir.empty() ? "." : dir, ccpUser);
    for (int i = 0; i < table.count && dirfd; ++i) {
        const auto argv = restore_command(ccpUser, table.slots[static_cast<size_t>(i)]);
        const std::string text = ark::command_text(argv);
        msg("%s", text.c_str());
        const ark::WorkingDir in_restore(dir, ark::WorkingDir::Side::restore);
        // Not run elsewhere: the tool reads the files of its directory.
        const ark::ToolRun run = in_restore.entered() ? ark::run_tool(argv, {.cwd_fd = dirfd.get()}) : ark::ToolRun{};
        if (!run.started)
            msg("Warning: can't perform [%s]", text.c_str());
        ark::warn_if_failed(argv, run, ccpUser);
    }
    msg("ark_zarafa_restore_user(-)");
    return 1;
}

namespace ark {

namespace {

// The end of a mailbox's import, as the item loop acts on it. Returns false
// when the call must fail at once (the import could not be run): the
// mailbox and its files then stay, for a later call to try again.
bool conclude(RestoreIndex &index, size_t order, const std::string &user, const std::string &index_path,
              const std::string &data_path, Outcome outcome, bool &failed) {
    ARKZarafa &state = g_sARKZarafa;
    if (outcome == Outcome::failed) {
        msg("Error: can't restore user=%s, file=%s. Skipped", user.c_str(), index_path.c_str());
        return false;
    }
    if (outcome == Outcome::refused) {
        // Nothing was run and nothing is deleted there; trying again on
        // every later item would not make the directory trustworthy.
        msg("Error: mailbox %s was not restored: its restore directory can't be trusted (%s); it is not tried again "
            "in this restore",
            user.c_str(), index_path.c_str());
        failed = true;
        if (!index.remove(state.psUsers, order))
            msg("Warning: Problem occured while trying to remove user=%s", user.c_str());
    } else if (outcome == Outcome::tool_failed) {
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
    return true;
}

// Imports that run on after the call that started them, and what their
// ends taught the calls since: a failure that a call has yet to report.
struct ConcurrentImports {
    ToolPool pool;
    bool failure_to_report = false;
};

ConcurrentImports &imports() {
    static ConcurrentImports instance;
    return instance;
}

// The end of a concurrent import, with its messages still held: concluded
// as the sequential loop would, on the mailbox as the lists now stand.
void conclude_concurrent(const std::string &user, const std::string &index_path, const std::string &data_path,
                         Outcome outcome, bool stopped) {
    ARKZarafa &state = g_sARKZarafa;
    RestoreIndex &index = restore_index();
    if (stopped) {
        msg("Warning: the import of mailbox %s was stopped: the operation ended before it did", user.c_str());
        return;
    }
    const std::optional<size_t> order = index.pending_named(state.psUsers, state.psFileNames, user);
    if (!order)
        return;
    bool failed = false;
    if (!conclude(index, *order, user, index_path, data_path, outcome, failed)) {
        index.again(*order);
        failed = true;
    }
    imports().failure_to_report = imports().failure_to_report || failed;
}

// Starts the import of a ready mailbox; its messages from "user=" on are
// held until it ends. One that can't even be prepared fails the call, and
// stays ready for the next one, as in the sequential loop.
void start_concurrent(RestoreIndex &index, size_t order, const std::string &user, const std::string &index_path,
                      const std::string &data_path) {
    ARKZarafa &state = g_sARKZarafa;
    HeldMessages held;
    ToolJob job;
    job.name = user;
    auto outcome = std::make_shared<Outcome>(Outcome::restored);
    bool prepared = false;
    bool refused = false;
    SharedFd dirfd; // kept open until the job has ended
    {
        HeldMessages::Scope hold(held);
        msg("user=%s", user.c_str());
        if (state.iIsSelectiveRestore) {
            if (std::optional<SelectivePlan> plan =
                    plan_selective(state.psSelRestList, user.c_str(), index_path.c_str(), &refused)) {
                prepared = true;
                job.options.cwd_fd = plan->dirfd->get();
                dirfd = plan->dirfd;
                job.commands.assign(plan->commands.begin(), plan->commands.end());
                job.before = announce_selective;
                job.after = [user, outcome](const std::vector<std::string> &argv, const ToolRun &run) {
                    return judge_selective(argv, run, user.c_str(), *outcome);
                };
                job.finished = [user, index_path, data_path, outcome, dirfd](bool stopped) {
                    if (*outcome != Outcome::failed && !stopped)
                        msg("restore_user_selective(-)");
                    conclude_concurrent(user, index_path, data_path, *outcome, stopped);
                };
            }
        } else {
            msg("Path buf contains [%s]", index_path.c_str());
            const std::string dir(directory_of(index_path));
            if (std::optional<FullPlan> plan =
                    dir.empty() ? std::nullopt : prepare_full(dir.c_str(), user.c_str(), &refused)) {
                prepared = true;
                dirfd = plan->dirfd;
                job.options.cwd_fd = dirfd->get();
                job.options.output_to_stderr = true;
                job.commands.push_back(script_command(plan->script));
                job.after = [dirfd, script = plan->script, user, outcome](const std::vector<std::string> &,
                                                                          const ToolRun &run) {
                    *outcome = judge_full(dirfd->get(), script, run, user.c_str());
                    return true;
                };
                job.finished = [user, index_path, data_path, outcome, dirfd](bool stopped) {
                    conclude_concurrent(user, index_path, data_path, *outcome, stopped);
                };
            } else if (dir.empty()) {
                msg("Error: Incorrect path to restored files");
                imports().failure_to_report = true;
            }
        }
        if (!prepared && (refused || !imports().failure_to_report)) {
            bool failed = false;
            conclude(index, order, user, index_path, data_path, refused ? Outcome::refused : Outcome::failed, failed);
        }
        if (!prepared)
            imports().failure_to_report = true;
    }
    if (!prepared) {
        held.deliver();
        return;
    }
    // Not ready again while it runs, unless its index file comes again.
    index.acted_on(order);
    imports().pool.start(std::move(job), std::move(held), static_cast<size_t>(worker_count()));
}

// The host could not restore a file of a pending mailbox: whatever lies at
// its path is not what was saved, so the mailbox is not imported, neither
// now nor from a later file, and the call fails.
void drop_failed_mailbox(const AnnouncedFile &file) {
    ARKZarafa &state = g_sARKZarafa;
    RestoreIndex &index = restore_index();
    msg("Error: mailbox %s is not restored: the host could not restore its file %s", file.mailbox.c_str(),
        file.path.c_str());
    const std::optional<size_t> order = index.pending_named(state.psUsers, state.psFileNames, file.mailbox);
    if (order && !index.remove(state.psUsers, *order))
        msg("Warning: Problem occured while trying to remove user=%s", file.mailbox.c_str());
}

int finish_restore_concurrently() {
    ARKZarafa &state = g_sARKZarafa;
    ConcurrentImports &running = imports();
    running.pool.poll();
    RestoreIndex &index = restore_index();
    for (const size_t order : index.ready(state.psUsers, state.psFileNames)) {
        const std::string user = index.mailbox(order).name;
        const std::string index_path = index.last_path(index_file_name(user)).value_or("");
        const std::string data_path = index.last_path(data_file_name(user)).value_or("");
        if (index_path.empty() || running.pool.running(user))
            continue;
        // Mailboxes of one stem import the same files: one after the other,
        // in list order.
        const std::string stem = mailbox_file_stem(user);
        running.pool.wait_unless([&stem](const std::string &other) { return mailbox_file_stem(other) == stem; });
        start_concurrent(index, order, user, index_path, data_path);
    }
    running.pool.poll();
    if (std::exchange(running.failure_to_report, false))
        return DB_NUM_E_ERROR;
    msg("DB_ItemFinishStatus (-), reason=DB_NUM_I_OK");
    return DB_NUM_I_OK;
}

} // namespace

int finish_restore_imports() {
    ConcurrentImports &running = imports();
    running.pool.wait_all();
    return std::exchange(running.failure_to_report, false) ? DB_NUM_E_ERROR : DB_NUM_I_OK;
}

void stop_restore_imports() {
    imports().pool.stop_all();
    imports().failure_to_report = false;
    last_announced().reset();
}

int finish_restore_item(DB_ITEM_RESULT result) {
    msg("DB_ItemFinishStatus(): operation=restore");
    ARKZarafa &state = g_sARKZarafa;
    const std::optional<AnnouncedFile> announced = std::exchange(last_announced(), std::nullopt);
    const bool file_failed = result == DB_ITEM_FAIL && announced;
    if (file_failed)
        drop_failed_mailbox(*announced);
    if (!state.psFileNames || state.psFileNames->iItemCount == 0 || !state.psUsers)
        return file_failed ? DB_NUM_E_ERROR : DB_NUM_I_OK;
    if (worker_count() > 1 && !state.iRecoveryAfterNoRecover) {
        imports().failure_to_report = imports().failure_to_report || file_failed;
        return finish_restore_concurrently();
    }
    // The other mailboxes are still imported.
    bool failed = file_failed;
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
        if (!conclude(index, order, user, index_path, data_path, outcome, failed))
            return DB_NUM_E_ERROR;
    }
    if (failed)
        return DB_NUM_E_ERROR;
    msg("DB_ItemFinishStatus (-), reason=DB_NUM_I_OK");
    return DB_NUM_I_OK;
}

} // namespace ark
