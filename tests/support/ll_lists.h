// Helpers of the linked-list tests: build lists through the plug-in, read
// them back, and check that every link of the circle agrees with its
// neighbour.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "LL.h"
#include "support/plugin_host.h"

namespace arktest::lists {

inline l_list *cell(void *el) { return &(static_cast<t_linkLL *>(el) - 1)->u.ll; }
inline l_list *head_cell(t_LL list) { return &list->links.u.ll; }
// The address navigation returns when it runs off the list.
inline void *head_position(t_LL list) { return &list->links + 1; }

// Owns a list made by ConsLL and destroys it through the plug-in.
class List {
public:
    List() : list_(ARK_FN(ConsLL)()) {}
    explicit List(t_LL adopted) : list_(adopted) {}
    ~List() {
        if (list_)
            ARK_FN(DestLL)(list_);
    }
    List(const List &) = delete;
    List &operator=(const List &) = delete;
    t_LL get() const { return list_; }
    operator t_LL() const { return list_; }

private:
    t_LL list_;
};

inline void *append_int(t_LL list, int value) { return ARK_FN(InsLastLLf)(list, sizeof value, &value); }

inline void append_ints(t_LL list, const std::vector<int> &values) {
    for (int v : values)
        append_int(list, v);
}

inline int value_of(void *el) { return *static_cast<int *>(el); }

// The element pointers of list in forward order.
inline std::vector<void *> elements(t_LL list) {
    std::vector<void *> out;
    for (void *el = ARK_FN(FirstElmLL)(list); ARK_FN(IsElmLL)(el); el = ARK_FN(NextElmLL)(el))
        out.push_back(el);
    return out;
}

inline std::vector<int> ints(t_LL list) {
    std::vector<int> out;
    for (void *el : elements(list))
        out.push_back(value_of(el));
    return out;
}

// The element pointers of list walking backward from the last element.
inline std::vector<void *> elements_backward(t_LL list) {
    std::vector<void *> out;
    for (void *el = ARK_FN(LastElmLL)(list); ARK_FN(IsElmLL)(el); el = ARK_FN(PrevElmLL)(el))
        out.push_back(el);
    return out;
}

// The circle through the head is closed in both directions, every forward
// link is mirrored by a backward link, only the head has size 0, and the
// backward walk is the forward walk reversed.
inline ::testing::AssertionResult links_consistent(t_LL list, size_t limit = 10'000'000) {
    l_list *head = head_cell(list);
    if (head->size != 0)
        return ::testing::AssertionFailure() << "head size is " << head->size;
    size_t count = 0;
    l_list *c = head;
    do {
        if (c->forward->backward != c)
            return ::testing::AssertionFailure() << "forward link of cell " << count << " is not mirrored";
        c = c->forward;
        if (c != head && c->size == 0)
            return ::testing::AssertionFailure() << "element " << count << " has size 0";
        if (++count > limit)
            return ::testing::AssertionFailure() << "forward walk does not return to the head";
    } while (c != head);
    std::vector<void *> forward = elements(list);
    std::vector<void *> backward = elements_backward(list);
    if (std::vector<void *>(backward.rbegin(), backward.rend()) != forward)
        return ::testing::AssertionFailure() << "backward walk is not the forward walk reversed";
    return ::testing::AssertionSuccess();
}

} // namespace arktest::lists
