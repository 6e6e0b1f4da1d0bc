// Circular doubly linked lists whose elements carry their link cell directly
// in front of their data.
#include "LL.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>

#include "ll_cells.h"

using ll::cell_of;
using ll::element_of;
using ll::head_cell;

extern "C" const char NullMall[] = "malloc returned NULL";

namespace ll {

void out_of_memory(const char *label) {
    std::fprintf(stderr, "In %s: %s \n", label, NullMall);
    std::exit(-1);
}

} // namespace ll

namespace {

// Steps |num| cells along forward (num > 0) or backward (num < 0); the head
// counts as a stop like any element.
l_list *walk(l_list *cell, long num) {
    if (num >= 0) {
        for (long i = 0; i < num; ++i)
            cell = cell->forward;
    } else {
        // Counting up to 0 avoids negating LONG_MIN.
        for (long i = num; i < 0; ++i)
            cell = cell->backward;
    }
    return cell;
}

} // namespace

// ---- Cell primitives ------------------------------------------------------

extern "C" void l_lafter(l_list *current, l_list *newEl) {
    newEl->forward = current->forward;
    newEl->backward = current;
    current->forward->backward = newEl;
    current->forward = newEl;
}

extern "C" void l_lbefore(l_list *current, l_list *newEl) {
    newEl->backward = current->backward;
    newEl->forward = current;
    current->backward->forward = newEl;
    current->backward = newEl;
}

extern "C" void l_unlink(l_list *link) {
    link->forward->backward = link->backward;
    link->backward->forward = link->forward;
}

extern "C" void l_linit(l_list *link) {
    link->forward = link;
    link->backward = link;
}

// ---- Linking and unlinking existing elements ------------------------------

extern "C" void *LinkFirstLL(t_LL list, void *newEl) {
    l_lafter(head_cell(list), cell_of(newEl));
    return newEl;
}

extern "C" void *LinkLastLL(t_LL list, void *newEl) {
    l_lbefore(head_cell(list), cell_of(newEl));
    return newEl;
}

extern "C" void *LinkAftLL(void *curr, void *newEl) {
    l_lafter(cell_of(curr), cell_of(newEl));
    return newEl;
}

extern "C" void *LinkBefLL(void *curr, void *newEl) {
    l_lbefore(cell_of(curr), cell_of(newEl));
    return newEl;
}

extern "C" void *UnlinkLL(void *el) {
    l_unlink(cell_of(el));
    return el;
}

extern "C" void *UnlinkNeLL(void *el) {
    l_list *next = cell_of(el)->forward;
    l_unlink(cell_of(el));
    return element_of(next);
}

extern "C" void *UnlinkPrLL(void *el) {
    l_list *prev = cell_of(el)->backward;
    l_unlink(cell_of(el));
    return element_of(prev);
}

extern "C" void *LinkInsLLf(l_list *li, size_t size, l_list *newEl, void (*linkin)(l_list *, l_list *)) {
    linkin(li, newEl);
    newEl->size = size;
    return element_of(newEl);
}

extern "C" void *LinkInsBefLLf(void *el, size_t size, void *newEl) {
    return LinkInsLLf(cell_of(el), size, cell_of(newEl), l_lbefore);
}

extern "C" void *LinkInsAftLLf(void *el, size_t size, void *newEl) {
    return LinkInsLLf(cell_of(el), size, cell_of(newEl), l_lafter);
}

extern "C" void *LinkInsLastLLf(t_LL list, size_t size, void *newEl) {
    return LinkInsLLf(head_cell(list), size, cell_of(newEl), l_lbefore);
}

extern "C" void *LinkInsFirstLLf(t_LL list, size_t size, void *newEl) {
    return LinkInsLLf(head_cell(list), size, cell_of(newEl), l_lafter);
}

// ---- Inserting copies -----------------------------------------------------

extern "C" void *InsLLf(l_list *li, size_t size, const void *data, void (*linkin)(l_list *, l_list *)) {
    // A size that cannot be added to the cell's is as unobtainable as memory.
    if (size > std::numeric_limits<size_t>::max() - sizeof(t_linkLL))
        ll::out_of_memory("InsLLf");
    auto *block = static_cast<t_linkLL *>(std::malloc(sizeof(t_linkLL) + size));
    if (!block)
        ll::out_of_memory("InsLLf");
    l_list *cell = &block->u.ll;
    linkin(li, cell);
    if (size != 0)
        std::memcpy(element_of(cell), data, size);
    cell->size = size;
    return element_of(cell);
}

extern "C" void *InsBefLLf(void *el, size_t size, const void *data) {
    return InsLLf(cell_of(el), size, data, l_lbefore);
}

extern "C" void *InsAftLLf(void *el, size_t size, const void *data) {
    return InsLLf(cell_of(el), size, data, l_lafter);
}

extern "C" void *InsLastLLf(t_LL list, size_t size, const void *data) {
    return InsLLf(head_cell(list), size, data, l_lbefore);
}

extern "C" void *InsFirstLLf(t_LL list, size_t size, const void *data) {
    return InsLLf(head_cell(list), size, data, l_lafter);
}

// ---- Deleting -------------------------------------------------------------

extern "C" void DelElmLL(void *el) {
    l_list *cell = cell_of(el);
    l_unlink(cell);
    std::free(cell);
}

extern "C" void *DelElmNeLL(void *el) {
    void *next = element_of(cell_of(el)->forward);
    DelElmLL(el);
    return next;
}

extern "C" void *DelElmPrLL(void *el) {
    void *prev = element_of(cell_of(el)->backward);
    DelElmLL(el);
    return prev;
}

// ---- Navigation -----------------------------------------------------------

extern "C" void *FirstElmLL(t_LL list) { return element_of(head_cell(list)->forward); }
extern "C" void *LastElmLL(t_LL list) { return element_of(head_cell(list)->backward); }
extern "C" void *NextElmLL(void *el) { return element_of(cell_of(el)->forward); }
extern "C" void *PrevElmLL(void *el) { return element_of(cell_of(el)->backward); }

extern "C" void *NextCElmLL(void *el) {
    l_list *next = cell_of(el)->forward;
    if (next->size == 0)
        next = next->forward;
    return element_of(next);
}

extern "C" void *PrevCElmLL(void *el) {
    l_list *prev = cell_of(el)->backward;
    if (prev->size == 0)
        prev = prev->backward;
    return element_of(prev);
}

extern "C" void *NthElmLL(t_LL list, long num) { return element_of(walk(head_cell(list), num)); }
extern "C" void *RelNthElmLL(void *el, long num) { return element_of(walk(cell_of(el), num)); }

// ---- Tests ----------------------------------------------------------------

extern "C" int IsElmLL(void *el) { return cell_of(el)->size != 0; }
extern "C" int IsFirstElmLL(void *el) { return cell_of(el)->backward->size == 0; }
extern "C" int IsLastElmLL(void *el) { return cell_of(el)->forward->size == 0; }
extern "C" int IsNthElmLL(t_LL list, long n, void *el) { return NthElmLL(list, n) == el; }

extern "C" int IsEmptyLL(t_LL list) {
    l_list *head = head_cell(list);
    return head->forward == head;
}

// ---- Whole lists ----------------------------------------------------------

extern "C" t_LL InitLL(s_LL *head) {
    l_linit(&head->links.u.ll);
    head->links.u.ll.size = 0;
    return head;
}

extern "C" t_LL ConsLL(void) {
    auto *head = static_cast<s_LL *>(std::malloc(sizeof(s_LL)));
    if (!head)
        ll::out_of_memory("CreatLL");
    return InitLL(head);
}

extern "C" t_LL EmptyLL(t_LL list) {
    l_list *head = head_cell(list);
    // The head is recognised by its address, so an element of size 0 linked
    // against the rules is still released.
    for (l_list *cell = head->forward; cell != head;) {
        l_list *next = cell->forward;
        std::free(cell);
        cell = next;
    }
    l_linit(head);
    return list;
}

extern "C" t_LL DestLL(t_LL list) {
    std::free(EmptyLL(list));
    return nullptr;
}

extern "C" void *ApplyLL(t_LL list, void *(*apply)(void *)) {
    for (void *el = FirstElmLL(list); IsElmLL(el);) {
        void *next = NextElmLL(el);
        if (void *result = apply(el))
            return result;
        el = next;
    }
    return nullptr;
}

extern "C" t_LL ReverseLL(t_LL list) {
    l_list *head = head_cell(list);
    l_list *cell = head;
    do {
        l_list *next = cell->forward;
        cell->forward = cell->backward;
        cell->backward = next;
        cell = next;
    } while (cell != head);
    return list;
}

extern "C" unsigned long SizeLL(t_LL list) {
    l_list *head = head_cell(list);
    unsigned long count = 0;
    for (l_list *cell = head->forward; cell != head; cell = cell->forward)
        ++count;
    return count;
}

extern "C" t_LL ConsPtrLL(t_LL src) {
    t_LL copy = ConsLL();
    for (void *el = FirstElmLL(src); IsElmLL(el); el = NextElmLL(el))
        InsLastLLf(copy, sizeof el, &el);
    return copy;
}

extern "C" t_LL ConsCopyLL(t_LL src) {
    t_LL copy = ConsLL();
    for (void *el = FirstElmLL(src); IsElmLL(el); el = NextElmLL(el))
        InsLastLLf(copy, cell_of(el)->size, el);
    return copy;
}
