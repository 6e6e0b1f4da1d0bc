// The two list sorts against std::stable_sort on random lists of many sizes:
// order, stability of MergeSortLL, consistent backward links, elements kept
// in place; and listsort on a run inside a longer list.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <numeric>
#include <random>
#include <vector>

#include "LL.h"
#include "support/ll_lists.h"
#include "support/plugin_host.h"

namespace {

using namespace arktest::lists;

// A key that ties often and the position it was inserted at.
struct Record {
    int key;
    int seq;
};

long g_comparisons;

int by_key(const void *a, const void *b) {
    ++g_comparisons;
    const int x = static_cast<const Record *>(a)->key;
    const int y = static_cast<const Record *>(b)->key;
    return (x > y) - (x < y);
}

std::vector<Record> records(t_LL list) {
    std::vector<Record> out;
    for (void *el : elements(list))
        out.push_back(*static_cast<Record *>(el));
    return out;
}

void fill_random(t_LL list, size_t n, std::mt19937 &rng) {
    // Few distinct keys, so that many elements compare equal.
    std::uniform_int_distribution<int> key(0, static_cast<int>(n / 3 + 1));
    for (size_t i = 0; i < n; ++i) {
        const Record r{key(rng), static_cast<int>(i)};
        ARK_FN(InsLastLLf)(list, sizeof r, &r);
    }
}

bool operator==(const Record &a, const Record &b) { return a.key == b.key && a.seq == b.seq; }
void PrintTo(const Record &r, std::ostream *os) { *os << r.key << '#' << r.seq; }

class LLSortSizes : public ::testing::TestWithParam<size_t> {};

TEST_P(LLSortSizes, MergeSortLLEqualsStableSort) {
    std::mt19937 rng(static_cast<unsigned>(GetParam()) * 7919u + 1);
    for (int round = 0; round < 3; ++round) {
        List list;
        fill_random(list, GetParam(), rng);
        std::vector<Record> expected = records(list);
        std::stable_sort(expected.begin(), expected.end(), [](const Record &a, const Record &b) { return a.key < b.key; });
        std::vector<void *> before = elements(list);

        g_comparisons = 0;
        EXPECT_EQ(ARK_FN(MergeSortLL)(list, by_key), list.get());
        ASSERT_EQ(records(list), expected);
        ASSERT_TRUE(links_consistent(list));

        // Sorted by relinking: the same blocks, O(n log n) comparisons.
        std::vector<void *> after = elements(list);
        std::sort(before.begin(), before.end());
        std::sort(after.begin(), after.end());
        EXPECT_EQ(after, before);
        const double n = static_cast<double>(GetParam());
        if (GetParam() > 1) {
            EXPECT_LE(g_comparisons, static_cast<long>(n * std::ceil(std::log2(n))));
        }
        EXPECT_EQ(ARK_VAR(listcompare), &by_key);
    }
}

TEST_P(LLSortSizes, SysSortLLSortsTheKeys) {
    std::mt19937 rng(static_cast<unsigned>(GetParam()) * 104729u + 3);
    List list;
    fill_random(list, GetParam(), rng);
    std::vector<Record> expected = records(list);
    std::vector<void *> before = elements(list);

    EXPECT_EQ(ARK_FN(SysSortLL)(list, by_key), list.get());
    std::vector<Record> sorted = records(list);
    ASSERT_EQ(sorted.size(), expected.size());
    EXPECT_TRUE(std::is_sorted(sorted.begin(), sorted.end(), [](const Record &a, const Record &b) { return a.key < b.key; }));
    // Same records, ties in any order.
    auto by_seq = [](const Record &a, const Record &b) { return a.seq < b.seq; };
    std::sort(sorted.begin(), sorted.end(), by_seq);
    std::sort(expected.begin(), expected.end(), by_seq);
    EXPECT_EQ(sorted, expected);
    ASSERT_TRUE(links_consistent(list));

    std::vector<void *> after = elements(list);
    std::sort(before.begin(), before.end());
    std::sort(after.begin(), after.end());
    EXPECT_EQ(after, before);
    EXPECT_EQ(ARK_VAR(UserCompare), &by_key);
}

INSTANTIATE_TEST_SUITE_P(Random, LLSortSizes,
                         ::testing::Values(0, 1, 2, 3, 4, 5, 7, 8, 9, 16, 17, 31, 100, 257, 1000, 4096, 10007, 65536));

int by_int(const void *a, const void *b) { return value_of(const_cast<void *>(a)) - value_of(const_cast<void *>(b)); }

TEST(LLSortSmall, EveryOrderOfTwoAndThreeSorts) {
    for (int n = 2; n <= 3; ++n) {
        std::vector<int> order(static_cast<size_t>(n));
        std::iota(order.begin(), order.end(), 1);
        std::vector<int> sorted = order;
        do {
            for (auto sort : {ARK_FN(MergeSortLL), ARK_FN(SysSortLL)}) {
                List list;
                append_ints(list, order);
                sort(list, by_int);
                EXPECT_EQ(ints(list), sorted);
                EXPECT_TRUE(links_consistent(list));
            }
        } while (std::next_permutation(order.begin(), order.end()));
    }
}

TEST(LLSortSmall, EmptyAndSingleListsStayIntact) {
    for (auto sort : {ARK_FN(MergeSortLL), ARK_FN(SysSortLL)}) {
        List empty, single;
        append_int(single, 5);
        void *only = ARK_FN(FirstElmLL)(single);
        sort(empty, by_int);
        sort(single, by_int);
        EXPECT_EQ(ARK_FN(IsEmptyLL)(empty), 1);
        EXPECT_TRUE(links_consistent(empty));
        EXPECT_EQ(ARK_FN(FirstElmLL)(single), only);
        EXPECT_EQ(ARK_FN(LastElmLL)(single), only);
        EXPECT_TRUE(links_consistent(single));
    }
}

TEST(LLSortParts, ListsortSortsARunAndLeadsOnToWhatFollowedIt) {
    List list;
    append_ints(list, {100, 9, 3, 7, 1, 5, -1});
    ARK_VAR(listcompare) = by_int;
    // Sort the five cells after the first; forward links only.
    l_list *first = cell(ARK_FN(FirstElmLL)(list));
    l_list *after_run = cell(ARK_FN(LastElmLL)(list));
    l_list **tail = ARK_FN(listsort)(&first->forward, 5);
    EXPECT_EQ(*tail, after_run);
    std::vector<int> walked;
    for (l_list *c = head_cell(list)->forward; c != head_cell(list); c = c->forward)
        walked.push_back(*static_cast<int *>(static_cast<void *>(reinterpret_cast<t_linkLL *>(c) + 1)));
    EXPECT_EQ(walked, (std::vector<int>{100, 1, 3, 5, 7, 9, -1}));
    // The field returned is the forward of the run's last cell.
    EXPECT_EQ(*static_cast<int *>(static_cast<void *>(reinterpret_cast<t_linkLL *>(tail) + 1)), 9);

    // The backward links are stale until repaired; MergeSortLL does that.
    ARK_FN(MergeSortLL)(list, by_int);
    EXPECT_EQ(ints(list), (std::vector<int>{-1, 1, 3, 5, 7, 9, 100}));
    EXPECT_TRUE(links_consistent(list));
}

TEST(LLSortParts, IntCompareAppliesUserCompareToTheSlots) {
    int a = 4, b = 9;
    void *slots[2] = {&a, &b};
    ARK_VAR(UserCompare) = by_int;
    EXPECT_LT(ARK_FN(IntCompare)(&slots[0], &slots[1]), 0);
    EXPECT_GT(ARK_FN(IntCompare)(&slots[1], &slots[0]), 0);
    EXPECT_EQ(ARK_FN(IntCompare)(&slots[0], &slots[0]), 0);
}

} // namespace
