// The restore item loop with a recording fake restore tool: which received
// files are recorded, when a mailbox is imported (whole through the script,
// or record by record), what is deleted, and the mends for the public store
// and for names that only contain another mailbox's name.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "support/fake_server.h"
#include "support/plugin_host.h"
#include "support/plugin_lists.h"
#include "zarafa_index_utils.h"

namespace {

using arktest::CtrlVars;
using arktest::has_message;
using arktest::has_message_containing;
using Strings = std::vector<std::string>;
namespace fs = std::filesystem;

ARKZarafa &state() { return ARK_VAR(g_sARKZarafa); }

const char *kIndex = "ZBK1:mailbox:%s\n"
                     "R:root:0a1b2c3d4e5f:00\n"
                     "C:f:2:0a1b2c3d4e5f:6162:1:aaaaaaaaaaa1:end\n"
                     "C:f:3:aaaaaaaaaaa1:6364:1:aaaaaaaaaaa2:end\n"
                     "C:f:2:0a1b2c3d4e5f:6566:1:aaaaaaaaaaa3:end\n"
                     "M:m:aaaaaaaaaaa1:g1:bbbbbbbbbbb1:0:12:ck\n";

class RestoreItems : public ::testing::Test {
protected:
    void SetUp() override {
        server.set_users({"alice", "bob", "xbob"});
        restore_dir = work / "r" / "var" / "tmp" / "zarafa" / "nightly";
        arktest::clear_messages();
    }
    void TearDown() override {
        char *none[] = {nullptr};
        ARK_FN(DB_CloseOperation)(none);
    }
    int init(Strings vars) {
        vars.push_back("TMP_DIR=" + work.path().string());
        ctrl = std::make_unique<CtrlVars>(std::move(vars));
        return ARK_FN(DB_InitOperation)(DB_TYPE_RST, DB_LEVEL_FULL, ctrl->get());
    }
    // The host writes a file back and announces it with its result.
    int receive(const std::string &name, const std::string &login = "", DB_ITEM_RESULT result = DB_ITEM_SUCCESS) {
        const fs::path path = restore_dir / name;
        std::string text = "data";
        if (name.find(".index.") != std::string::npos) {
            char buf[512];
            std::snprintf(buf, sizeof buf, kIndex, login.c_str());
            text = buf;
        }
        arktest::write_file(path, text);
        std::string p = path.string();
        EXPECT_EQ(ARK_FN(DB_SetItem)(DB_ITEM_TYPE_FILE, p.data()), DB_NUM_I_OK);
        return ARK_FN(DB_ItemFinishStatus)(result);
    }
    Strings users() const { return arktest::StringList::strings_of(state().psUsers); }
    Strings restores() const {
        Strings out;
        for (const auto &c : server.calls())
            if (c.rfind("restore ", 0) == 0)
                out.push_back(c);
        return out;
    }

    arktest::ScopedCwd cwd;
    arktest::FakeServer server;
    arktest::TempDir work;
    fs::path restore_dir;
    std::unique_ptr<CtrlVars> ctrl;
};

TEST_F(RestoreItems, MailboxIsImportedWhenItsIndexFileArrives) {
    ASSERT_EQ(init({"DATABASE=alice", "DATABASE=bob"}), DB_NUM_I_OK);
    EXPECT_EQ(receive("alice.data.zbk"), DB_NUM_I_OK);
    EXPECT_TRUE(restores().empty());
    EXPECT_EQ(receive("alice.index.zbk", "alice"), DB_NUM_I_OK);
    // The script feeds the root's folders, in the restore directory.
    EXPECT_EQ(restores(), Strings{"restore -u alice -r -i - in " + restore_dir.string() +
                                  " input=aaaaaaaaaaa1 aaaaaaaaaaa3 "});
    EXPECT_FALSE(fs::exists(restore_dir / "alice.script.restore-full.sh"));
    EXPECT_FALSE(fs::exists(restore_dir / "alice.index.zbk"));
    EXPECT_FALSE(fs::exists(restore_dir / "alice.data.zbk"));
    EXPECT_EQ(users(), Strings{"bob"});
    EXPECT_TRUE(has_message("Path buf contains [" + (restore_dir / "alice.index.zbk").string() + "]"));
    EXPECT_TRUE(has_message("Removing user=alice ..."));
}

// A restore directory the process can't enter (here: longer than the slot
// that must name it) runs nothing elsewhere: the record-key restore skips
// its keys and the selective restore of the mailbox fails.
TEST_F(RestoreItems, ToolsNeverRunOutsideTheRestoreDirectory) {
    const fs::path deep = work / std::string(200, 'd') / std::string(60, 'e');
    arktest::write_file(deep / "alice.index.zbk", "ZBK1:mailbox:alice\nM:m:aaaaaaaaaaa1:g1:bbbbbbbbbbb1:0:12:ck\n");
    const std::string index = (deep / "alice.index.zbk").string();
    EXPECT_EQ(ARK_FN(ark_zarafa_restore_user)("alice", index.c_str()), 1);
    EXPECT_TRUE(has_message("Warning: can't perform [zarafa-restore -u alice bbbbbbbbbbb1]"));

    LIST_INFO *records = ARK_FN(CreateFIFOList)();
    tSelRestItem record{};
    std::snprintf(record.cpUserName, sizeof record.cpUserName, "alice");
    std::snprintf(record.cpRekordKey, sizeof record.cpRekordKey, "bbbbbbbbbbb1");
    ASSERT_TRUE(ARK_FN(PushFIFOItem)(records, &record, sizeof record));
    EXPECT_EQ(ARK_FN(restore_user_selective)(records, "alice", index.c_str()), 0);
    ARK_FN(DestroyFIFOList)(records);
    EXPECT_TRUE(has_message_containing("Error: Can't change dir to [" + deep.string()));
    EXPECT_TRUE(restores().empty());
}

TEST_F(RestoreItems, DirectoriesAndForeignFilesAreNotRecorded) {
    ASSERT_EQ(init({"DATABASE=bob"}), DB_NUM_I_OK);
    arktest::clear_messages();
    std::string dir = restore_dir.string();
    EXPECT_EQ(ARK_FN(DB_SetItem)(DB_ITEM_TYPE_DIRECTORY, dir.data()), DB_NUM_I_OK);
    EXPECT_EQ(arktest::messages(), Strings{"DB_SetItem(+)"});
    // xbob's file holds the name bob but is not bob's.
    EXPECT_EQ(receive("xbob.index.zbk", "xbob"), DB_NUM_I_OK);
    EXPECT_EQ(state().psFileNames->iItemCount, 0);
    EXPECT_TRUE(restores().empty());
    EXPECT_EQ(users(), Strings{"bob"});
    EXPECT_EQ(receive("bob.index.zbk", "bob"), DB_NUM_I_OK);
    ASSERT_EQ(restores().size(), 1u);
    EXPECT_NE(restores()[0].find("restore -u bob -r -i -"), std::string::npos);
}

TEST_F(RestoreItems, IndexBeforeDataRestoresAtOnceAndTheLateDataIsIgnored) {
    ASSERT_EQ(init({"DATABASE=alice"}), DB_NUM_I_OK);
    EXPECT_EQ(receive("alice.index.zbk", "alice"), DB_NUM_I_OK);
    EXPECT_EQ(restores().size(), 1u);
    EXPECT_TRUE(users().empty());
    EXPECT_EQ(receive("alice.data.zbk"), DB_NUM_I_OK);
    EXPECT_EQ(state().psFileNames->iItemCount, 1);
    EXPECT_TRUE(fs::exists(restore_dir / "alice.data.zbk"));
}

TEST_F(RestoreItems, TwoReadyMailboxesAreBothRestoredInOneCall) {
    ASSERT_EQ(init({"DATABASE=alice", "DATABASE=bob", "DATABASE=xbob"}), DB_NUM_I_OK);
    arktest::write_file(restore_dir / "alice.index.zbk", "ZBK1:mailbox:alice\nR:root:0a1b2c3d4e5f:00\n");
    arktest::write_file(restore_dir / "xbob.index.zbk", "ZBK1:mailbox:xbob\nR:root:0a1b2c3d4e5f:00\n");
    for (auto name : {"alice.index.zbk", "xbob.index.zbk"}) {
        std::string p = (restore_dir / name).string();
        ASSERT_EQ(ARK_FN(DB_SetItem)(DB_ITEM_TYPE_FILE, p.data()), DB_NUM_I_OK);
    }
    EXPECT_EQ(ARK_FN(DB_ItemFinishStatus)(DB_ITEM_SUCCESS), DB_NUM_I_OK);
    EXPECT_EQ(restores().size(), 2u);
    EXPECT_EQ(users(), Strings{"bob"});
}

TEST_F(RestoreItems, PublicStoreIsRecordedAndRestored) {
    ASSERT_EQ(init({"DATABASE=PUBLIC_FOLDER"}), DB_NUM_I_OK);
    EXPECT_EQ(receive("Public.data.zbk"), DB_NUM_I_OK);
    EXPECT_EQ(receive("Public.index.zbk", "public"), DB_NUM_I_OK);
    EXPECT_EQ(restores(), Strings{"restore -p -r -i - in " + restore_dir.string() +
                                  " input=aaaaaaaaaaa1 aaaaaaaaaaa3 "});
    EXPECT_TRUE(users().empty());
    EXPECT_FALSE(fs::exists(restore_dir / "Public.index.zbk"));
}

TEST_F(RestoreItems, NoRecoveryRunsAndDeletesNothing) {
    ASSERT_EQ(init({"DATABASE=alice", "RECOVERY=NO"}), DB_NUM_I_OK);
    EXPECT_EQ(receive("alice.data.zbk"), DB_NUM_I_OK);
    EXPECT_EQ(receive("alice.index.zbk", "alice"), DB_NUM_I_OK);
    EXPECT_EQ(ARK_FN(DB_ItemFinishStatus)(DB_ITEM_SUCCESS), DB_NUM_I_OK);
    EXPECT_TRUE(restores().empty());
    EXPECT_TRUE(fs::exists(restore_dir / "alice.index.zbk"));
    EXPECT_EQ(users(), Strings{"alice"});
}

TEST_F(RestoreItems, SelectiveRestoreRunsTheUsersRecordsInTheRestoreDirectory) {
    arktest::write_file(work / "pick.lst", "alice^:aaaaaaaaaaa1\nbob^:aaaaaaaaaaa2\nalice^:bbbbbbbbbbb1\n");
    ASSERT_EQ(init({"DATABASE=alice@" + (work / "pick.lst").string()}), DB_NUM_I_OK);
    EXPECT_EQ(users(), (Strings{"alice", "bob"}));
    EXPECT_EQ(receive("alice.data.zbk"), DB_NUM_I_OK);
    EXPECT_EQ(receive("alice.index.zbk", "alice"), DB_NUM_I_OK);
    const std::string in = " in " + restore_dir.string() + " input=";
    EXPECT_EQ(restores(), (Strings{"restore -u alice aaaaaaaaaaa1" + in, "restore -u alice bbbbbbbbbbb1" + in}));
    EXPECT_TRUE(has_message("Performing command=zarafa-restore -u alice aaaaaaaaaaa1"));
    EXPECT_EQ(users(), Strings{"bob"});
}

TEST_F(RestoreItems, FailingRestoreToolIsWarnedByCommand) {
    ASSERT_EQ(init({"DATABASE=alice"}), DB_NUM_I_OK);
    arktest::ScopedEnv status("FAKE_RESTORE_STATUS", "3");
    EXPECT_EQ(receive("alice.index.zbk", "alice"), DB_NUM_E_ERROR);
    EXPECT_TRUE(has_message_containing("Warning: command [./alice.script.restore-full.sh] ended with exit status 3"));
}

TEST_F(RestoreItems, RecordKeyRestoreRunsEveryDistinctKey) {
    arktest::write_file(restore_dir / "alice.index.zbk",
                        "ZBK1:mailbox:alice\nR:root:0a1b2c3d4e5f:00\n"
                        "C:f:2:0a1b2c3d4e5f:6162:1:aaaaaaaaaaa1:end\n"
                        "M:m:aaaaaaaaaaa1:g1:bbbbbbbbbbb1:0:12:ck\n"
                        "M:m:aaaaaaaaaaa1:g1:bbbbbbbbbbb1:0:12:ck\n");
    const std::string index = (restore_dir / "alice.index.zbk").string();
    EXPECT_EQ(ARK_FN(ark_zarafa_restore_user)("alice", index.c_str()), 1);
    const std::string in = " in " + restore_dir.string() + " input=";
    EXPECT_EQ(restores(), (Strings{"restore -u alice aaaaaaaaaaa1" + in, "restore -u alice bbbbbbbbbbb1" + in}));
    EXPECT_EQ(ARK_FN(ark_zarafa_restore_user)("alice", (work / "none.index.zbk").c_str()), 0);
    EXPECT_EQ(ARK_FN(ark_zarafa_restore_user)(nullptr, index.c_str()), 0);
    EXPECT_TRUE(has_message("Error: invalid parameters"));
}

TEST_F(RestoreItems, HelpersRefuseMissingArguments) {
    EXPECT_EQ(ARK_FN(restore_full_script)(nullptr, "alice"), 0);
    EXPECT_TRUE(has_message("Error: Invalid parameters"));
    EXPECT_EQ(ARK_FN(restore_user_selective)(nullptr, "alice", "/x/y"), 0);
    EXPECT_TRUE(has_message("Error: incorrect parameter"));
    arktest::StringList list;
    EXPECT_EQ(ARK_FN(restore_user_selective)(list.get(), "alice", (work / "nope" / "a.index.zbk").c_str()), 0);
    EXPECT_TRUE(has_message_containing("Error: Can't find path="));
}

// A file that the host reports as failed holds whatever lay at its path
// (here an older copy): its mailbox is not imported, in any mode and however
// many imports run at once, while the others are, and the call says so.
struct FailedFile {
    const char *name;
    const char *file; // bob's file that fails
    Strings vars;
};

void PrintTo(const FailedFile &c, std::ostream *os) { *os << c.name; }

class FailedRestoreItem : public RestoreItems, public ::testing::WithParamInterface<FailedFile> {};

TEST_P(FailedRestoreItem, ItsMailboxIsNotImportedAndTheOthersAre) {
    const FailedFile &c = GetParam();
    Strings vars = c.vars;
    const bool selective = vars.front().find('@') != std::string::npos;
    if (selective)
        arktest::write_file(work / "pick.lst", "bob^:aaaaaaaaaaa2\nalice^:aaaaaaaaaaa1\n");
    for (auto &v : vars)
        if (v.find('@') != std::string::npos)
            v += (work / "pick.lst").string();
    const bool no_recovery = std::find(vars.begin(), vars.end(), "RECOVERY=NO") != vars.end();
    ASSERT_EQ(init(vars), DB_NUM_I_OK);
    ASSERT_EQ(users(), (Strings{"bob", "alice"}));
    const std::string failed = c.file;
    // Only the call of the failed file fails.
    for (const std::string file : {"bob.data.zbk", "bob.index.zbk"})
        EXPECT_EQ(receive(file, "bob", file == failed ? DB_ITEM_FAIL : DB_ITEM_SUCCESS),
                  file == failed ? DB_NUM_E_ERROR : DB_NUM_I_OK)
            << file << "\n" << arktest::all_messages();
    EXPECT_EQ(receive("alice.data.zbk"), DB_NUM_I_OK);
    EXPECT_EQ(receive("alice.index.zbk", "alice"), DB_NUM_I_OK);
    EXPECT_TRUE(has_message("Error: mailbox bob is not restored: the host could not restore its file " +
                            (restore_dir / failed).string()))
        << arktest::all_messages();
    EXPECT_EQ(ARK_FN(DB_CloseOperation)(ctrl->get()), DB_NUM_I_OK) << arktest::all_messages();
    Strings expected;
    if (!no_recovery)
        expected.push_back(selective ? "restore -u alice aaaaaaaaaaa1 in " + restore_dir.string() + " input="
                                     : "restore -u alice -r -i - in " + restore_dir.string() +
                                           " input=aaaaaaaaaaa1 aaaaaaaaaaa3 ");
    EXPECT_EQ(restores(), expected);
    // No script for the operator to import bob from the failed file either.
    EXPECT_FALSE(fs::exists(restore_dir / "bob.script.restore-full.sh"));
    EXPECT_EQ(fs::exists(restore_dir / "alice.script.restore-full.sh"), no_recovery);
}

INSTANTIATE_TEST_SUITE_P(
    Modes, FailedRestoreItem,
    ::testing::Values(FailedFile{"FailedData", "bob.data.zbk", {"DATABASE=bob", "DATABASE=alice"}},
                      FailedFile{"FailedIndex", "bob.index.zbk", {"DATABASE=bob", "DATABASE=alice"}},
                      FailedFile{"FailedDataFourWorkers", "bob.data.zbk",
                                 {"DATABASE=bob", "DATABASE=alice", "INFO=\"-w\" \"4\""}},
                      FailedFile{"FailedIndexFourWorkers", "bob.index.zbk",
                                 {"DATABASE=bob", "DATABASE=alice", "INFO=\"-w\" \"4\""}},
                      FailedFile{"FailedDataSelective", "bob.data.zbk", {"DATABASE=bob@"}},
                      FailedFile{"FailedDataNoRecovery", "bob.data.zbk",
                                 {"DATABASE=bob", "DATABASE=alice", "RECOVERY=NO"}}),
    [](const ::testing::TestParamInfo<FailedFile> &info) { return std::string(info.param.name); });

} // namespace
