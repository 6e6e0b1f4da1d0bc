#include "backup.h"

#include <chrono>
#include <optional>

#include "backup_loop.h"
#include "control_vars.h"
#include "exit_status.h"
#include "fault_hooks.h"
#include "host_core.h"
#include "item_name.h"
#include "message_log.h"
#include "plugin.h"
#include "report.h"
#include "saveset_store.h"

namespace dbhost {
namespace {

// The store of dbhost: each item becomes a file of the new save set.
class SaveSetItemStore : public ItemStore {
public:
    SaveSetItemStore(SaveSetWriter &writer, const Options &o) : writer_(writer), o_(o) {}
    DB_ITEM_RESULT store(const std::string &name, RunSummary &summary) override;
    bool make_durable() override;

private:
    SaveSetWriter &writer_;
    const Options &o_;
};

DB_ITEM_RESULT SaveSetItemStore::store(const std::string &name, RunSummary &summary) {
    SaveSetWriter &writer = writer_;
    const Options &o = o_;
    auto &log = MessageLog::get();
    ++summary.items;
    if (o.test_fail_item && summary.items == *o.test_fail_item) {
        log.warning("test hook: item " + printable(name) + " is reported as failed without being stored");
        ++summary.failed_items;
        print_failed_item(summary.items, name);
        return DB_ITEM_FAIL;
    }
    if (auto problem = item_name_problem(name)) {
        log.error("refusing item \"" + printable(name) + "\": " + *problem);
        ++summary.failed_items;
        print_failed_item(summary.items, name);
        return DB_ITEM_FAIL;
    }
    try {
        Checked stored = writer.store_item(name, std::filesystem::path("/") / name);
        summary.bytes += stored.size;
        print_progress(summary.items, name, stored.size);
        pause_after_store(o.test_store_delay);
        return DB_ITEM_SUCCESS;
    } catch (const std::exception &e) {
        log.error("item " + printable(name) + " was not stored: " + e.what());
        ++summary.failed_items;
        print_failed_item(summary.items, name);
        return DB_ITEM_FAIL;
    }
}

bool SaveSetItemStore::make_durable() {
    try {
        writer_.make_durable();
        return true;
    } catch (const std::exception &e) {
        MessageLog::get().error("the items of save set \"" + printable(*o_.saveset) +
                                "\" could not be made durable, so the plug-in is told that they are not stored "
                                "(STORED=NO): " +
                                e.what());
        return false;
    }
}

} // namespace

int run_backup(const Options &o) {
    auto &log = MessageLog::get();
    const std::unique_ptr<Plugin> plugin = Plugin::load_or_report(o.plugin);
    if (!plugin)
        return exit_usage;

    const std::string level = o.level.value_or("COPY");
    std::unique_ptr<SaveSetWriter> writer;
    try {
        BatchLimits limits;
        if (o.test_batch_items)
            limits.items = *o.test_batch_items;
        writer = std::make_unique<SaveSetWriter>(o.store, *o.saveset, level, o.job.value_or(""), o.replace, limits,
                                                 StoreFaults{o.test_kill_before_commit, o.test_fail_sync});
    } catch (const std::exception &e) {
        log.error(e.what());
        return exit_failed;
    }

    const EntryPoints db = with_fault_hooks(plugin->db(), o.test_kill_after_call);
    plugin->install_log_sink();
    ControlVars vars = backup_control_vars(o);
    log.note("backup of save set \"" + printable(*o.saveset) + "\" into " + writer->dir().string() + " with " +
             o.plugin.string());
    for (const auto &entry : vars.entries())
        log.note("control variable " + printable(entry));

    RunSummary summary;
    summary.operation = "backup";
    summary.saveset = *o.saveset;
    summary.mailboxes = o.mailboxes;
    auto started = std::chrono::steady_clock::now();
    start_progress(o.quiet);

    SaveSetItemStore store(*writer, o);
    const OperationCalls calls = run_backup_operation(db, level_of(level), vars, store, summary);
    if (!calls.stored)
        summary.store_failed = true;

    bool complete = calls.stored && summary.failed_calls == 0 && summary.failed_items == 0;
    try {
        bool replaced = writer->finish(complete);
        if (o.replace && !replaced)
            log.error("save set \"" + printable(*o.saveset) +
                      "\" was not replaced because the backup failed; the items it stored are kept as save set \"" +
                      printable(writer->kept_as()) + "\", which restores of the job use");
    } catch (const std::exception &e) {
        log.error(std::string("the save set was not finished: ") + e.what());
        complete = false;
        summary.store_failed = true;
    }
    summary.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    const int status = print_summary(summary);
    return complete ? status : exit_failed;
}

} // namespace dbhost
