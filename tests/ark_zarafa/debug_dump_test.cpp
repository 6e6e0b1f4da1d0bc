// The debugging helpers: membership in a string array and the plain and
// hexadecimal dumps on the standard output.
#include <gtest/gtest.h>

#include <string>

#include "support/plugin_host.h"
#include "utils.h"

namespace {

TEST(DebugDump, IsInListComparesWholeNonEmptyStringsWithinTheLength) {
    char a[] = "alice", b[] = "", c[] = "bob";
    char *list[] = {a, b, nullptr, c};
    auto in_list = ARK_FN(is_in_list);
    EXPECT_EQ(in_list("alice", list, 4), 1);
    EXPECT_EQ(in_list("bob", list, 4), 1);
    EXPECT_EQ(in_list("bob", list, 3), 0);
    EXPECT_EQ(in_list("ali", list, 4), 0);
    EXPECT_EQ(in_list("", list, 4), 0);
    EXPECT_EQ(in_list(nullptr, list, 4), 0);
}

TEST(DebugDump, PrintListWritesTheStringsUpToTheFirstEmptySlot) {
    char a[] = "one", b[] = "two ", c[] = "never";
    char *list[] = {a, b, nullptr, c};
    ::testing::internal::CaptureStdout();
    ARK_FN(print_list)(list);
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), "onetwo ");
}

TEST(DebugDump, DumpStringGroupsBytesByEightAndSixteen) {
    ::testing::internal::CaptureStdout();
    ARK_FN(dump_string)("ABCDEFGHIJKLMNOPQ\xff");
    EXPECT_EQ(::testing::internal::GetCapturedStdout(),
              "Dump string: ABCDEFGHIJKLMNOPQ\xff\n"
              "41 42 43 44 45 46 47 48   49 4A 4B 4C 4D 4E 4F 50 \n"
              "51 FF \n");
    ::testing::internal::CaptureStdout();
    ARK_FN(dump_string)("");
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), "Dump string: \n\n");
}

} // namespace
