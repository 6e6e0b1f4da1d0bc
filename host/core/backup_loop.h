// The backup side of an operation: DB_InitOperation, the item loop that
// pulls items from the plug-in and acknowledges each one, DB_CloseOperation.
// Where an item is kept is the front end's business.
#pragma once

#include <string>

#include "control_vars.h"
#include "db_interface.h"
#include "plugin.h"
#include "run_summary.h"

namespace host {

// Which of the calls that frame an operation succeeded: a front end fails
// the whole run when one did not, while a failed item only marks it.
struct OperationCalls {
    bool init = false;  // DB_InitOperation
    bool close = false; // DB_CloseOperation
    // What the store's make_durable said; false means DB_CloseOperation was
    // given "STORED=NO".
    bool stored = true;
};

// Where a front end keeps the items of a backup.
class ItemStore {
public:
    virtual ~ItemStore() = default;
    // Keeps the file "/" + name (a name as the plug-in handed it out) and
    // counts it in summary. DB_ITEM_SUCCESS only once the item is kept whole:
    // the plug-in may delete the file as soon as it hears so. The item need
    // not be durable yet: make_durable answers for it.
    virtual DB_ITEM_RESULT store(const std::string &name, RunSummary &summary) = 0;

    // Called once after the item loop, before DB_CloseOperation: makes every
    // item acknowledged with DB_ITEM_SUCCESS durable (power loss included),
    // since the plug-in takes them as stored from that call on. False, after
    // an "Error:" of the store's own, when it could not; DB_CloseOperation
    // is then given "STORED=NO" and the plug-in keeps none of them as
    // stored. A store that makes each item durable before acknowledging it
    // keeps this default.
    virtual bool make_durable() { return true; }
};

// Pulls items until the plug-in reports DB_NUM_I_COMPLETE, hands each to
// store and its result to DB_ItemFinishStatus. A plug-in that fails without
// handing out an item may go on (a mailbox failed); one that fails 1000
// times in a row, or returns a code nothing explains, is given up on.
void backup_item_loop(const EntryPoints &db, ItemStore &store, RunSummary &summary);

// The whole operation: DB_InitOperation(DB_TYPE_BCK, level, vars), the item
// loop when it succeeded, store.make_durable(), and DB_CloseOperation(vars)
// in any case, with "STORED=NO" added to vars when make_durable failed.
// Entry points that did not succeed are counted in summary.failed_calls;
// which of the two framing calls succeeded, and whether the items were
// made durable, is returned.
OperationCalls run_backup_operation(const EntryPoints &db, DB_OPERATION_LEVEL level, ControlVars &vars, ItemStore &store,
                          RunSummary &summary);

} // namespace host
