// Moving runs of elements within and between lists by relinking: nothing is
// copied or allocated, and every element keeps its address.
#include "LL.h"

#include "ll_cells.h"

using ll::cell_of;
using ll::head_cell;

extern "C" void CutPaste(l_list *first_out, l_list *first_not_out, l_list *dest) {
    l_list *last = first_not_out->backward;
    // Putting a run after its own last cell leaves it where it is; relinking
    // it would tie the run into a circle of its own and lose the list.
    if (first_out == first_not_out || dest == last)
        return;
    l_list *before = first_out->backward;
    before->forward = first_not_out;
    first_not_out->backward = before;

    last->forward = dest->forward;
    first_out->backward = dest;
    dest->forward->backward = last;
    dest->forward = first_out;
}

namespace {

// Where the four placements put a run: after the head (First), after the last
// cell (Last), after el (Aft), after the cell before el (Bef).
l_list *front_of(t_LL dest) { return head_cell(dest); }
l_list *end_of(t_LL dest) { return head_cell(dest)->backward; }
l_list *after(void *el) { return cell_of(el); }
l_list *before(void *el) { return cell_of(el)->backward; }

// The three runs: all of src, the elements before head, tail and after.
struct Run {
    l_list *first_out;
    l_list *first_not_out;
};
Run whole(t_LL src) { return {head_cell(src)->forward, head_cell(src)}; }
Run up_to(t_LL src, void *head) { return {head_cell(src)->forward, cell_of(head)}; }
Run from(t_LL src, void *tail) { return {cell_of(tail), head_cell(src)}; }

void move(Run run, l_list *dest) { CutPaste(run.first_out, run.first_not_out, dest); }

} // namespace

extern "C" t_LL MoveListFirstLL(t_LL dest, t_LL src) {
    move(whole(src), front_of(dest));
    return dest;
}

extern "C" t_LL MoveListLastLL(t_LL dest, t_LL src) {
    move(whole(src), end_of(dest));
    return dest;
}

extern "C" void *MoveListAftLL(void *el, t_LL src) {
    move(whole(src), after(el));
    return el;
}

extern "C" void *MoveListBefLL(void *el, t_LL src) {
    move(whole(src), before(el));
    return el;
}

extern "C" t_LL MoveHeadFirstLL(t_LL dest, t_LL src, void *head) {
    move(up_to(src, head), front_of(dest));
    return dest;
}

extern "C" t_LL MoveHeadLastLL(t_LL dest, t_LL src, void *head) {
    move(up_to(src, head), end_of(dest));
    return dest;
}

extern "C" void *MoveHeadAftLL(void *el, t_LL src, void *head) {
    move(up_to(src, head), after(el));
    return el;
}

extern "C" void *MoveHeadBefLL(void *el, t_LL src, void *head) {
    move(up_to(src, head), before(el));
    return el;
}

extern "C" t_LL MoveTailFirstLL(t_LL dest, t_LL src, void *tail) {
    move(from(src, tail), front_of(dest));
    return dest;
}

extern "C" t_LL MoveTailLastLL(t_LL dest, t_LL src, void *tail) {
    move(from(src, tail), end_of(dest));
    return dest;
}

extern "C" void *MoveTailAftLL(void *el, t_LL src, void *tail) {
    move(from(src, tail), after(el));
    return el;
}

extern "C" void *MoveTailBefLL(void *el, t_LL src, void *tail) {
    move(from(src, tail), before(el));
    return el;
}
