// The FIFO list through the plug-in's exports: order, positions counted from
// 1 and from 0, removal while walking, copies, string searches, the shared
// iterator cursor and the size accounting.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "support/plugin_host.h"

namespace {

struct List {
    LIST_INFO *handle = ARK_FN(CreateFIFOList)();
    ~List() { ARK_FN(DestroyFIFOList)(handle); }
    void push(const std::string &s) { ASSERT_EQ(ARK_FN(PushFIFOItem)(handle, s.c_str(), s.size() + 1), TRUE); }
    std::vector<std::string> walk() const {
        std::vector<std::string> out;
        for (LIST_ITEM *i = handle->spFirstItem; i; i = i->spNextItem)
            out.emplace_back(static_cast<const char *>(i->vpData));
        return out;
    }
};

using Strings = std::vector<std::string>;

TEST(FifoList, PullsInPushOrderWithSizesAndStopsWhenEmpty) {
    List l;
    l.push("alice");
    l.push("bob");
    l.push("PUBLIC_FOLDER");
    char buf[64];
    uint32_t size = 0;
    ASSERT_TRUE(ARK_FN(PullFIFOItem)(l.handle, buf, &size));
    EXPECT_STREQ(buf, "alice");
    EXPECT_EQ(size, 6u);
    ASSERT_TRUE(ARK_FN(PullFIFOItem)(l.handle, buf, &size));
    EXPECT_STREQ(buf, "bob");
    ASSERT_TRUE(ARK_FN(PullFIFOItem)(l.handle, buf, &size));
    EXPECT_EQ(size, 14u);
    std::memset(buf, 'x', sizeof buf);
    size = 77;
    EXPECT_FALSE(ARK_FN(PullFIFOItem)(l.handle, buf, &size));
    EXPECT_EQ(buf[0], 'x');
    EXPECT_EQ(size, 77u);
    EXPECT_EQ(l.handle->iItemCount, 0);
    EXPECT_EQ(l.handle->spFirstItem, nullptr);
    EXPECT_EQ(l.handle->spLastItem, nullptr);
    // Pushing after the list ran empty starts afresh.
    l.push("again");
    EXPECT_EQ(l.walk(), Strings{"again"});
}

TEST(FifoList, EmptyItemIsStoredAndPulledWithoutWriting) {
    List l;
    ASSERT_TRUE(ARK_FN(PushFIFOItem)(l.handle, "", 0));
    char buf[4] = {'x', 'x', 'x', 'x'};
    uint32_t size = 9;
    ASSERT_TRUE(ARK_FN(PullFIFOItem)(l.handle, buf, &size));
    EXPECT_EQ(size, 0u);
    EXPECT_EQ(buf[0], 'x');
}

TEST(FifoList, PullAtCountsFromOneAndLeavesTheList) {
    List l;
    for (auto s : {"a", "b", "c"})
        l.push(s);
    char buf[8];
    uint32_t size;
    EXPECT_FALSE(ARK_FN(PullFIFOItemAt)(l.handle, 0, buf, &size));
    ASSERT_TRUE(ARK_FN(PullFIFOItemAt)(l.handle, 3, buf, &size));
    EXPECT_STREQ(buf, "c");
    EXPECT_FALSE(ARK_FN(PullFIFOItemAt)(l.handle, 4, buf, &size));
    EXPECT_EQ(l.walk(), (Strings{"a", "b", "c"}));
}

TEST(FifoList, RemoveAtCountsFromZeroAndKeepsTailConsistent) {
    List l;
    for (auto s : {"a", "b", "c"})
        l.push(s);
    EXPECT_FALSE(ARK_FN(RemoveFIFOItemAt)(l.handle, 3));
    EXPECT_FALSE(ARK_FN(RemoveFIFOItemAt)(l.handle, -1));
    EXPECT_EQ(l.walk(), (Strings{"a", "b", "c"}));
    ASSERT_TRUE(ARK_FN(RemoveFIFOItemAt)(l.handle, 2)); // the tail
    l.push("d");                                       // appended after the new tail
    EXPECT_EQ(l.walk(), (Strings{"a", "b", "d"}));
    ASSERT_TRUE(ARK_FN(RemoveFIFOItemAt)(l.handle, 0)); // the head
    EXPECT_EQ(l.walk(), (Strings{"b", "d"}));
    EXPECT_EQ(l.handle->iItemCount, 2);
    ASSERT_TRUE(ARK_FN(RemoveFIFOItemAt)(l.handle, 1));
    ASSERT_TRUE(ARK_FN(RemoveFIFOItemAt)(l.handle, 0));
    EXPECT_EQ(l.handle->spFirstItem, nullptr);
    EXPECT_EQ(l.handle->spLastItem, nullptr);
}

TEST(FifoList, WalkerStepsOnFromARemovedRecord) {
    List l;
    for (auto s : {"alice", "bob", "carol"})
        l.push(s);
    // Remove each visited item while walking with our own pointer, as the
    // restore loop does.
    std::vector<std::string> seen;
    int position = 0;
    for (LIST_ITEM *item = l.handle->spFirstItem; item; item = item->spNextItem) {
        seen.emplace_back(static_cast<const char *>(item->vpData));
        if (seen.back() != "bob")
            ASSERT_TRUE(ARK_FN(RemoveFIFOItemAt)(l.handle, position));
        else
            ++position;
    }
    EXPECT_EQ(seen, (Strings{"alice", "bob", "carol"}));
    EXPECT_EQ(l.walk(), Strings{"bob"});
}

TEST(FifoList, CopyAppendsAfterExistingItemsAndRefusesEmptySource) {
    List src, dest, empty;
    src.push("x");
    src.push("y");
    dest.push("own");
    EXPECT_FALSE(ARK_FN(CopyFIFOList)(empty.handle, dest.handle));
    EXPECT_EQ(dest.walk(), Strings{"own"});
    ASSERT_TRUE(ARK_FN(CopyFIFOList)(src.handle, dest.handle));
    EXPECT_EQ(dest.walk(), (Strings{"own", "x", "y"}));
    EXPECT_EQ(src.walk(), (Strings{"x", "y"}));
    // Copying a list onto itself doubles it once instead of running forever.
    ASSERT_TRUE(ARK_FN(CopyFIFOList)(src.handle, src.handle));
    EXPECT_EQ(src.walk(), (Strings{"x", "y", "x", "y"}));
}

TEST(FifoList, StringSearchesAreExactNarrowAndCaseAwareWide) {
    List l;
    l.push("Alice");
    EXPECT_TRUE(ARK_FN(IsStringInFIFOList)(l.handle, "Alice"));
    EXPECT_FALSE(ARK_FN(IsStringInFIFOList)(l.handle, "alice"));
    EXPECT_FALSE(ARK_FN(IsStringInFIFOList)(l.handle, "Alic"));
    EXPECT_FALSE(ARK_FN(IsStringInFIFOList)(l.handle, nullptr));
    EXPECT_TRUE(ARK_FN(FIFOItemExists)(l.handle, "Alice"));
    EXPECT_FALSE(ARK_FN(FIFOItemExists)(l.handle, "ALICE"));

    List w;
    const wchar_t text[] = L"Mailbox";
    ASSERT_TRUE(ARK_FN(PushFIFOItem)(w.handle, text, sizeof text));
    EXPECT_TRUE(ARK_FN(IsWStringInFIFOList)(w.handle, L"MAILBOX", 0));
    EXPECT_FALSE(ARK_FN(IsWStringInFIFOList)(w.handle, L"MAILBOX", 1));
    EXPECT_TRUE(ARK_FN(IsWStringInFIFOList)(w.handle, L"Mailbox", 1));
}

TEST(FifoList, UnterminatedItemNeverMatchesASearch) {
    List l;
    ASSERT_TRUE(ARK_FN(PushFIFOItem)(l.handle, "abc", 3)); // no terminator
    EXPECT_FALSE(ARK_FN(IsStringInFIFOList)(l.handle, "abc"));
    EXPECT_FALSE(ARK_FN(FIFOItemExists)(l.handle, "abc"));
}

TEST(FifoList, IteratorCursorIsSharedAndRewinds) {
    List l;
    for (auto s : {"1", "2", "3"})
        l.push(s);
    char buf[8];
    uint32_t size;
    std::vector<std::string> got;
    while (ARK_FN(ListFIFOItem)(l.handle, buf, &size))
        got.emplace_back(buf);
    EXPECT_EQ(got, (Strings{"1", "2", "3"}));
    ASSERT_TRUE(ARK_FN(ListFIFOItem)(l.handle, buf, &size));
    EXPECT_STREQ(buf, "1");
    // An abandoned walk leaves the shared cursor in the middle for any list.
    List other;
    for (auto s : {"a", "b", "c"})
        other.push(s);
    ASSERT_TRUE(ARK_FN(ListFIFOItem)(other.handle, buf, &size));
    EXPECT_STREQ(buf, "b");
    while (ARK_FN(ListFIFOItem)(other.handle, buf, &size)) {
    }
    EXPECT_EQ(ARK_VAR(iItemAt), 1);
}

TEST(FifoList, CountsAndLength) {
    List l;
    EXPECT_EQ(ARK_FN(GetFIFOItemNumber)(l.handle), 0);
    EXPECT_EQ(ARK_FN(GetListLength)(l.handle), 0u);
    ASSERT_TRUE(ARK_FN(PushFIFOItem)(l.handle, "ab", 2));
    ASSERT_TRUE(ARK_FN(PushFIFOItem)(l.handle, "abc", 3));
    EXPECT_EQ(ARK_FN(GetFIFOItemNumber)(l.handle), 2);
    EXPECT_EQ(ARK_FN(GetListLength)(l.handle), 9u);
    EXPECT_EQ(ARK_FN(GetFIFOItemNumber)(nullptr), 0);
    ARK_FN(DestroyFIFOList)(nullptr);
    EXPECT_FALSE(ARK_FN(PushFIFOItem)(nullptr, "a", 2));
}

} // namespace
