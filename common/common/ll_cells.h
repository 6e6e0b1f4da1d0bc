// Internal to the linked-list modules: conversions between element pointers
// and cells, and the process exit when memory is exhausted.
#pragma once

#include "LL.h"

namespace ll {

// An element's data starts right after its t_linkLL, so the cell is one
// t_linkLL before the element pointer; the head position of a list is
// formed the same way from the head's cell.
inline l_list *cell_of(void *el) { return &(static_cast<t_linkLL *>(el) - 1)->u.ll; }
inline void *element_of(l_list *cell) { return reinterpret_cast<t_linkLL *>(cell) + 1; }
inline l_list *head_cell(t_LL list) { return &list->links.u.ll; }

// Writes "In <label>: malloc returned NULL \n" to standard error and ends the
// process with status -1; callers of the allocating operations never see a
// missing element.
[[noreturn]] void out_of_memory(const char *label);

} // namespace ll
