// The selective-restore set-up: finding the list file named by a
// "user@list-file" entry, relative to the work directory or absolute.
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "support/fixtures.h"
#include "support/plugin_host.h"
#include "utils.h"

namespace {

namespace fs = std::filesystem;
using arktest::has_message;

class SelectiveRestore : public ::testing::Test {
protected:
    void SetUp() override {
        arktest::clear_messages();
        users = ARK_FN(CreateFIFOList)();
        state = ARKZarafa{};
        work = dir.path().string() + "/"; // the join doubles the "/"
        std::strcpy(state.cpTempDir, work.c_str());
        arktest::write_file(dir / "sel.lst", "alice^:K1\n");
    }
    void TearDown() override { ARK_FN(DestroyFIFOList)(users); }

    int init(const std::vector<std::string> &names) {
        for (const auto &name : names)
            ARK_FN(PushFIFOItem)(users, name.c_str(), static_cast<uint32_t>(name.size() + 1));
        return ARK_FN(InitSelectiveRestore)(users, &state);
    }

    arktest::TempDir dir;
    std::string work;
    LIST_INFO *users = nullptr;
    ARKZarafa state;
};

TEST_F(SelectiveRestore, WithoutReferenceTheRestoreIsPlain) {
    EXPECT_EQ(init({"alice", "bob"}), 1);
    EXPECT_EQ(state.iIsSelectiveRestore, 0);
    EXPECT_STREQ(state.cpSelRstListFName, "");
    EXPECT_TRUE(has_message("init_selective_restore(-)"));
}

TEST_F(SelectiveRestore, RelativeNameIsFoundInTheWorkDirectoryWithSingleSlashes) {
    EXPECT_EQ(init({"bob", "alice@sel.lst", "carol@other.lst"}), 1);
    EXPECT_EQ(state.iIsSelectiveRestore, 1);
    EXPECT_EQ(std::string(state.cpSelRstListFName), (dir / "sel.lst").string());
    EXPECT_TRUE(has_message("Check for SEL file: sel.lst"));
    EXPECT_TRUE(has_message("Search SEL file in work dir: " + work + "/sel.lst"));
}

TEST_F(SelectiveRestore, AbsoluteNameIsUsedWithoutTheWorkDirectory) {
    const std::string name = dir.path().string() + "//sel.lst";
    EXPECT_EQ(init({"x@" + name}), 1);
    EXPECT_EQ(std::string(state.cpSelRstListFName), (dir / "sel.lst").string());
    EXPECT_FALSE(arktest::has_message_containing("Search SEL file in work dir"));
}

TEST_F(SelectiveRestore, AbsoluteNamesUpTo255CharactersAreAccepted) {
    // A list file whose absolute name is exactly 255 characters.
    std::string name = dir.path().string() + "/";
    name += std::string(255 - name.size(), 'n');
    arktest::write_file(name, "alice^:K1\n");
    ASSERT_EQ(name.size(), 255u);
    EXPECT_EQ(init({"alice@" + name}), 1);
    EXPECT_EQ(std::string(state.cpSelRstListFName), name);

    ARK_FN(DestroyFIFOList)(users);
    users = ARK_FN(CreateFIFOList)();
    state.iIsSelectiveRestore = 0;
    EXPECT_EQ(init({"alice@" + name + "n"}), 0);
    EXPECT_TRUE(has_message("Error: list file name too long"));
    EXPECT_EQ(state.iIsSelectiveRestore, 0);
}

struct Refusal {
    const char *name;
    std::string entry;   // %D stands for the test directory
    std::string message; // likewise
    // What the test makes first below its directory: "link" (link.lst, to
    // sel.lst), "fifo" (fifo.lst), "loose" (loose.lst, mode 0666),
    // "hardlink" (twice.lst, a second name of sel.lst), "foreign"
    // (foreign.lst of another uid), "opendir" (open/sel.lst in a directory
    // of mode 0777), "foreigndir" (theirs/sel.lst in another uid's
    // directory); or nothing.
    std::string plant = {};
};

void PrintTo(const Refusal &r, std::ostream *os) { *os << r.name; }

class SelectiveRestoreRefusals : public SelectiveRestore, public ::testing::WithParamInterface<Refusal> {};

std::string with_dir(std::string text, const std::string &dir) {
    for (size_t at; (at = text.find("%D")) != std::string::npos;)
        text.replace(at, 2, dir);
    return text;
}

TEST_P(SelectiveRestoreRefusals, FailWithAnErrorAndLeaveTheRecord) {
    fs::create_directories(dir / "subdir");
    arktest::write_file(dir / std::string(250, 'r'), "alice^:K1\n");
    const std::string plant = GetParam().plant;
    if ((plant == "foreign" || plant == "foreigndir") && ::geteuid() != 0)
        GTEST_SKIP() << "another uid's file needs root";
    const uid_t other = arktest::kAttackerUid;
    if (plant == "link")
        fs::create_symlink(dir / "sel.lst", dir / "link.lst");
    if (plant == "fifo") {
        ASSERT_EQ(::mkfifo((dir / "fifo.lst").c_str(), 0600), 0);
    }
    if (plant == "loose")
        arktest::write_file(dir / "loose.lst", "alice^:K1\n", fs::perms(0666));
    if (plant == "hardlink")
        fs::create_hard_link(dir / "sel.lst", dir / "twice.lst");
    if (plant == "foreign") {
        arktest::write_file(dir / "foreign.lst", "alice^:K1\n");
        ASSERT_EQ(::chown((dir / "foreign.lst").c_str(), other, other), 0);
    }
    if (plant == "opendir" || plant == "foreigndir") {
        const fs::path sub = dir / (plant == "opendir" ? "open" : "theirs");
        arktest::write_file(sub / "sel.lst", "alice^:K1\n", fs::perms(0600));
        fs::permissions(sub, fs::perms(plant == "opendir" ? 0777 : 0755));
        if (plant == "foreigndir") {
            ASSERT_EQ(::chown(sub.c_str(), other, other), 0);
        }
    }
    EXPECT_EQ(init({with_dir(GetParam().entry, dir.path().string())}), 0);
    EXPECT_TRUE(arktest::has_message_containing(with_dir(GetParam().message, dir.path().string())))
        << arktest::all_messages();
    EXPECT_EQ(state.iIsSelectiveRestore, 0);
    EXPECT_STREQ(state.cpSelRstListFName, "");
}

INSTANTIATE_TEST_SUITE_P(
    Entries, SelectiveRestoreRefusals,
    ::testing::Values(Refusal{"MissingRelative", "alice@nothere.lst", "Error: file nothere.lst doesn't exist"},
                      Refusal{"MissingAbsolute", "alice@%D/nothere.lst", "Error: file %D/nothere.lst doesn't exist"},
                      Refusal{"NoName", "alice@", "Error: no list file named after \"@\""},
                      Refusal{"Directory", "alice@subdir", "Error: list file %D/subdir is a directory"},
                      // The name fits, but not once it is joined to the work directory.
                      Refusal{"JoinedPathTooLong", "alice@" + std::string(250, 'r'), "Error: path of list file"},
                      // A list that someone else wrote, or could change or
                      // swap before it is read, is not read.
                      Refusal{"Link", "alice@link.lst",
                              "Error: the list file %D/link.lst can't be trusted: %D/link.lst is a symbolic link",
                              "link"},
                      Refusal{"Fifo", "alice@fifo.lst", "%D/fifo.lst is a FIFO; the restore does not read it",
                              "fifo"},
                      Refusal{"WritableByOthers", "alice@%D/loose.lst",
                              "%D/loose.lst is writable by group or others (mode 0666)", "loose"},
                      Refusal{"SecondName", "alice@twice.lst", "%D/twice.lst has 2 names", "hardlink"},
                      Refusal{"AnotherUidsFile", "alice@foreign.lst",
                              "%D/foreign.lst is owned by uid 65534, not by uid 0 or root", "foreign"},
                      Refusal{"InADirectoryOthersCanWrite", "alice@open/sel.lst",
                              "%D/open is writable by group or others (mode 0777 without the sticky bit)",
                              "opendir"},
                      Refusal{"InAnotherUidsDirectory", "alice@theirs/sel.lst", "%D/theirs is owned by uid 65534",
                              "foreigndir"}),
    [](const auto &info) { return std::string(info.param.name); });

// A directory shared with the sticky bit, as /tmp is, may hold the list:
// nobody else can replace a file of this account's there.
TEST_F(SelectiveRestore, AListOfOursInASharedStickyDirectoryIsRead) {
    arktest::write_file(dir / "shared/sel.lst", "alice^:K1\n", fs::perms(0600));
    fs::permissions(dir / "shared", fs::perms(01777));
    EXPECT_EQ(init({"alice@shared/sel.lst"}), 1) << arktest::all_messages();
    EXPECT_EQ(std::string(state.cpSelRstListFName), (dir / "shared/sel.lst").string());
    EXPECT_EQ(state.iIsSelectiveRestore, 1);
}

TEST_F(SelectiveRestore, MissingArgumentsAreRefused) {
    EXPECT_EQ(ARK_FN(InitSelectiveRestore)(users, nullptr), 0);
    EXPECT_TRUE(has_message("Error: wrong parameter value"));
    EXPECT_EQ(ARK_FN(InitSelectiveRestore)(nullptr, &state), 0);
}

} // namespace
