// Strings in the FIFO lists of the C interface: pushed with their
// terminator, as every C caller pushes them, and read back whole whatever
// their length.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "list.h"

namespace ark {

// The string an item holds: up to its terminator, never past the item.
std::string_view item_text(const LIST_ITEM *item);

// Appends text with its terminator (length plus 1); false when the list
// refused it.
bool push_string(LIST_INFO *list, std::string_view text);

// Takes the head of the list as a string; false when the list is empty or
// refused.
bool pull_string(LIST_INFO *list, std::string &out);

// The strings of the list, in order.
std::vector<std::string> strings_of(const LIST_INFO *list);

} // namespace ark
