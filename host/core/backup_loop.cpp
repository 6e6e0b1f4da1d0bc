#include "backup_loop.h"

#include <array>
#include <cstring>
#include <vector>

#include "message_log.h"

namespace host {
namespace {

// A plug-in that fails this many times in a row without handing out a
// storable item is taken to be stuck.
constexpr int give_up_after = 1000;

// Larger than the 256 characters the interface asks for, so that a plug-in
// that overruns them is caught by the length check instead of corrupting memory.
constexpr size_t item_buffer_size = 4096;

} // namespace

void backup_item_loop(const EntryPoints &db, ItemStore &store, RunSummary &summary) {
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
        DB_ITEM_RESULT result = store.store(item, summary);
        failures_in_a_row = result == DB_ITEM_FAIL ? failures_in_a_row + 1 : 0;
        if (!entry_point_succeeded("DB_ItemFinishStatus", db.item_finish_status(result)))
            ++summary.failed_calls;
        if (failures_in_a_row >= give_up_after) {
            log.error("the plug-in failed " + std::to_string(give_up_after) + " times in a row; giving up");
            return;
        }
    }
}

OperationCalls run_backup_operation(const EntryPoints &db, DB_OPERATION_LEVEL level, ControlVars &vars, ItemStore &store,
                          RunSummary &summary) {
    OperationCalls calls;
    calls.init = entry_point_succeeded("DB_InitOperation", db.init_operation(DB_TYPE_BCK, level, vars.array()));
    if (calls.init)
        backup_item_loop(db, store, summary);
    else
        ++summary.failed_calls;
    calls.stored = store.make_durable();
    if (!calls.stored)
        vars.add("STORED=NO");
    calls.close = entry_point_succeeded("DB_CloseOperation", db.close_operation(vars.array()));
    if (!calls.close)
        ++summary.failed_calls;
    return calls;
}

} // namespace host
