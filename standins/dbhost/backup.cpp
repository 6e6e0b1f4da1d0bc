#include "backup.h"

#include <array>
#include <chrono>
#include <cstring>
#include <optional>
#include <vector>

#include "control_vars.h"
#include "exit_status.h"
#include "fault_hooks.h"
#include "item_name.h"
#include "message_log.h"
#include "plugin.h"
#include "report.h"
#include "saveset_store.h"

namespace dbhost {
namespace {

// A plug-in that fails this many times in a row without handing out a
// storable item is taken to be stuck.
constexpr int give_up_after = 1000;

// Larger than the 256 characters the interface asks for, so that a plug-in
// that overruns them is caught by the length check instead of corrupting memory.
constexpr size_t item_buffer_size = 4096;

DB_ITEM_RESULT store_one(SaveSetWriter &writer, const std::string &name, RunSummary &summary, const Options &o) {
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

void item_loop(const EntryPoints &db, SaveSetWriter &writer, RunSummary &summary, const Options &o) {
    auto &log = MessageLog::get();
    int failures_in_a_row = 0;
    for (;;) {
        // Both directory arguments are the caller's and stay untouched by the
        // plug-in; they carry nothing it needs.
        std::array<char, 256> backup_directory{};
        std::array<char, 256> original_directory{'/'};
        std::vector<char> name(item_buffer_size, '\0');
        int code = db.get_item(backup_directory.data(), original_directory.data(), name.data());
        if (code == DB_NUM_I_COMPLETE)
            return;
        if (code != DB_NUM_I_OK) {
            ++summary.failed_calls;
            entry_point_succeeded("DB_GetItem", code);
            if (code != DB_NUM_E_ERROR)
                return; // nothing tells what an unknown code means; stop asking
            if (++failures_in_a_row >= give_up_after) {
                log.error("the plug-in failed " + std::to_string(give_up_after) + " times in a row; giving up");
                return;
            }
            continue; // the interface allows going on after a mailbox failed
        }
        std::string item(name.data(), ::strnlen(name.data(), name.size()));
        DB_ITEM_RESULT result = store_one(writer, item, summary, o);
        failures_in_a_row = result == DB_ITEM_FAIL ? failures_in_a_row + 1 : 0;
        if (!entry_point_succeeded("DB_ItemFinishStatus", db.item_finish_status(result)))
            ++summary.failed_calls;
        if (failures_in_a_row >= give_up_after) {
            log.error("the plug-in failed " + std::to_string(give_up_after) + " times in a row; giving up");
            return;
        }
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
        writer = std::make_unique<SaveSetWriter>(o.store, *o.saveset, level, o.job.value_or(""), o.replace);
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

    if (entry_point_succeeded("DB_InitOperation", db.init_operation(DB_TYPE_BCK, level_of(level), vars.array())))
        item_loop(db, *writer, summary, o);
    else
        ++summary.failed_calls;
    if (!entry_point_succeeded("DB_CloseOperation", db.close_operation(vars.array())))
        ++summary.failed_calls;

    bool complete = summary.failed_calls == 0 && summary.failed_items == 0;
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
