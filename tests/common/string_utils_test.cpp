// The string utilities of the common library: separate static buffers,
// in-place conversions, collapsing runs and bounded escaping and copying.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "cm_common.h"
#include "support/plugin_host.h"

namespace {

TEST(StringUtils, NumberRenderingKeepsOneBufferPerFunction) {
    char *first = ARK_FN(longtoasc)(-42);
    EXPECT_STREQ(first, "-42");
    char *other = ARK_FN(intoas)(123456789012L);
    EXPECT_STREQ(first, "-42");
    EXPECT_STREQ(other, "123456789012");
    ARK_FN(longtoasc)(7);
    EXPECT_STREQ(first, "7");
    EXPECT_STREQ(other, "123456789012");
}

TEST(StringUtils, CaseConversionInPlace) {
    char text[] = "MiXeD 123 /Path";
    EXPECT_EQ(ARK_FN(lowercase)(text), text);
    EXPECT_STREQ(text, "mixed 123 /path");
    ARK_FN(uppercase)(text);
    EXPECT_STREQ(text, "MIXED 123 /PATH");
    char empty[] = "";
    EXPECT_STREQ(ARK_FN(uppercase)(empty), "");
}

TEST(StringUtils, SqueezeCollapsesRunsOnly) {
    char path[] = "//tmp///zarafa//x";
    EXPECT_STREQ(ARK_FN(squeeze)(path, '/'), "/tmp/zarafa/x");
    char plain[] = "a/b";
    EXPECT_STREQ(ARK_FN(squeeze)(plain, '/'), "a/b");
    char trailing[] = "/var/tmp//";
    EXPECT_STREQ(ARK_FN(squeeze)(trailing, '/'), "/var/tmp/");
    char empty[] = "";
    EXPECT_STREQ(ARK_FN(squeeze)(empty, '/'), "");
}

TEST(StringUtils, EscapingStaysWithinCapacity) {
    char text[16] = "it's";
    EXPECT_STREQ(ARK_FN(szChar2EscapeChar)(text, '\'', sizeof text), "it\\'s");
    char cut[4] = "ab'";
    EXPECT_STREQ(ARK_FN(szChar2EscapeChar)(cut, '\'', sizeof cut), "ab\\");
    char many[8] = "''''";
    ARK_FN(szChar2EscapeChar)(many, '\'', sizeof many);
    EXPECT_STREQ(many, "\\'\\'\\'\\");
    EXPECT_LE(std::strlen(many), 7u);
    char backslash[8] = "a\\b";
    EXPECT_STREQ(ARK_FN(szChar2EscapeChar)(backslash, '\'', sizeof backslash), "a\\b");
}

TEST(StringUtils, BoundedCopiesReportWhatTheyDid) {
    char dst[5];
    EXPECT_EQ(ARK_FN(strlcpy)(dst, "0123456789", sizeof dst), 10u);
    EXPECT_STREQ(dst, "0123");
    char untouched[3] = {'x', 'y', 'z'};
    EXPECT_EQ(ARK_FN(strlcpy)(untouched, "0123456789", 0), 10u);
    EXPECT_EQ(untouched[0], 'x');
    EXPECT_EQ(ARK_FN(strlcpy)(dst, "ok", sizeof dst), 2u);
    EXPECT_STREQ(dst, "ok");

    wchar_t wdst[5];
    EXPECT_EQ(ARK_FN(wcslcpy)(wdst, L"0123456789", 5), 4u);
    EXPECT_EQ(std::wstring(wdst), L"0123");
}

} // namespace
