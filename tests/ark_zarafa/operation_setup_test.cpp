// Operation set-up and close: the order of the set-up steps, the removal of
// an earlier export directory (and what it must never remove), selective
// restore set-up from a list file, and the close of each kind of operation.
#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "support/e2e_scene.h"
#include "support/fake_server.h"
#include "support/plugin_host.h"
#include "support/plugin_lists.h"

namespace {

using arktest::CtrlVars;
using arktest::has_message;
using arktest::has_message_containing;
using Strings = std::vector<std::string>;
namespace fs = std::filesystem;

ARKZarafa &state() { return ARK_VAR(g_sARKZarafa); }

class OperationSetup : public ::testing::Test {
protected:
    void SetUp() override {
        server.set_users({"alice", "bob", "carol"});
        arktest::clear_messages();
    }
    void TearDown() override {
        char *none[] = {nullptr};
        ARK_FN(DB_CloseOperation)(none);
    }
    int init(DB_OPERATION_TYPE type, Strings vars) {
        ctrl = std::make_unique<CtrlVars>(std::move(vars));
        return ARK_FN(DB_InitOperation)(type, DB_LEVEL_FULL, ctrl->get());
    }
    int close() {
        arktest::clear_messages();
        return ARK_FN(DB_CloseOperation)(ctrl->get());
    }
    Strings users() const { return arktest::StringList::strings_of(state().psUsers); }
    // An earlier export directory with a file in it.
    fs::path old_export(const std::string &name) {
        const fs::path dir = work / "zarafa" / name;
        arktest::write_file(dir / "alice.index.zbk", "old");
        return dir;
    }
    std::string tmp() const { return "TMP_DIR=" + work.path().string(); }

    arktest::ScopedCwd cwd;
    arktest::FakeServer server;
    arktest::TempDir work;
    std::unique_ptr<CtrlVars> ctrl;
};

TEST_F(OperationSetup, BackupSetUpRunsItsStepsInOrder) {
    ASSERT_EQ(init(DB_TYPE_BCK, {"INFO=\"-l\" \"INCR\" \"-j\" \"n\" \"-x\" \"^b\"", tmp()}), DB_NUM_I_OK);
    EXPECT_EQ(users(), (Strings{"alice", "carol", "PUBLIC_FOLDER"}));
    const auto &m = arktest::messages();
    long level = arktest::message_index("Setting up backup level ...");
    long server_users = arktest::message_index("Fetching users from server ...");
    long cmdline = arktest::message_index("Fetching users from command line ...");
    long merged = arktest::message_index("BuildFinalUserList(-)");
    long excluded = arktest::message_index("Removing user bob ...");
    long found = arktest::message_index("Found [3] mailboxes in mailnode");
    EXPECT_EQ(m.front(), "DB_InitOperation (+)");
    EXPECT_TRUE(0 < level && level < server_users && server_users < cmdline && cmdline < merged &&
                merged < excluded && excluded < found)
        << arktest::all_messages();
    EXPECT_EQ(m.back(), "DB_InitOperation (-)");
    EXPECT_EQ(state().psFileNames->iItemCount, 0);
}

TEST_F(OperationSetup, FullAndCopyRemoveTheirEarlierExportIncrKeepsIt) {
    const fs::path job = old_export("nightly");
    ASSERT_EQ(init(DB_TYPE_BCK, {"INFO=\"-l\" \"INCR\" \"-j\" \"nightly\"", tmp()}), DB_NUM_I_OK);
    EXPECT_TRUE(fs::exists(job / "alice.index.zbk"));
    ASSERT_EQ(init(DB_TYPE_BCK, {"INFO=\"-l\" \"DIFF\" \"-j\" \"nightly\"", tmp()}), DB_NUM_I_OK);
    EXPECT_TRUE(fs::exists(job));
    // The FULL empties the directory and keeps it (and the job's marker).
    arktest::write_file(job / ".ark_zarafa.job", "nightly\n");
    arktest::write_file(job / "sub/x.index.zbk", "old");
    ASSERT_EQ(init(DB_TYPE_BCK, {"INFO=\"-l\" \"FULL\" \"-j\" \"nightly\"", tmp()}), DB_NUM_I_OK);
    EXPECT_EQ(arktest::tree_entries(job), (Strings{".ark_zarafa.job"}));

    // COPY removes the directory its exports go to: the save-set name with
    // "/" and "." replaced, so the name can't reach elsewhere.
    const fs::path copy = old_export("SET_01_A");
    const fs::path nested = old_export("SET.01");
    ASSERT_EQ(init(DB_TYPE_BCK, {"INFO=\"-l\" \"COPY\"", "SAVESET=SET.01/A", tmp()}), DB_NUM_I_OK);
    EXPECT_EQ(arktest::tree_entries(copy), Strings{});
    EXPECT_TRUE(fs::exists(nested / "alice.index.zbk"));
}

// A FULL whose old export can't be cleared wholly would find old index
// files and export only the changes: it fails at set-up, naming what stayed,
// and exports nothing. (A tree deeper than the walk goes stands for any
// entry that can't be removed.)
TEST_F(OperationSetup, AFullThatCannotClearItsDirectoryFailsAtSetUp) {
    const fs::path job = old_export("nightly");
    fs::path deep = job / "old";
    for (int i = 0; i < 140; ++i)
        deep /= "d";
    fs::create_directories(deep);
    // The COPY first: the FULL marks the directory as the job's.
    for (const char *level : {"COPY", "FULL"}) {
        const std::string info = std::string("INFO=\"-l\" \"") + level + "\" \"-j\" \"nightly\"";
        arktest::clear_messages();
        EXPECT_EQ(init(DB_TYPE_BCK, {info, "SAVESET=nightly", tmp()}), DB_NUM_E_ERROR) << level;
        EXPECT_TRUE(has_message_containing("Error: can't remove " + (job / "old/d/d").string())) << level;
        EXPECT_TRUE(has_message("Error: the previous export directory " + job.string() +
                                " could not be cleared; the backup would not be whole, so it is not run"))
            << arktest::all_messages();
        EXPECT_FALSE(fs::exists(job / "alice.index.zbk")) << level;
    }
}

TEST_F(OperationSetup, AMissingWorkDirectoryIsMadePrivateWithNothingToRemove) {
    ASSERT_EQ(init(DB_TYPE_BCK, {"INFO=\"-l\" \"FULL\" \"-j\" \"n\"", "TMP_DIR=" + (work / "missing").string()}),
              DB_NUM_I_OK);
    EXPECT_FALSE(has_message_containing("Error"));
    for (const fs::path &dir : {work / "missing", work / "missing/zarafa", work / "missing/zarafa/n"})
        EXPECT_EQ(fs::status(dir).permissions(), fs::perms(0700)) << dir;
}

TEST_F(OperationSetup, EmptySaveSetNameNeverRemovesEveryExport) {
    const fs::path other = old_export("otherjob");
    ASSERT_EQ(init(DB_TYPE_BCK, {"INFO=\"-l\" \"COPY\"", "SAVESET=", tmp()}), DB_NUM_I_OK);
    EXPECT_TRUE(has_message("Warning: previous export directory not removed: the save-set name is empty"));
    EXPECT_TRUE(fs::exists(other / "alice.index.zbk"));
}

// Which export directory a set-up may use: the levels that keep a baseline
// need a job name and mark the job's directory; a COPY whose directory is a
// job's is refused with nothing removed.
struct ClaimCase {
    const char *name;
    std::string info;
    std::string saveset;
    std::string job_file; // left in the directory "nightly" by earlier runs, or none
    bool accepted;
    std::string message;
};

void PrintTo(const ClaimCase &c, std::ostream *os) { *os << c.name; }

class ExportDirClaim : public OperationSetup, public ::testing::WithParamInterface<ClaimCase> {};

TEST_P(ExportDirClaim, LevelsThatKeepABaselineOwnTheirDirectory) {
    const ClaimCase &c = GetParam();
    const fs::path dir = work / "zarafa" / "nightly";
    if (!c.job_file.empty()) {
        arktest::write_file(dir / c.job_file, c.job_file == ".ark_zarafa.job" ? "nightly\n" : "kept");
        arktest::write_file(dir / "alice.index.zbk", "kept");
    }
    const auto before = arktest::tree_snapshot(work.path());
    const int result = init(DB_TYPE_BCK, {"INFO=" + c.info, "SAVESET=" + c.saveset, tmp()});
    EXPECT_EQ(result, c.accepted ? DB_NUM_I_OK : DB_NUM_E_ERROR) << arktest::all_messages();
    if (!c.message.empty()) {
        EXPECT_TRUE(has_message_containing(c.message)) << arktest::all_messages();
    }
    if (!c.accepted) {
        // Refused before anything was listed, written or removed.
        EXPECT_EQ(arktest::tree_snapshot(work.path()), before);
        EXPECT_EQ(users(), Strings{});
    } else if (c.info.find("COPY") == std::string::npos) {
        // The marker names the job, for the owner only.
        EXPECT_EQ(arktest::read_file(dir / ".ark_zarafa.job"), "nightly\n");
        if (c.job_file.empty()) {
            EXPECT_EQ(fs::status(dir / ".ark_zarafa.job").permissions() & fs::perms::all,
                      fs::perms::owner_read | fs::perms::owner_write);
        }
    }
}

const std::string kNoJob = "a job name is needed for a";
const std::string kJobsDir = "would export into";

INSTANTIATE_TEST_SUITE_P(
    Levels, ExportDirClaim,
    ::testing::Values(
        ClaimCase{"FullWithoutJob", "\"-l\" \"FULL\"", "nightly", "", false, "Error: " + kNoJob + " FULL backup"},
        ClaimCase{"IncrWithoutJob", "\"-l\" \"INCR\"", "nightly", "", false, "Error: " + kNoJob + " INCR backup"},
        ClaimCase{"DiffWithoutJob", "\"-l\" \"DIFF\"", "nightly", "", false, "Error: " + kNoJob + " DIFF backup"},
        ClaimCase{"FullWithSlashesForAJob", "\"-l\" \"FULL\" \"-j\" \"//\"", "s", "", false, "Error: " + kNoJob},
        ClaimCase{"CopyNeedsNoJob", "\"-l\" \"COPY\"", "s", "", true, ""},
        ClaimCase{"FullMarksItsJob", "\"-l\" \"FULL\" \"-j\" \"nightly\"", "s", "", true, ""},
        ClaimCase{"IncrMarksItsJob", "\"-l\" \"INCR\" \"-j\" \"nightly\"", "s", ".ark_zarafa.job", true, ""},
        ClaimCase{"CopyNamedLikeAJob", "\"-l\" \"COPY\"", "nightly", ".ark_zarafa.job", false,
                  "Error: the COPY of save set nightly " + kJobsDir},
        ClaimCase{"CopyOverAKilledCopy", "\"-l\" \"COPY\"", "nightly", ".alice.index.zbk.nobaseline", true, ""},
        ClaimCase{"CopyOverAKilledCopysJournal", "\"-l\" \"COPY\"", "nightly", ".baselines.journal", true, ""},
        ClaimCase{"CopyNamedLikeAJobWithADiffBaseline", "\"-l\" \"COPY\"", "nightly", ".alice.index.zbk.full",
                  false, "the export directory of job nightly"},
        ClaimCase{"CopyOverALeftCopy", "\"-l\" \"COPY\"", "nightly", "alice.data.zbk", true, ""}),
    [](const ::testing::TestParamInfo<ClaimCase> &info) { return std::string(info.param.name); });

TEST_F(OperationSetup, HostileJobAndSaveSetNamesStayInsideTheExportArea) {
    const fs::path outside = work / "keep";
    arktest::write_file(outside / "precious", "x");
    EXPECT_EQ(init(DB_TYPE_BCK, {"INFO=\"-l\" \"FULL\" \"-j\" \"../keep\"", tmp()}), DB_NUM_E_ERROR);
    EXPECT_TRUE(has_message_containing("Error: Can't use the export directory"));
    EXPECT_TRUE(fs::exists(outside / "precious"));

    const fs::path spaced = old_export("a b");
    const fs::path a = old_export("a");
    ASSERT_EQ(init(DB_TYPE_BCK, {"INFO=\"-l\" \"FULL\" \"-j\" \"a b\"", tmp()}), DB_NUM_I_OK);
    // Emptied, but still the job's.
    EXPECT_EQ(arktest::tree_entries(spaced), Strings{".ark_zarafa.job"});
    EXPECT_TRUE(fs::exists(a / "alice.index.zbk"));

    const fs::path hostile = old_export("x;touch PWNED");
    ASSERT_EQ(init(DB_TYPE_BCK, {"INFO=\"-l\" \"COPY\"", "SAVESET=x;touch PWNED", tmp()}), DB_NUM_I_OK);
    EXPECT_EQ(arktest::tree_entries(hostile), Strings{});
    EXPECT_FALSE(fs::exists(work / "PWNED"));
    EXPECT_FALSE(fs::exists(work / "zarafa" / "PWNED"));
    EXPECT_TRUE(fs::exists(a / "alice.index.zbk"));
}

TEST_F(OperationSetup, RelativeOrOverlongWorkDirectoryIsRefused) {
    EXPECT_EQ(init(DB_TYPE_BCK, {"INFO=\"-l\" \"FULL\" \"-j\" \"n\"", "TMP_DIR=var/tmp"}), DB_NUM_E_ERROR);
    EXPECT_TRUE(has_message("Error: the work directory TMP_DIR=var/tmp is not an absolute path"));
    EXPECT_EQ(init(DB_TYPE_BCK, {"INFO=\"-l\" \"FULL\" \"-j\" \"n\"", "TMP_DIR=/" + std::string(300, 'x')}),
              DB_NUM_E_ERROR);
    EXPECT_TRUE(has_message_containing("Error: Can't accept control variable TMP_DIR="));
}

TEST_F(OperationSetup, RefusedLevelFailsTheSetUp) {
    EXPECT_EQ(init(DB_TYPE_BCK, {"INFO=\"-l\" \"WEEKLY\"", tmp()}), DB_NUM_E_ERROR);
    EXPECT_TRUE(has_message("Error: Can't setup backup level"));
}

TEST_F(OperationSetup, PlainRestoreMergesNamesWithoutALevel) {
    ASSERT_EQ(init(DB_TYPE_RST, {"DATABASE=bob", "DATABASE=zed", tmp()}), DB_NUM_I_OK);
    EXPECT_EQ(users(), Strings{"bob"});
    EXPECT_FALSE(has_message("Setting up backup level ..."));
    EXPECT_TRUE(has_message("Warning: User \"zed\" was not found on the server"));
    EXPECT_EQ(state().iIsSelectiveRestore, 0);
}

TEST_F(OperationSetup, SelectiveRestoreTakesTheDistinctUsersOfTheListFile) {
    arktest::write_file(work / "pick.lst", "bob^:aaaaaaaaaaa1\nalice^:aaaaaaaaaaa2\nbob^:aaaaaaaaaaa3\n"
                                           "zed^:aaaaaaaaaaa4\npublic^:aaaaaaaaaaa5\n");
    ASSERT_EQ(init(DB_TYPE_RST, {"DATABASE=ignored@pick.lst", tmp()}), DB_NUM_I_OK);
    EXPECT_EQ(state().iIsSelectiveRestore, 1);
    EXPECT_TRUE(has_message("Selective restore found. List file=" + (work / "pick.lst").string()));
    EXPECT_EQ(users(), (Strings{"bob", "alice", "PUBLIC_FOLDER"}));
    EXPECT_TRUE(has_message("Warning: User \"zed\" was not found on the server"));
    EXPECT_EQ(state().psSelRestList->iItemCount, 5);
}

TEST_F(OperationSetup, SelectiveRestoreFailures) {
    EXPECT_EQ(init(DB_TYPE_RST, {"DATABASE=x@missing.lst", tmp()}), DB_NUM_E_ERROR);
    EXPECT_TRUE(has_message("Error: Can't process restore type"));
    arktest::write_file(work / "empty.lst", "no separators here\n\n");
    EXPECT_EQ(init(DB_TYPE_RST, {"DATABASE=x@empty.lst", tmp()}), DB_NUM_E_ERROR);
    EXPECT_TRUE(has_message("Error: Can't prepare selected restore list"));
    fs::create_directories(work / "dir.lst");
    EXPECT_EQ(init(DB_TYPE_RST, {"DATABASE=x@dir.lst", tmp()}), DB_NUM_E_ERROR);
    EXPECT_TRUE(has_message_containing("Error: Can't parse list file=") ||
                has_message("Error: Can't prepare selected restore list"));
}

TEST_F(OperationSetup, CloseAfterBackupOnlyReleases) {
    ASSERT_EQ(init(DB_TYPE_BCK, {"INFO=\"-l\" \"FULL\" \"-j\" \"n\"", tmp()}), DB_NUM_I_OK);
    EXPECT_EQ(close(), DB_NUM_I_OK);
    EXPECT_EQ(arktest::messages(), (Strings{"DB_CloseOperation(+)", "zarafa_global_struct_cleanup(+)",
                                            "zarafa_global_struct_cleanup(-)", "DB_CloseOperation(-)"}));
    EXPECT_EQ(state().cpArgv[0], nullptr);
}

TEST_F(OperationSetup, CloseOfARestoreWithNothingRecordedFails) {
    ASSERT_EQ(init(DB_TYPE_RST, {"DATABASE=alice", tmp()}), DB_NUM_I_OK);
    EXPECT_EQ(close(), DB_NUM_E_ERROR);
    EXPECT_TRUE(has_message("Error: Can't cleanup the temporary directory"));
    EXPECT_TRUE(has_message("zarafa_global_struct_cleanup(-)"));
}

TEST_F(OperationSetup, CloseOfARestoreRemovesTheReceivingDirectory) {
    ASSERT_EQ(init(DB_TYPE_RST, {"DATABASE=alice", tmp()}), DB_NUM_I_OK);
    const fs::path received = work / "r" / "var" / "x";
    arktest::write_file(received / "alice.data.zbk", "d");
    std::string path = (received / "alice.data.zbk").string();
    ASSERT_EQ(ARK_FN(DB_SetItem)(DB_ITEM_TYPE_FILE, path.data()), DB_NUM_I_OK);
    EXPECT_EQ(close(), DB_NUM_I_OK);
    EXPECT_FALSE(fs::exists(received));
    EXPECT_TRUE(fs::exists(work / "r" / "var"));
}

TEST_F(OperationSetup, NoRecoveryCloseWritesScriptsAndTellsEveryUser) {
    ASSERT_EQ(init(DB_TYPE_RST, {"DATABASE=alice", "DATABASE=bob", "RECOVERY=NO", tmp()}), DB_NUM_I_OK);
    const fs::path received = work / "r";
    arktest::write_file(received / "alice.index.zbk", "ZBK1:mailbox:alice\n");
    std::string path = (received / "alice.index.zbk").string();
    ASSERT_EQ(ARK_FN(DB_SetItem)(DB_ITEM_TYPE_FILE, path.data()), DB_NUM_I_OK);
    EXPECT_EQ(ARK_FN(DB_ItemFinishStatus)(DB_ITEM_SUCCESS), DB_NUM_I_OK);
    EXPECT_TRUE(fs::exists(received / "alice.index.zbk"));
    EXPECT_EQ(close(), DB_NUM_I_OK);
    EXPECT_TRUE(fs::exists(received / "alice.script.restore-full.sh"));
    EXPECT_FALSE(fs::exists(received / "bob.script.restore-full.sh"));
    EXPECT_TRUE(has_message("Call alice.script.restore-full.sh to perform full restore of alice mail box"));
    EXPECT_TRUE(has_message("Call bob.script.restore-full.sh to perform full restore of bob mail box"));
    EXPECT_TRUE(fs::exists(received / "alice.index.zbk"));
}

} // namespace
