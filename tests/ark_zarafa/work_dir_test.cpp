// The working-directory slot: entering, returning, refusing what it cannot
// hold, and the existence check.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "support/fixtures.h"
#include "support/plugin_host.h"
#include "utils.h"

namespace {

namespace fs = std::filesystem;
using arktest::has_message;

class WorkDir : public ::testing::Test {
protected:
    void SetUp() override { arktest::clear_messages(); }
    arktest::ScopedCwd cwd;
    arktest::TempDir dir;
    char *slot() { return ARK_VAR(g_cpPushPopDirBuf); }
};

TEST_F(WorkDir, PushEntersAndRemembersAndPopReturnsToTheLastEntered) {
    fs::create_directories(dir / "a");
    fs::create_directories(dir / "b");
    const std::string a = (dir / "a").string();
    ARK_FN(utils_push_dir)(a.c_str());
    EXPECT_EQ(fs::current_path(), fs::canonical(dir / "a"));
    EXPECT_EQ(std::string(slot()), a);
    EXPECT_TRUE(has_message("Current directory changed to [" + a + "]"));
    EXPECT_TRUE(has_message("utils_push_dir(-)"));

    // One slot, not a stack: pop goes to the directory last entered.
    fs::current_path(dir / "b");
    ARK_FN(utils_pop_dir)();
    EXPECT_EQ(fs::current_path(), fs::canonical(dir / "a"));
    EXPECT_EQ(std::string(slot()), a);
}

TEST_F(WorkDir, FailedPushKeepsTheSlotAndTheDirectory) {
    const std::string a = dir.path().string();
    ARK_FN(utils_push_dir)(a.c_str());
    arktest::clear_messages();

    const std::string missing = (dir / "missing").string();
    ARK_FN(utils_push_dir)(missing.c_str());
    EXPECT_TRUE(has_message("Error: Can't change dir to [" + missing + "]"));
    EXPECT_EQ(std::string(slot()), a);
    EXPECT_EQ(fs::current_path(), fs::canonical(dir.path()));

    // A directory that the slot cannot hold is not entered either.
    fs::path deep = dir.path();
    while (deep.string().size() < 300)
        deep /= std::string(40, 'd');
    fs::create_directories(deep);
    ARK_FN(utils_push_dir)(deep.c_str());
    EXPECT_TRUE(has_message("Error: Can't change dir to [" + deep.string() + "]"));
    EXPECT_EQ(std::string(slot()), a);
    EXPECT_EQ(fs::current_path(), fs::canonical(dir.path()));

    arktest::clear_messages();
    ARK_FN(utils_push_dir)(nullptr);
    EXPECT_TRUE(has_message("Error: Incorrect parameter"));
    EXPECT_FALSE(has_message("utils_push_dir(-)"));
}

TEST_F(WorkDir, PopWithAnEmptySlotChangesNothing) {
    slot()[0] = '\0';
    fs::current_path(dir.path());
    ARK_FN(utils_pop_dir)();
    EXPECT_EQ(fs::current_path(), fs::canonical(dir.path()));
    EXPECT_TRUE(arktest::messages().empty());
}

TEST_F(WorkDir, PathExistsForAnyKindOfObject) {
    arktest::write_file(dir / "file", "x");
    fs::create_symlink(dir / "file", dir / "link");
    auto exists = ARK_FN(utils_path_exists);
    EXPECT_EQ(exists((dir / "file").c_str()), 1);
    EXPECT_EQ(exists((dir / "link").c_str()), 1);
    EXPECT_EQ(exists(dir.path().c_str()), 1);
    EXPECT_TRUE(has_message("Checking path=" + (dir / "file").string()));
    EXPECT_TRUE(has_message("utils_path_exists(-)"));
    arktest::clear_messages();
    EXPECT_EQ(exists((dir / "missing").c_str()), 0);
    EXPECT_FALSE(has_message("utils_path_exists(-)"));
    EXPECT_EQ(exists(nullptr), 0);
}

} // namespace
