// The two branches of DB_ItemFinishStatus.
#pragma once

#include "db_interface.h"

namespace ark {

// Backup: delete the delivered file as the level asks.
int finish_backup_item(DB_ITEM_RESULT result);

// Restore: import every pending mailbox whose index file has arrived.
int finish_restore_item(DB_ITEM_RESULT result);

} // namespace ark
