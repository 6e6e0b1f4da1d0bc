// Removal of the restore directory after a restore: only the directory of
// the first received path, never the root, and hostile names stay one path.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "support/fixtures.h"
#include "support/plugin_host.h"
#include "utils.h"

namespace {

namespace fs = std::filesystem;
using arktest::has_message;
using arktest::write_file;

class RestoreCleanup : public ::testing::Test {
protected:
    void SetUp() override {
        ARKZarafa &state = ARK_VAR(g_sARKZarafa);
        saved_log = state.vpfDB_log;
        // The log slot shares the test's sink, so its messages are checked too.
        state.vpfDB_log = state.vpfDB_trace;
        arktest::clear_messages();
        files = ARK_FN(CreateFIFOList)();
    }
    void TearDown() override {
        ARK_FN(DestroyFIFOList)(files);
        ARK_VAR(g_sARKZarafa).vpfDB_log = saved_log;
    }
    void receive(const fs::path &path) {
        const std::string text = path.string();
        ARK_FN(PushFIFOItem)(files, text.c_str(), static_cast<uint32_t>(text.size() + 1));
    }
    int cleanup(const char *user = nullptr) { return ARK_FN(cleanup_after_restore)(files, user); }

    void (*saved_log)(char *) = nullptr;
    arktest::ScopedCwd cwd;
    arktest::TempDir dir;
    LIST_INFO *files = nullptr;
};

TEST_F(RestoreCleanup, RemovesOnlyTheDirectoryOfTheFirstReceivedPath) {
    const fs::path first = dir / "r/var/tmp/zarafa/nightly", second = dir / "other";
    write_file(first / "alice.index.zbk", "i");
    write_file(first / "alice.data.zbk", "d");
    write_file(second / "bob.index.zbk", "i");
    receive(first / "alice.data.zbk");
    receive(second / "bob.index.zbk");

    EXPECT_EQ(cleanup(), 1);
    EXPECT_FALSE(fs::exists(first));
    EXPECT_TRUE(fs::exists(first.parent_path()));
    EXPECT_TRUE(fs::exists(second / "bob.index.zbk"));
    EXPECT_EQ(files->iItemCount, 1);
    EXPECT_TRUE(has_message("Trying to perform stat() on " + first.string() + " ..."));
    EXPECT_TRUE(has_message("Executing [rm -R " + first.string() + "]"));
    EXPECT_TRUE(has_message("cleanup_after_restore(-)"));
}

TEST_F(RestoreCleanup, WithAUserOrWithoutPathsNothingIsRemoved) {
    EXPECT_EQ(cleanup(), 0);
    EXPECT_TRUE(has_message("Warning: File list is empty"));
    EXPECT_EQ(cleanup("alice"), 0);
    EXPECT_EQ(ARK_FN(cleanup_after_restore)(nullptr, nullptr), 0);
    EXPECT_TRUE(has_message("Warning: File list is incorrect"));

    write_file(dir / "keep/alice.index.zbk", "i");
    receive(dir / "keep/alice.index.zbk");
    EXPECT_EQ(cleanup("alice"), 1);
    EXPECT_TRUE(fs::exists(dir / "keep/alice.index.zbk"));
    EXPECT_EQ(files->iItemCount, 1);
}

struct Refusal {
    const char *label;
    std::string path;    // %D: the test directory
    std::string message; // likewise
};
void PrintTo(const Refusal &r, std::ostream *os) { *os << r.label; }

class RestoreCleanupRefusals : public RestoreCleanup, public ::testing::WithParamInterface<Refusal> {};

TEST_P(RestoreCleanupRefusals, ReturnZeroWithAWarningAndRemoveNothing) {
    const std::string d = dir.path().string();
    auto with_dir = [&](std::string text) {
        for (size_t at; (at = text.find("%D")) != std::string::npos;)
            text.replace(at, 2, d);
        return text;
    };
    write_file(dir / "sentinel", "x");
    receive(with_dir(GetParam().path));
    EXPECT_EQ(cleanup(), 0);
    EXPECT_TRUE(arktest::has_message_containing(with_dir(GetParam().message))) << arktest::all_messages();
    EXPECT_FALSE(arktest::has_message_containing("Executing ["));
    EXPECT_TRUE(fs::exists(dir / "sentinel"));
    EXPECT_EQ(files->iItemCount, 0);
}

INSTANTIATE_TEST_SUITE_P(
    Paths, RestoreCleanupRefusals,
    ::testing::Values(Refusal{"NoSlash", "alice.index.zbk", "Warning: Incorrect directory path"},
                      Refusal{"Missing", "%D/gone/alice.index.zbk", "Warning: Can't access [%D/gone]"},
                      Refusal{"FileAtRoot", "/alice.index.zbk", "Warning: refusing to remove the root directory"},
                      Refusal{"DoubledRoot", "//alice.index.zbk", "Warning: refusing to remove the root directory"},
                      Refusal{"DotRoot", "/./alice.index.zbk", "Warning: refusing to remove the root directory"},
                      Refusal{"UpToRoot", "%D/../../../../../../../../alice.index.zbk",
                              "Warning: refusing to remove the root directory"}),
    [](const auto &info) { return std::string(info.param.label); });

struct Hostile {
    const char *label;
    const char *name;
    const char *shown; // the command as the log shows it, %D the test directory
};
void PrintTo(const Hostile &h, std::ostream *os) { *os << h.label; }

class HostileDirectories : public RestoreCleanup, public ::testing::WithParamInterface<Hostile> {};

TEST_P(HostileDirectories, AreRemovedAsOnePathAndNothingElse) {
    const std::string name = GetParam().name;
    // Siblings that a split or expanded name would reach.
    for (const char *sibling : {"a", "b", "x", "keep"})
        write_file(dir / sibling / "f", "x");
    write_file(dir / name / "alice.index.zbk", "i");
    fs::current_path(dir.path());
    receive(dir / name / "alice.index.zbk");

    EXPECT_EQ(cleanup(), 1);
    EXPECT_FALSE(fs::exists(dir / name));
    for (const char *sibling : {"a", "b", "x", "keep"})
        EXPECT_TRUE(fs::exists(dir / sibling / "f")) << sibling;
    EXPECT_FALSE(fs::exists(dir / "PWNED"));
    std::string shown = GetParam().shown;
    shown.replace(shown.find("%D"), 2, dir.path().string());
    EXPECT_TRUE(has_message("Executing [" + shown + "]")) << arktest::all_messages();
}

INSTANTIATE_TEST_SUITE_P(Names, HostileDirectories,
                         ::testing::Values(Hostile{"Blank", "a b", "rm -R '%D/a b'"},
                                           Hostile{"Semicolon", "x;touch PWNED", "rm -R '%D/x;touch PWNED'"},
                                           Hostile{"Substitution", "$(touch PWNED)", "rm -R '%D/$(touch PWNED)'"},
                                           Hostile{"Glob", "*", "rm -R '%D/*'"},
                                           Hostile{"Quote", "it's", "rm -R '%D/it'\\''s'"},
                                           Hostile{"LeadingDash", "-rf", "rm -R %D/-rf"}),
                         [](const auto &info) { return std::string(info.param.label); });

TEST_F(RestoreCleanup, RelativeDirectoryWithALeadingDashReachesRmAsAPath) {
    write_file(dir / "-rf/alice.index.zbk", "i");
    write_file(dir / "keep/f", "x");
    fs::current_path(dir.path());
    receive("-rf/alice.index.zbk");
    EXPECT_EQ(cleanup(), 1);
    EXPECT_FALSE(fs::exists(dir / "-rf"));
    EXPECT_TRUE(fs::exists(dir / "keep/f"));
    EXPECT_TRUE(has_message("Executing [rm -R ./-rf]"));
}

} // namespace
