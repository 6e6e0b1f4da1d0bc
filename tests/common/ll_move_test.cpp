// Moving runs of list elements between and within lists, index tables and
// positions: every move form, the edge runs (empty, whole list), rotation of
// a list onto itself, and that elements keep their addresses.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

#include "LL.h"
#include "support/ll_lists.h"
#include "support/plugin_host.h"

namespace {

using namespace arktest::lists;

void *find(t_LL list, int value) {
    for (void *el : elements(list))
        if (value_of(el) == value)
            return el;
    ADD_FAILURE() << "no element " << value;
    return nullptr;
}

struct MoveCase {
    const char *name;
    // Moves from src = 1 2 3 4 5 into dest = 10 20 30; returns the result of
    // the operation and what it should be.
    std::function<std::pair<void *, void *>(t_LL dest, t_LL src)> move;
    std::vector<int> dest_after;
    std::vector<int> src_after;
};

void PrintTo(const MoveCase &c, std::ostream *os) { *os << c.name; }

class LLMoveForms : public ::testing::TestWithParam<MoveCase> {};

TEST_P(LLMoveForms, MovesTheRunInOrderWithoutCopying) {
    const MoveCase &c = GetParam();
    List dest, src;
    append_ints(dest, {10, 20, 30});
    append_ints(src, {1, 2, 3, 4, 5});
    std::vector<void *> before = elements(dest);
    for (void *el : elements(src))
        before.push_back(el);

    const auto [result, expected] = c.move(dest, src);
    EXPECT_EQ(result, expected);
    EXPECT_EQ(ints(dest), c.dest_after);
    EXPECT_EQ(ints(src), c.src_after);
    EXPECT_TRUE(links_consistent(dest));
    EXPECT_TRUE(links_consistent(src));

    std::vector<void *> after = elements(dest);
    for (void *el : elements(src))
        after.push_back(el);
    std::sort(before.begin(), before.end());
    std::sort(after.begin(), after.end());
    EXPECT_EQ(after, before) << "elements were copied or lost";
}

using Pair = std::pair<void *, void *>;

INSTANTIATE_TEST_SUITE_P(
    AllTwelve, LLMoveForms,
    ::testing::Values(
        MoveCase{"ListFirst", [](t_LL d, t_LL s) { return Pair(ARK_FN(MoveListFirstLL)(d, s), d); },
                 {1, 2, 3, 4, 5, 10, 20, 30}, {}},
        MoveCase{"ListLast", [](t_LL d, t_LL s) { return Pair(ARK_FN(MoveListLastLL)(d, s), d); },
                 {10, 20, 30, 1, 2, 3, 4, 5}, {}},
        MoveCase{"ListAft",
                 [](t_LL d, t_LL s) {
                     void *el = find(d, 20);
                     return Pair(ARK_FN(MoveListAftLL)(el, s), el);
                 },
                 {10, 20, 1, 2, 3, 4, 5, 30}, {}},
        MoveCase{"ListBef",
                 [](t_LL d, t_LL s) {
                     void *el = find(d, 20);
                     return Pair(ARK_FN(MoveListBefLL)(el, s), el);
                 },
                 {10, 1, 2, 3, 4, 5, 20, 30}, {}},
        MoveCase{"ListBefFirst",
                 [](t_LL d, t_LL s) {
                     void *el = find(d, 10);
                     return Pair(ARK_FN(MoveListBefLL)(el, s), el);
                 },
                 {1, 2, 3, 4, 5, 10, 20, 30}, {}},
        MoveCase{"HeadFirst", [](t_LL d, t_LL s) { return Pair(ARK_FN(MoveHeadFirstLL)(d, s, find(s, 3)), d); },
                 {1, 2, 10, 20, 30}, {3, 4, 5}},
        MoveCase{"HeadLast", [](t_LL d, t_LL s) { return Pair(ARK_FN(MoveHeadLastLL)(d, s, find(s, 3)), d); },
                 {10, 20, 30, 1, 2}, {3, 4, 5}},
        MoveCase{"HeadAft",
                 [](t_LL d, t_LL s) {
                     void *el = find(d, 30);
                     return Pair(ARK_FN(MoveHeadAftLL)(el, s, find(s, 3)), el);
                 },
                 {10, 20, 30, 1, 2}, {3, 4, 5}},
        MoveCase{"HeadBef",
                 [](t_LL d, t_LL s) {
                     void *el = find(d, 20);
                     return Pair(ARK_FN(MoveHeadBefLL)(el, s, find(s, 3)), el);
                 },
                 {10, 1, 2, 20, 30}, {3, 4, 5}},
        MoveCase{"HeadOfFirstMovesNothing",
                 [](t_LL d, t_LL s) { return Pair(ARK_FN(MoveHeadFirstLL)(d, s, find(s, 1)), d); },
                 {10, 20, 30}, {1, 2, 3, 4, 5}},
        MoveCase{"HeadAtHeadPositionMovesAll",
                 [](t_LL d, t_LL s) { return Pair(ARK_FN(MoveHeadLastLL)(d, s, head_position(s)), d); },
                 {10, 20, 30, 1, 2, 3, 4, 5}, {}},
        MoveCase{"TailFirst", [](t_LL d, t_LL s) { return Pair(ARK_FN(MoveTailFirstLL)(d, s, find(s, 3)), d); },
                 {3, 4, 5, 10, 20, 30}, {1, 2}},
        MoveCase{"TailLast", [](t_LL d, t_LL s) { return Pair(ARK_FN(MoveTailLastLL)(d, s, find(s, 3)), d); },
                 {10, 20, 30, 3, 4, 5}, {1, 2}},
        MoveCase{"TailAft",
                 [](t_LL d, t_LL s) {
                     void *el = find(d, 20);
                     return Pair(ARK_FN(MoveTailAftLL)(el, s, find(s, 3)), el);
                 },
                 {10, 20, 3, 4, 5, 30}, {1, 2}},
        MoveCase{"TailBef",
                 [](t_LL d, t_LL s) {
                     void *el = find(d, 20);
                     return Pair(ARK_FN(MoveTailBefLL)(el, s, find(s, 3)), el);
                 },
                 {10, 3, 4, 5, 20, 30}, {1, 2}},
        MoveCase{"TailOfFirstMovesAll",
                 [](t_LL d, t_LL s) { return Pair(ARK_FN(MoveTailLastLL)(d, s, find(s, 1)), d); },
                 {10, 20, 30, 1, 2, 3, 4, 5}, {}},
        MoveCase{"TailOfLastMovesOne",
                 [](t_LL d, t_LL s) { return Pair(ARK_FN(MoveTailFirstLL)(d, s, find(s, 5)), d); },
                 {5, 10, 20, 30}, {1, 2, 3, 4}}),
    [](const ::testing::TestParamInfo<MoveCase> &info) { return std::string(info.param.name); });

TEST(LLMoveEdges, EmptySourceOrDestination) {
    List dest, src;
    append_ints(dest, {1, 2});
    ARK_FN(MoveListFirstLL)(dest, src);
    ARK_FN(MoveListLastLL)(dest, src);
    ARK_FN(MoveListAftLL)(find(dest, 1), src);
    EXPECT_EQ(ints(dest), (std::vector<int>{1, 2}));
    EXPECT_EQ(ARK_FN(IsEmptyLL)(src), 1);
    EXPECT_TRUE(links_consistent(dest));
    EXPECT_TRUE(links_consistent(src));

    // All of a list into an empty one, at its end: the empty list's last
    // cell is its head.
    ARK_FN(MoveListLastLL)(src, dest);
    EXPECT_EQ(ints(src), (std::vector<int>{1, 2}));
    EXPECT_EQ(ARK_FN(IsEmptyLL)(dest), 1);
    ARK_FN(MoveTailLastLL)(dest, src, find(src, 2));
    EXPECT_EQ(ints(dest), std::vector<int>{2});
    EXPECT_EQ(ints(src), std::vector<int>{1});
    EXPECT_TRUE(links_consistent(dest));
    EXPECT_TRUE(links_consistent(src));
}

struct SameListCase {
    const char *name;
    std::function<void(t_LL)> move;
    std::vector<int> after;
};

void PrintTo(const SameListCase &c, std::ostream *os) { *os << c.name; }

class LLMoveWithinList : public ::testing::TestWithParam<SameListCase> {};

TEST_P(LLMoveWithinList, RotatesOrLeavesTheListWhole) {
    List list;
    append_ints(list, {1, 2, 3, 4, 5});
    GetParam().move(list);
    EXPECT_EQ(ints(list), GetParam().after);
    EXPECT_TRUE(links_consistent(list));
}

INSTANTIATE_TEST_SUITE_P(
    Forms, LLMoveWithinList,
    ::testing::Values(
        SameListCase{"TailToFront", [](t_LL l) { ARK_FN(MoveTailFirstLL)(l, l, find(l, 4)); }, {4, 5, 1, 2, 3}},
        SameListCase{"FirstAsTailToFront", [](t_LL l) { ARK_FN(MoveTailFirstLL)(l, l, find(l, 1)); },
                     {1, 2, 3, 4, 5}},
        SameListCase{"HeadToEnd", [](t_LL l) { ARK_FN(MoveHeadLastLL)(l, l, find(l, 3)); }, {3, 4, 5, 1, 2}},
        SameListCase{"HeadAfterLast", [](t_LL l) { ARK_FN(MoveHeadAftLL)(find(l, 5), l, find(l, 2)); },
                     {2, 3, 4, 5, 1}},
        SameListCase{"TailBeforeSecond", [](t_LL l) { ARK_FN(MoveTailBefLL)(find(l, 2), l, find(l, 5)); },
                     {1, 5, 2, 3, 4}},
        SameListCase{"WholeListToFront", [](t_LL l) { ARK_FN(MoveListFirstLL)(l, l); }, {1, 2, 3, 4, 5}},
        // The destination is the run's own last cell: nothing moves.
        SameListCase{"WholeListToEnd", [](t_LL l) { ARK_FN(MoveListLastLL)(l, l); }, {1, 2, 3, 4, 5}},
        SameListCase{"TailToEnd", [](t_LL l) { ARK_FN(MoveTailLastLL)(l, l, find(l, 3)); }, {1, 2, 3, 4, 5}}),
    [](const ::testing::TestParamInfo<SameListCase> &info) { return std::string(info.param.name); });

TEST(LLCutPaste, EmptyRunChangesNothing) {
    List a, b;
    append_ints(a, {1, 2});
    append_ints(b, {3});
    l_list *two = cell(find(a, 2));
    ARK_FN(CutPaste)(two, two, head_cell(b));
    EXPECT_EQ(ints(a), (std::vector<int>{1, 2}));
    EXPECT_EQ(ints(b), std::vector<int>{3});
    EXPECT_TRUE(links_consistent(a));
    EXPECT_TRUE(links_consistent(b));
}

TEST(LLIndex, LookInLLTablesASnapshot) {
    List list;
    void **empty_table = ARK_FN(LookInLL)(list);
    EXPECT_EQ(empty_table[0], static_cast<void *>(list.get()));
    std::free(empty_table);

    append_ints(list, {7, 8, 9});
    std::vector<void *> els = elements(list);
    void **table = ARK_FN(LookInLL)(list);
    EXPECT_EQ(table[0], static_cast<void *>(list.get()));
    for (size_t i = 0; i < els.size(); ++i)
        EXPECT_EQ(table[i + 1], els[i]);
    ARK_FN(ReverseLL)(list);
    EXPECT_EQ(table[1], els[0]); // later changes do not reach the table
    std::free(table);
}

TEST(LLIndex, IndexElmLLCountsFromOneAndIsZeroOutsideTheList) {
    List list, other;
    append_ints(list, {1, 2, 3, 4});
    void *foreign = append_int(other, 1);
    EXPECT_EQ(ARK_FN(IndexElmLL)(list, ARK_FN(FirstElmLL)(list)), 1u);
    EXPECT_EQ(ARK_FN(IndexElmLL)(list, find(list, 3)), 3u);
    EXPECT_EQ(ARK_FN(IndexElmLL)(list, ARK_FN(LastElmLL)(list)), ARK_FN(SizeLL)(list));
    EXPECT_EQ(ARK_FN(IndexElmLL)(list, foreign), 0u);
    EXPECT_EQ(ARK_FN(IndexElmLL)(list, head_position(list)), 0u);
    EXPECT_EQ(ARK_FN(IndexElmLL)(other, foreign), 1u);
}

} // namespace
