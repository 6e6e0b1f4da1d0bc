// Sorting lists in place: through an array and qsort, or by a stable merge
// sort on the forward links that allocates nothing.
#include "LL.h"

#include <cstdlib>
#include <limits>

#include "ll_cells.h"

using ll::element_of;
using ll::head_cell;

extern "C" {
int (*UserCompare)(const void *, const void *) = nullptr;
int (*listcompare)(const void *, const void *) = nullptr;
}

extern "C" int IntCompare(const void *el1, const void *el2) {
    return UserCompare(*static_cast<void *const *>(el1), *static_cast<void *const *>(el2));
}

extern "C" t_LL SysSortLL(t_LL list, int (*compar)(const void *, const void *)) {
    const unsigned long size = SizeLL(list);
    UserCompare = compar;
    if (size < 2)
        return list;
    if (size > std::numeric_limits<size_t>::max() / sizeof(void *))
        ll::out_of_memory("SysSortLL");
    auto **slots = static_cast<void **>(std::malloc(size * sizeof(void *)));
    if (!slots)
        ll::out_of_memory("SysSortLL");
    size_t i = 0;
    for (void *el = FirstElmLL(list); IsElmLL(el); el = NextElmLL(el))
        slots[i++] = el;

    std::qsort(slots, size, sizeof(void *), IntCompare);

    l_list *head = head_cell(list);
    l_linit(head);
    for (i = 0; i < size; ++i)
        l_lbefore(head, ll::cell_of(slots[i]));
    std::free(slots);
    return list;
}

namespace {

inline int compare(l_list *first, l_list *second) { return listcompare(element_of(first), element_of(second)); }

} // namespace

extern "C" l_list **listsort(l_list **head, unsigned int n) {
    if (n == 0)
        return head;
    l_list *p1 = *head;
    if (n == 1)
        return &p1->forward;
    if (n == 2) {
        l_list *p2 = p1->forward;
        if (compare(p1, p2) <= 0)
            return &p2->forward;
        *head = p2;
        p1->forward = p2->forward;
        p2->forward = p1;
        return &p1->forward;
    }

    // The first run takes the larger half.
    unsigned int m = n / 2;
    n -= m;
    l_list **h2 = listsort(head, n);
    l_list **t2 = listsort(h2, m);
    p1 = *head;
    l_list *p2 = *h2;

    // n and m count the cells of each run not yet passed; *head is the link
    // that leads to the next cell of the result. On equality the first run's
    // cell goes first, which keeps the sort stable.
    bool first_goes_next = compare(p1, p2) <= 0;
    if (!first_goes_next)
        *head = p2;
    for (;;) {
        if (first_goes_next) {
            do {
                if (--n == 0) {
                    *h2 = p2;
                    return t2;
                }
                head = &p1->forward;
                p1 = *head;
            } while (compare(p1, p2) <= 0);
            *head = p2;
        } else {
            do {
                if (--m == 0) {
                    // The first run's last cell now leads on to what
                    // followed both runs.
                    *h2 = *t2;
                    *t2 = p1;
                    return h2;
                }
                head = &p2->forward;
                p2 = *head;
            } while (compare(p1, p2) > 0);
            *head = p1;
        }
        first_goes_next = !first_goes_next;
    }
}

extern "C" t_LL MergeSortLL(t_LL list, int (*compar)(const void *, const void *)) {
    const unsigned long size = SizeLL(list);
    listcompare = compar;
    l_list *head = head_cell(list);
    listsort(&head->forward, static_cast<unsigned int>(size));

    // listsort sets forward only; walk the new order to set backward.
    l_list *cell = head;
    for (unsigned long i = 0; i < size; ++i) {
        cell->forward->backward = cell;
        cell = cell->forward;
    }
    cell->forward->backward = cell;
    return list;
}
