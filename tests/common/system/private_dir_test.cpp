// The private-tree primitives, with openat2 and with the step-by-step
// O_NOFOLLOW walk: what is refused (links, "..", others' and loose
// directories, existing names, FIFOs), what is narrowed, and that a removal
// by descriptor keeps what it is told to keep and never leaves its tree.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "support/fixtures.h"
#include "system/private_dir.h"

namespace {

namespace fs = std::filesystem;
using namespace ark::sys;
using arktest::read_file;
using arktest::write_file;

class PrivateDir : public ::testing::TestWithParam<Resolution> {
protected:
    void SetUp() override {
        if (::geteuid() != 0)
            GTEST_SKIP() << "needs root: it plants directories and links of another uid";
        set_resolution(GetParam());
        ASSERT_EQ(resolution_in_use(), GetParam());
        fs::create_directories(dir / "tree/a/b");
        fs::create_directories(dir / "outside");
        write_file(dir / "outside/victim", "victim");
        root.reset(::open((dir / "tree").c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    }
    void TearDown() override { set_resolution(Resolution::automatic); }

    arktest::TempDir dir;
    Fd root;
};

TEST_P(PrivateDir, OpenBelowFollowsNoLinkAndNeverLeaves) {
    fs::create_symlink(dir / "outside", dir / "tree/a/out");
    fs::create_symlink("b", dir / "tree/a/rel");
    struct Case {
        const char *path;
        int error; // 0: opens
    } cases[] = {{"a/b", 0},       {"a//./b", 0},         {"a/out", ELOOP}, {"a/out/victim", ELOOP},
                 {"a/rel", ELOOP}, {"a/../../outside", EXDEV}, {"/etc", EXDEV}};
    for (const Case &c : cases) {
        std::error_code ec;
        const Fd fd = open_below(root.get(), c.path, O_RDONLY, ec);
        EXPECT_EQ(static_cast<bool>(fd), c.error == 0) << c.path;
        if (c.error) {
            EXPECT_EQ(ec.value(), c.error) << c.path << ": " << ec.message();
        }
    }
}

TEST_P(PrivateDir, PrivateDirectoriesAreMadeCheckedAndNarrowed) {
    OpenedDir made;
    ASSERT_EQ(open_private_dir(root.get(), "new", true, made), std::nullopt);
    EXPECT_TRUE(made.created);
    EXPECT_EQ(fs::status(dir / "tree/new").permissions(), fs::perms(0700));

    fs::permissions(dir / "tree/a", fs::perms(0755));
    write_file(dir / "tree/a/list", "l", fs::perms(0644));
    OpenedDir earlier;
    ASSERT_EQ(open_private_dir(root.get(), "a", false, earlier), std::nullopt);
    EXPECT_TRUE(earlier.tightened);
    EXPECT_EQ(tighten_entries(earlier.fd.get()), 2u); // the list file and "b"
    EXPECT_EQ(fs::status(dir / "tree/a/list").permissions(), fs::perms(0600));
    EXPECT_EQ(fs::status(dir / "tree/a/b").permissions(), fs::perms(0700));

    fs::create_symlink(dir / "outside", dir / "tree/link");
    fs::create_directories(dir / "tree/loose");
    fs::permissions(dir / "tree/loose", fs::perms(0777));
    fs::create_directories(dir / "tree/foreign");
    ASSERT_EQ(::chown((dir / "tree/foreign").c_str(), 65534, 65534), 0);
    write_file(dir / "tree/file", "f");
    const std::pair<const char *, const char *> refused[] = {{"link", "symbolic link"},
                                                            {"loose", "writable by group or others (mode 0777)"},
                                                            {"foreign", "owned by uid 65534"},
                                                            {"file", "not a directory"},
                                                            {"..", "not a plain directory name"}};
    for (const auto &[name, why] : refused) {
        OpenedDir out;
        const auto problem = open_private_dir(root.get(), name, true, out);
        ASSERT_TRUE(problem) << name;
        EXPECT_NE(problem->find(why), std::string::npos) << name << ": " << *problem;
        EXPECT_FALSE(out.fd);
    }
    EXPECT_EQ(read_file(dir / "outside/victim"), "victim");
}

TEST_P(PrivateDir, TrustedPathsAcceptStickyParentsOnlyAndOwnLinksInOwnDirectories) {
    fs::create_directories(dir / "sticky/mine");
    fs::permissions(dir / "sticky", fs::perms(01777));
    fs::create_directories(dir / "open/x");
    fs::permissions(dir / "open", fs::perms(0777));
    fs::create_symlink(dir / "tree/a", dir / "tree/own-link");
    fs::create_symlink(dir / "tree/a", dir / "sticky/shared-link");
    ASSERT_EQ(::lchown((dir / "sticky/shared-link").c_str(), 65534, 65534), 0);
    struct Case {
        fs::path path;
        bool last_shared_ok;
        const char *problem; // nullptr: trusted
    } cases[] = {{dir / "sticky/mine", false, nullptr},
                 {dir / "sticky", true, nullptr},
                 {dir / "sticky", false, "writable by group or others (mode 1777)"},
                 {dir / "open/x", false, "writable by group or others"},
                 {dir / "tree/own-link/b", false, nullptr},
                 {dir / "sticky/shared-link/b", false, "symbolic link of uid 65534"},
                 {dir / "tree/missing", false, "can't be reached"}};
    for (const Case &c : cases) {
        OpenedDir out;
        const auto problem = open_trusted_dir(c.path.string(), false, c.last_shared_ok, out);
        if (!c.problem) {
            EXPECT_EQ(problem, std::nullopt) << c.path;
            EXPECT_TRUE(out.fd) << c.path;
        } else {
            ASSERT_TRUE(problem) << c.path;
            EXPECT_NE(problem->find(c.problem), std::string::npos) << c.path << ": " << *problem;
        }
    }
    OpenedDir made;
    ASSERT_EQ(open_trusted_dir((dir / "sticky/new/deeper").string(), true, false, made), std::nullopt);
    EXPECT_EQ(fs::status(dir / "sticky/new/deeper").permissions(), fs::perms(0700));
}

TEST_P(PrivateDir, NewFilesTakeOverNothingAndNeverWaitOnAFifo) {
    std::error_code ec;
    Fd made = create_new_file(root.get(), "new", 0600, ec);
    ASSERT_TRUE(made) << ec.message();
    EXPECT_EQ(fs::status(dir / "tree/new").permissions(), fs::perms(0600));
    ASSERT_EQ(::mkfifo((dir / "tree/fifo").c_str(), 0600), 0);
    fs::create_symlink(dir / "outside/victim", dir / "tree/link");
    for (const char *name : {"new", "fifo", "link"}) {
        EXPECT_FALSE(create_new_file(root.get(), name, 0600, ec)) << name;
        EXPECT_EQ(ec.value(), EEXIST) << name;
    }
    EXPECT_EQ(read_file(dir / "outside/victim"), "victim");
    EXPECT_EQ(not_own_regular_file(root.get(), "fifo"), "a FIFO");
    EXPECT_EQ(not_own_regular_file(root.get(), "link"), "a symbolic link");
    EXPECT_EQ(not_own_regular_file(root.get(), "new"), std::nullopt);
}

TEST_P(PrivateDir, RemovalByDescriptorKeepsTheMarkerAndNeverLeavesTheTree) {
    write_file(dir / "tree/a/b/data", "d");
    write_file(dir / "tree/.ark_zarafa.job", "job\n");
    fs::create_symlink(dir / "outside", dir / "tree/a/out");
    fs::create_symlink(dir / "outside/victim", dir / "tree/victim-link");
    EXPECT_EQ(empty_directory(root.get(), [](std::string_view n) { return n == ".ark_zarafa.job"; }),
              std::vector<std::string>{});
    EXPECT_EQ(arktest::tree_entries(dir / "tree"), std::vector<std::string>{".ark_zarafa.job"});
    EXPECT_EQ(read_file(dir / "outside/victim"), "victim");

    // Only the directory that was seen: another one under its name stays.
    fs::create_directories(dir / "tree/seen/x");
    struct stat seen {};
    ASSERT_EQ(::stat((dir / "tree/seen").c_str(), &seen), 0);
    fs::rename(dir / "tree/seen", dir / "tree/moved");
    fs::create_directories(dir / "tree/seen/y");
    EXPECT_EQ(remove_tree(root.get(), "seen", &seen).size(), 1u);
    EXPECT_TRUE(fs::exists(dir / "tree/seen/y"));
    ASSERT_EQ(::stat((dir / "tree/moved").c_str(), &seen), 0);
    EXPECT_EQ(remove_tree(root.get(), "moved", &seen), std::vector<std::string>{});
    EXPECT_FALSE(fs::exists(dir / "tree/moved"));
}

INSTANTIATE_TEST_SUITE_P(Resolutions, PrivateDir, ::testing::Values(Resolution::openat2, Resolution::stepwise),
                         [](const auto &info) { return info.param == Resolution::openat2 ? "Openat2" : "Stepwise"; });

} // namespace
