// Change tracking for FIFO lists, for indexes kept beside a list: every
// change a list function makes gives the list a new version, unique across
// all lists of the process, so an index that recorded the version it was
// built at can tell whether the list has changed since, even when a list
// freed in between is replaced by a new one at the same address.
#pragma once

#include <cstdint>

#include "list.h"

namespace ark {

// The list's current version; 0 for a missing list.
uint64_t fifo_list_version(const LIST_INFO *list);

// Removes item, whose predecessor in the chain is previous (nullptr for the
// head), exactly as RemoveFIFOItemAt removes it at its position, without
// walking to it. FALSE when item is not where the caller says.
BOOL unlink_fifo_item(LIST_INFO *list, LIST_ITEM *previous, LIST_ITEM *item);

} // namespace ark
