// The backup item loop with a fake export tool: export ahead of delivery,
// delivery order and item names, export directory naming, deletion by level,
// failed exports, many files, and names that must stay arguments.
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "support/fake_server.h"
#include "support/plugin_host.h"
#include "support/plugin_lists.h"

namespace {

using arktest::CtrlVars;
using arktest::has_message;
using Strings = std::vector<std::string>;
namespace fs = std::filesystem;

ARKZarafa &state() { return ARK_VAR(g_sARKZarafa); }

class BackupItems : public ::testing::Test {
protected:
    void SetUp() override { arktest::clear_messages(); }
    void TearDown() override {
        char *none[] = {nullptr};
        ARK_FN(DB_CloseOperation)(none);
    }

    int init(const std::string &info, const Strings &mailboxes, const std::string &saveset = "SET1",
             std::string tmp = "") {
        if (tmp.empty())
            tmp = work.path().string();
        Strings vars{"INFO=" + info, "SAVESET=" + saveset, "TMP_DIR=" + tmp};
        for (const auto &m : mailboxes)
            vars.push_back("DATABASE=" + m);
        ctrl = std::make_unique<CtrlVars>(vars);
        return ARK_FN(DB_InitOperation)(DB_TYPE_BCK, DB_LEVEL_FULL, ctrl->get());
    }

    struct Item {
        int rc;
        std::string name;
    };
    Item next() {
        char backup_dir[256] = "host-backup-dir", original[256] = "host-original";
        char name[256] = "untouched";
        const int rc = ARK_FN(DB_GetItem)(backup_dir, original, name);
        EXPECT_STREQ(backup_dir, "host-backup-dir");
        EXPECT_STREQ(original, "host-original");
        return {rc, name};
    }
    // Drain the loop, acknowledging every item; the names handed out.
    Strings run_all(DB_ITEM_RESULT result = DB_ITEM_SUCCESS) {
        Strings names;
        for (int guard = 0; guard < 10000; ++guard) {
            Item item = next();
            if (item.rc == DB_NUM_I_COMPLETE)
                break;
            if (item.rc == DB_NUM_I_OK) {
                names.push_back(item.name);
                EXPECT_EQ(ARK_FN(DB_ItemFinishStatus)(result), DB_NUM_I_OK);
            }
        }
        return names;
    }
    std::string rel(const fs::path &p) { return p.string().substr(1); }

    arktest::ScopedCwd cwd;
    arktest::FakeServer server;
    arktest::TempDir work;
    std::unique_ptr<CtrlVars> ctrl;
};

TEST_F(BackupItems, ExportRunsAheadOfDeliveryMailboxByMailbox) {
    server.set_users({"alice", "bob"});
    ASSERT_EQ(init("\"-l\" \"INCR\" \"-j\" \"nightly\"", {"alice", "bob"}), DB_NUM_I_OK);
    const fs::path dir = work / "zarafa" / "nightly";

    Item first = next(); // exports alice, delivers her data file
    ASSERT_EQ(first.rc, DB_NUM_I_OK);
    EXPECT_EQ(first.name, rel(dir / "alice.data.zbk"));
    EXPECT_EQ(std::string(state().cpLastProcessedUser), (dir / "alice.data.zbk").string());
    EXPECT_EQ(server.calls().back(), "backup -u alice in " + dir.string());
    EXPECT_EQ(fs::current_path(), fs::path("/"));
    ASSERT_EQ(ARK_FN(DB_ItemFinishStatus)(DB_ITEM_SUCCESS), DB_NUM_I_OK);

    Item second = next(); // exports bob, delivers alice's index file
    EXPECT_EQ(second.name, rel(dir / "alice.index.zbk"));
    EXPECT_EQ(server.calls().back(), "backup -u bob in " + dir.string());
    ARK_FN(DB_ItemFinishStatus)(DB_ITEM_SUCCESS);

    arktest::clear_messages();
    EXPECT_EQ(next().name, rel(dir / "bob.data.zbk"));
    EXPECT_TRUE(has_message("DB_GetItem(): All users processed but there still are some files to store"));
    ARK_FN(DB_ItemFinishStatus)(DB_ITEM_SUCCESS);
    EXPECT_EQ(next().name, rel(dir / "bob.index.zbk"));
    ARK_FN(DB_ItemFinishStatus)(DB_ITEM_SUCCESS);

    arktest::clear_messages();
    Item done = next();
    EXPECT_EQ(done.rc, DB_NUM_I_COMPLETE);
    EXPECT_EQ(done.name, "untouched");
    EXPECT_TRUE(has_message("DB_GetItem(): There are no users to backup"));
    // INCR keeps the index files for the next increment and deletes the data.
    EXPECT_TRUE(fs::exists(dir / "alice.index.zbk"));
    EXPECT_TRUE(fs::exists(dir / "bob.index.zbk"));
    EXPECT_FALSE(fs::exists(dir / "alice.data.zbk"));
    EXPECT_FALSE(fs::exists(dir / "bob.data.zbk"));
}

TEST_F(BackupItems, CopyDeletesEverythingAndFinallyTheDirectory) {
    server.set_users({"alice"});
    ASSERT_EQ(init("\"-l\" \"COPY\"", {"alice"}, "SET.01/A"), DB_NUM_I_OK);
    const fs::path dir = work / "zarafa" / "SET_01_A";
    Item item = next();
    EXPECT_EQ(item.name, rel(dir / "alice.data.zbk"));
    arktest::clear_messages();
    ARK_FN(DB_ItemFinishStatus)(DB_ITEM_SUCCESS);
    EXPECT_TRUE(has_message("Warning: The directory [" + dir.string() + "] was not removed."));
    EXPECT_FALSE(fs::exists(dir / "alice.data.zbk"));
    EXPECT_EQ(next().name, rel(dir / "alice.index.zbk"));
    ARK_FN(DB_ItemFinishStatus)(DB_ITEM_SUCCESS);
    EXPECT_FALSE(fs::exists(dir));
    EXPECT_EQ(state().cpLastProcessedUser[0], '\0');
    EXPECT_EQ(next().rc, DB_NUM_I_COMPLETE);
}

// A file the host could not store undoes its mailbox's export: no index
// is left to claim mail the store lacks, and the rest is not handed out.
TEST_F(BackupItems, FailedStoreRollsTheMailboxBackAndWarnsByName) {
    server.set_users({"alice"});
    ASSERT_EQ(init("\"-l\" \"FULL\" \"-j\" \"job\"", {"alice"}), DB_NUM_I_OK);
    const fs::path data = work / "zarafa" / "job" / "alice.data.zbk";
    ASSERT_EQ(next().rc, DB_NUM_I_OK);
    EXPECT_EQ(ARK_FN(DB_ItemFinishStatus)(DB_ITEM_FAIL), DB_NUM_I_OK);
    EXPECT_FALSE(fs::exists(data));
    EXPECT_FALSE(fs::exists(work / "zarafa" / "job" / "alice.index.zbk"));
    EXPECT_TRUE(arktest::has_message_containing("Warning: the host could not store " + data.string() +
                                                "; the baseline of mailbox alice is kept"));
    EXPECT_EQ(next().rc, DB_NUM_I_COMPLETE);
}

TEST_F(BackupItems, WorkDirectoryWithDataInItsNameKeepsIndexFiles) {
    server.set_users({"alice"});
    const fs::path tricky = work / "backups.data.d";
    fs::create_directories(tricky);
    ASSERT_EQ(init("\"-l\" \"FULL\" \"-j\" \"job\"", {"alice"}, "S", tricky.string()), DB_NUM_I_OK);
    run_all();
    EXPECT_TRUE(fs::exists(tricky / "zarafa" / "job" / "alice.index.zbk"));
    EXPECT_FALSE(fs::exists(tricky / "zarafa" / "job" / "alice.data.zbk"));
}

TEST_F(BackupItems, TrailingSlashAndRunsOfSlashesGiveOneSlash) {
    server.set_users({"alice"});
    ASSERT_EQ(init("\"-l\" \"FULL\" \"-j\" \"job\"", {"alice"}, "S", work.path().string() + "//"), DB_NUM_I_OK);
    EXPECT_EQ(next().name, rel(work / "zarafa" / "job" / "alice.data.zbk"));
}

TEST_F(BackupItems, FailedExportNamesTheMailboxAndTheLoopGoesOn) {
    server.set_users({"alice", "bob"});
    ASSERT_EQ(init("\"-l\" \"FULL\" \"-j\" \"job\"", {"alice", "bob"}), DB_NUM_I_OK);
    {
        arktest::ScopedEnv mode("FAKE_BACKUP_MODE", "none");
        EXPECT_EQ(next().rc, DB_NUM_E_ERROR);
    }
    EXPECT_TRUE(has_message("Error: Can't perform backup for user"));
    EXPECT_TRUE(arktest::has_message_containing("Error: mailbox alice was not exported"));
    EXPECT_TRUE(arktest::has_message_containing("Warning: command [zarafa-backup -u alice] ended with exit status 1"));
    EXPECT_EQ(run_all(), (Strings{rel(work / "zarafa" / "job" / "bob.data.zbk"),
                                  rel(work / "zarafa" / "job" / "bob.index.zbk")}));
}

TEST_F(BackupItems, ExportWithoutIndexFileIsAFailure) {
    server.set_users({"alice"});
    ASSERT_EQ(init("\"-l\" \"FULL\" \"-j\" \"job\"", {"alice"}), DB_NUM_I_OK);
    arktest::ScopedEnv mode("FAKE_BACKUP_MODE", "data-only");
    EXPECT_EQ(next().rc, DB_NUM_E_ERROR);
    EXPECT_TRUE(arktest::has_message_containing("Error: mailbox alice was not exported: its index file"));
    EXPECT_EQ(next().rc, DB_NUM_I_COMPLETE);
}

TEST_F(BackupItems, MoreThanAHundredFilesAreAllDelivered) {
    server.set_users({"alice"});
    ASSERT_EQ(init("\"-l\" \"COPY\"", {"alice"}), DB_NUM_I_OK);
    arktest::ScopedEnv mode("FAKE_BACKUP_MODE", "many:150");
    EXPECT_EQ(run_all().size(), 152u);
    EXPECT_FALSE(fs::exists(work / "zarafa" / "SET1"));
}

TEST_F(BackupItems, PublicStoreAndAllUseTheirOwnExportForms) {
    server.set_users({"alice"});
    ASSERT_EQ(init("\"-l\" \"FULL\" \"-j\" \"job\"", {"PUBLIC_FOLDER"}), DB_NUM_I_OK);
    EXPECT_EQ(next().name, rel(work / "zarafa" / "job" / "Public.data.zbk"));
    EXPECT_EQ(server.calls().back(), "backup -p in " + (work / "zarafa" / "job").string());
    run_all();

    // "ALL" is exported in one run when it reaches the loop as a mailbox.
    ASSERT_EQ(init("\"-l\" \"FULL\" \"-j\" \"job2\"", {"PUBLIC_FOLDER"}), DB_NUM_I_OK);
    ARK_FN(PullFIFOItem)(state().psUsers, std::vector<char>(64).data(), nullptr);
    ARK_FN(PushFIFOItem)(state().psUsers, "ALL", 4);
    next();
    EXPECT_EQ(server.calls().back(), "backup -a in " + (work / "zarafa" / "job2").string());
}

TEST_F(BackupItems, EmptySelectionCompletesAtOnce) {
    server.set_users({});
    ASSERT_EQ(init("\"-l\" \"FULL\" \"-j\" \"job\"", {"ALL_USERS"}), DB_NUM_I_OK);
    Item item = next();
    EXPECT_EQ(item.rc, DB_NUM_I_COMPLETE);
    EXPECT_EQ(item.name, "untouched");
}

TEST_F(BackupItems, HostileMailboxNameIsOneArgument) {
    const std::string hostile = "$(touch${IFS}PWNED);x|`id`";
    server.set_users({hostile});
    ASSERT_EQ(init("\"-l\" \"FULL\" \"-j\" \"job\"", {hostile}), DB_NUM_I_OK);
    Strings names = run_all();
    ASSERT_EQ(names.size(), 2u);
    EXPECT_EQ(names[0], rel(work / "zarafa" / "job" / (hostile + ".data.zbk")));
    EXPECT_TRUE(has_message("Start export: [zarafa-backup -u '" + hostile + "']"));
    EXPECT_FALSE(fs::exists(work / "zarafa" / "job" / "PWNED"));
    EXPECT_FALSE(fs::exists("/PWNED"));
}

TEST_F(BackupItems, ParameterCheckAndWrongArguments) {
    server.set_users({"alice"});
    ASSERT_EQ(init("\"-l\" \"FULL\" \"-j\" \"job\"", {"alice"}), DB_NUM_I_OK);
    char a[8], b[8], c[8];
    EXPECT_EQ(ARK_FN(IsGetItemParamOk)(a, b, c), DB_NUM_I_OK);
    EXPECT_EQ(ARK_FN(IsGetItemParamOk)(a, nullptr, c), DB_NUM_E_ERROR);
    EXPECT_EQ(ARK_FN(backup_user)(nullptr, state().psFileNames, "x"), ERROR_WRONG_PARAM);
    EXPECT_TRUE(has_message("backup_user(-), reason=ERROR_WRONG_PARAM"));
    arktest::StringList empty;
    EXPECT_EQ(ARK_FN(backup_user)(empty.get(), state().psFileNames, "x"), ERROR_NO_MORE_USERS);
    char source[256] = "x";
    EXPECT_EQ(ARK_FN(ark_zarafa_backup_user)(source, nullptr), -1);
    EXPECT_STREQ(source, "");
}

TEST_F(BackupItems, BuildFileListKeepsTheMailboxFilesInSortedOrder) {
    for (auto name : {"bob.data.zbk", "bob.index.zbk", "bob.smith.data.zbk", "bobby.data.zbk", ".bob.hidden",
                      "Public.data.zbk", "xPublicy"})
        arktest::write_file(work / name, "");
    std::vector<char *> table(100, nullptr);
    const int n = ARK_FN(build_file_list)(work.path().c_str(), table.data(), "bob");
    ASSERT_EQ(n, 3);
    EXPECT_EQ(std::string(table[0]), (work / "bob.data.zbk").string());
    EXPECT_EQ(std::string(table[1]), (work / "bob.index.zbk").string());
    EXPECT_EQ(std::string(table[2]), (work / "bob.smith.data.zbk").string());
    for (int i = 0; i < n; ++i)
        std::free(table[static_cast<size_t>(i)]);
    std::vector<char *> pub(100, nullptr);
    EXPECT_EQ(ARK_FN(build_file_list)(work.path().c_str(), pub.data(), "PUBLIC_FOLDER"), 2);
    for (char *p : pub)
        std::free(p);
}

// Only the effective user's own regular files are items: whatever else lies
// in the export directory under a mailbox's names stays there, named in a
// warning, and a link never brings its target into the save set.
TEST_F(BackupItems, OnlyOwnRegularFilesAreHandedOut) {
    arktest::write_file(work / "outside", "secret");
    arktest::write_file(work / "bob.data.zbk", "");
    fs::create_symlink(work / "outside", work / "bob.notes");
    ASSERT_EQ(::mkfifo((work / "bob.fifo").c_str(), 0600), 0);
    fs::create_directory(work / "bob.dir");
    arktest::write_file(work / "bob.other", "");
    const bool foreign = ::chown((work / "bob.other").c_str(), 65534, 65534) == 0;
    std::vector<char *> table(100, nullptr);
    ASSERT_EQ(ARK_FN(build_file_list)(work.path().c_str(), table.data(), "bob"), foreign ? 1 : 2);
    EXPECT_EQ(std::string(table[0]), (work / "bob.data.zbk").string());
    for (char *p : table)
        std::free(p);
    const std::string dir = work.path().string();
    EXPECT_TRUE(has_message("Warning: " + dir + "/bob.notes is not handed to the host: it is a symbolic link"));
    EXPECT_TRUE(has_message("Warning: " + dir + "/bob.fifo is not handed to the host: it is a FIFO"));
    EXPECT_TRUE(has_message("Warning: " + dir + "/bob.dir is not handed to the host: it is a directory"));
    if (foreign) {
        EXPECT_TRUE(has_message("Warning: " + dir + "/bob.other is not handed to the host: it is a file of uid 65534"));
    }
}

} // namespace
