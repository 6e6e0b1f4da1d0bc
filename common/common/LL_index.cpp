// Index tables and positions of list elements.
#include "LL.h"

#include <cstdlib>
#include <limits>

#include "ll_cells.h"

extern "C" void **LookInLL(t_LL list) {
    const unsigned long size = SizeLL(list);
    if (size >= std::numeric_limits<size_t>::max() / sizeof(void *))
        ll::out_of_memory("LookInLL");
    auto **table = static_cast<void **>(std::malloc((size + 1) * sizeof(void *)));
    if (!table)
        ll::out_of_memory("LookInLL");
    table[0] = list;
    size_t i = 1;
    for (void *el = FirstElmLL(list); IsElmLL(el); el = NextElmLL(el))
        table[i++] = el;
    return table;
}

extern "C" unsigned long IndexElmLL(t_LL list, void *ind_el) {
    unsigned long position = 1;
    for (void *el = FirstElmLL(list); IsElmLL(el); el = NextElmLL(el), ++position)
        if (el == ind_el)
            return position;
    return 0;
}
