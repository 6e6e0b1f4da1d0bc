// The plug-in's calls to its own bounded-copy functions stay inside the
// plug-in, whatever else in the process goes by the same names. This host
// defines strlcpy and wcslcpy itself, ahead of the plug-in in the loader's
// search order, with the C library's meaning of wcslcpy (glibc 2.38 and
// later): the length of the source.
#include <gtest/gtest.h>

#include <cstring>
#include <cwchar>
#include <functional>
#include <string>

#include "cm_common.h"
#include "support/fixtures.h"
#include "support/plugin_host.h"

namespace {
int g_host_copies = 0;
}

extern "C" size_t strlcpy(char *dst, const char *src, size_t siz) noexcept {
    ++g_host_copies;
    const size_t length = std::strlen(src);
    if (siz != 0) {
        const size_t n = length < siz - 1 ? length : siz - 1;
        std::memcpy(dst, src, n);
        dst[n] = '\0';
    }
    return length;
}

extern "C" size_t wcslcpy(wchar_t *dst, const wchar_t *src, size_t size) noexcept {
    ++g_host_copies;
    const size_t length = std::wcslen(src);
    if (size != 0) {
        const size_t n = length < size - 1 ? length : size - 1;
        std::wmemcpy(dst, src, n);
        dst[n] = L'\0';
    }
    return length;
}

namespace arktest {
namespace {

TEST(PluginBinding, WcslcpyOfTheLoadedPluginReturnsTheNumberCopied) {
    wchar_t host_copy[5];
    ASSERT_EQ(::wcslcpy(host_copy, L"0123456789", 5), 10u) << "the host's own wcslcpy is not in the process";

    struct Case {
        const wchar_t *src;
        size_t size;
        size_t copied;
        std::wstring result;
    };
    for (const Case &c : {Case{L"0123456789", 5, 4, L"0123"}, Case{L"0123456789", 11, 10, L"0123456789"},
                          Case{L"abc", 1, 0, L""}, Case{L"", 4, 0, L""}}) {
        wchar_t dst[16];
        std::wmemset(dst, L'#', 16);
        g_host_copies = 0;
        EXPECT_EQ(ARK_FN(wcslcpy)(dst, c.src, c.size), c.copied) << c.size;
        EXPECT_EQ(std::wstring(dst), c.result);
        EXPECT_EQ(g_host_copies, 0);
    }
    wchar_t untouched[2] = {L'x', L'y'};
    EXPECT_EQ(ARK_FN(wcslcpy)(untouched, L"abc", 0), 0u);
    EXPECT_EQ(untouched[0], L'x');
}

// Functions of the plug-in that copy with strlcpy on the way: none of those
// copies reaches the host's definition.
TEST(PluginBinding, InternalCopiesBindToThePluginsOwnDefinitions) {
    TempDir dir;
    const std::string profile = (dir.path() / "agent.ini").string();
    write_file(profile, "[agent]\nname=it's\n");
    const std::vector<std::pair<std::string, std::function<std::string()>>> callers{
        {"szChar2EscapeChar",
         [] {
             char text[16] = "it's";
             return std::string(ARK_FN(szChar2EscapeChar)(text, '\'', sizeof text));
         }},
        {"i_GetPrivateProfileString",
         [&profile] {
             char value[4], message[128];
             EXPECT_EQ(ARK_FN(i_GetPrivateProfileString)(profile.c_str(), "[agent]", "name", value, sizeof value,
                                                         message, sizeof message),
                       1)
                 << message;
             return std::string(value);
         }},
    };
    const std::vector<std::string> expected{"it\\'s", "it'"};
    for (size_t i = 0; i < callers.size(); ++i) {
        g_host_copies = 0;
        EXPECT_EQ(callers[i].second(), expected[i]) << callers[i].first;
        EXPECT_EQ(g_host_copies, 0) << callers[i].first << " called the host's strlcpy";
    }
}

} // namespace
} // namespace arktest
