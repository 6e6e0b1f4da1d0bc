// The two branches of DB_ItemFinishStatus.
#pragma once

#include "db_interface.h"

namespace ark {

// Backup: delete the delivered file as the level asks.
int finish_backup_item(DB_ITEM_RESULT result);

// Restore: import every pending mailbox whose index file has arrived.
int finish_restore_item(DB_ITEM_RESULT result);

// With more than one worker, imports run on after the call that started
// them. The close waits for every one and concludes it: DB_NUM_E_ERROR when
// an import failed that no earlier call reported. A new operation stops them.
int finish_restore_imports();
void stop_restore_imports();

} // namespace ark
