// Mailbox selection: the level and job-name walk, the server's account rows,
// the requested names, their merge with the special names, the exclusion
// patterns (real PCRE) and the report with account details.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "backup_levels.h"
#include "support/fake_server.h"
#include "support/plugin_host.h"
#include "support/plugin_lists.h"
#include "zarafa_server_utils.h"

namespace {

using arktest::CtrlVars;
using arktest::has_message;
using arktest::StringList;
using Strings = std::vector<std::string>;

ARKZarafa &state() { return ARK_VAR(g_sARKZarafa); }

class Selection : public ::testing::Test {
protected:
    void SetUp() override {
        ARK_FN(zarafa_global_struct_init)(DB_TYPE_BCK);
        arktest::clear_messages();
    }
    void TearDown() override { ARK_FN(zarafa_global_struct_cleanup)(); }

    // Parse the option words and run the level set-up.
    int levels(const std::string &info) {
        ARK_FN(zarafa_global_struct_init)(DB_TYPE_BCK);
        CtrlVars vars{"INFO=" + info};
        ARK_FN(zarafa_parse_db_args)(&state(), vars.get());
        arktest::clear_messages();
        return ARK_FN(setup_backup_level)(&state());
    }
    arktest::FakeServer server;
};

TEST_F(Selection, LevelWordsSetExactlyOneFlag) {
    ASSERT_EQ(levels("\"-j\" \"nightly\""), 1);
    EXPECT_EQ(state().iBackupLevelCOPY, 1);
    EXPECT_STREQ(state().cpJobName, "nightly");
    ASSERT_EQ(levels("\"-l\" \"diff\""), 1);
    EXPECT_EQ(state().iBackupLevelINCR, 1);
    EXPECT_EQ(state().iBackupLevelFULL + state().iBackupLevelCOPY, 0);
    EXPECT_TRUE(has_message("Backup Level=diff"));
    ASSERT_EQ(levels("\"-l\" \"Full\" \"-l\" \"copy\""), 1);
    EXPECT_EQ(state().iBackupLevelCOPY, 1);
    EXPECT_EQ(state().iBackupLevelFULL, 0);
    EXPECT_EQ(levels("\"-l\" \"WEEKLY\""), 0);
    EXPECT_TRUE(has_message("Warning: backup level type unknown"));
    EXPECT_EQ(levels("\"-j\" \"x\" \"-l\""), 0);
    EXPECT_TRUE(has_message("Warning: -l option parameter not found"));
    EXPECT_EQ(levels("\"-j\""), 0);
    EXPECT_TRUE(has_message("Warning: -j option parameter not found"));
    EXPECT_EQ(ARK_FN(setup_backup_level)(nullptr), 0);
    EXPECT_TRUE(has_message("Warning: incorrect argument"));
}

TEST_F(Selection, JobNameOf100CharactersIsKeptWhole) {
    const std::string name100(100, 'j');
    ASSERT_EQ(levels("\"-j\" \"" + name100 + "\""), 1);
    EXPECT_EQ(std::string(state().cpJobName), name100);
    EXPECT_EQ(levels("\"-j\" \"" + name100 + "x\""), 0);
    EXPECT_TRUE(has_message("Warning: value is too long"));
}

TEST_F(Selection, OptionValuesAreExaminedAsWordsInTheirTurn) {
    ASSERT_EQ(levels("\"-j\" \"-l\" \"FULL\""), 1);
    EXPECT_STREQ(state().cpJobName, "-l");
    EXPECT_EQ(state().iBackupLevelFULL, 1);
    EXPECT_EQ(levels("\"-j\" \"-l\" \"-l\" \"FULL\""), 0);
    EXPECT_TRUE(has_message("Backup Level=-l"));
    EXPECT_TRUE(has_message("Warning: backup level type unknown"));
}

TEST_F(Selection, PrintBackupLevelNamesTheLevelOrAnInconsistency) {
    levels("\"-l\" \"INCR\"");
    arktest::clear_messages();
    ARK_FN(print_backup_level)(&state());
    EXPECT_EQ(arktest::messages(), (Strings{"print_backup_level(+)", "Backup level=INCR", "print_backup_level(-)"}));
    state().iBackupLevelFULL = 1;
    ARK_FN(print_backup_level)(&state());
    EXPECT_TRUE(has_message("Error: Incorrect backup level"));
}

TEST_F(Selection, ServerRowsAfterTheHeaderGiveTheLoginsInOrder) {
    server.set_listing("\talice\tAlice\ta@x\n"  // a first line is always the header
                       "\tusername\tfullname\n"
                       "\t---------------------\n"
                       "\tSYSTEM\tSYSTEM\n"
                       "\tbob\tBob Builder\tb@x\n"
                       "\tsysop\tThe SYSTEM operator\ts@x\n"
                       "\tusernames\t\tSYSTEM\n"
                       "\ta b\t\tA B\r\n"
                       "   \n"
                       "  carol   Carol\n"
                       "\tSYSTEMS\n");
    StringList list;
    ASSERT_EQ(ARK_FN(GetUsersFromServer)(list.get()), 1);
    // The login is the whole first column; only the account SYSTEM itself
    // is left out, and a row without columns is named.
    EXPECT_EQ(list.items(), (Strings{"bob", "sysop", "usernames", "a b", "SYSTEMS"}));
    EXPECT_TRUE(arktest::has_message_containing("Warning: the row \"  carol   Carol\" of [zarafa-admin -l] names no "
                                                "account"));
    EXPECT_EQ(arktest::messages().back(), "GetUsersFromServer(-)");
    EXPECT_EQ(ARK_FN(GetUsersFromServer)(nullptr), 0);
    EXPECT_TRUE(has_message("GetUsersFromServer(-), error while while cheching list"));
}

TEST_F(Selection, OverlongServerLoginIsSkippedWithAWarning) {
    server.set_users({std::string(99, 'a'), std::string(100, 'b'), "dave"});
    StringList list;
    ASSERT_EQ(ARK_FN(GetUsersFromServer)(list.get()), 1);
    EXPECT_EQ(list.items(), (Strings{std::string(99, 'a'), "dave"}));
    EXPECT_TRUE(arktest::has_message_containing("Warning: user name of 100 characters is too long"));
}

TEST_F(Selection, MissingAccountToolListsNobody) {
    arktest::ScopedEnv path("PATH", "/nonexistent");
    StringList list;
    EXPECT_EQ(ARK_FN(GetUsersFromServer)(list.get()), 1);
    EXPECT_TRUE(list.items().empty());
    EXPECT_TRUE(arktest::has_message_containing("Warning: can't run [zarafa-admin -l]"));
}

// A tool that is there but can't be started fails the listing, with the
// reason first and then the fixed text.
TEST_F(Selection, AccountToolThatCannotStartFailsWithItsReason) {
    arktest::TempDir tools;
    arktest::write_file(tools / "zarafa-admin", "#!/bin/sh\n", std::filesystem::perms(0644));
    arktest::ScopedEnv path("PATH", tools.path().string());
    StringList list;
    EXPECT_EQ(ARK_FN(GetUsersFromServer)(list.get()), 0);
    const long reason = arktest::message_index("Error: can't run [zarafa-admin -l]: Permission denied");
    EXPECT_GE(reason, 0) << arktest::all_messages();
    EXPECT_GT(arktest::message_index("GetUsersFromServer(-), error while opening pipe"), reason);
}

TEST_F(Selection, RequestedNamesComeFromDatabaseVariables) {
    CtrlVars vars{"DATABASE=alice", "XDATABASE_2=bob smith", "DATABASE=", "SAVESET=DATABASE", "NODATABASE"};
    StringList list;
    ASSERT_EQ(ARK_FN(GetUsersFromCmdLine)(list.get(), vars.get()), 1);
    // "SAVESET=DATABASE" holds "DATABASE" too: its value is a requested name.
    EXPECT_EQ(list.items(), (Strings{"alice", "bob smith", "DATABASE"}));
    CtrlVars none{"SAVESET=x"};
    StringList all;
    ASSERT_EQ(ARK_FN(GetUsersFromCmdLine)(all.get(), none.get()), 1);
    EXPECT_EQ(all.items(), Strings{"ALL"});
}

TEST_F(Selection, RefusedNameDoesNotWidenTheSelectionToAll) {
    CtrlVars vars{"DATABASE=" + std::string(100, 'x')};
    StringList list;
    ASSERT_EQ(ARK_FN(GetUsersFromCmdLine)(list.get(), vars.get()), 1);
    EXPECT_TRUE(list.items().empty());
    EXPECT_TRUE(arktest::has_message_containing("Warning: mailbox name of 100 characters is too long"));
}

struct MergeCase {
    Strings requested;
    Strings expected;
};

class Merge : public Selection, public ::testing::WithParamInterface<MergeCase> {};

TEST_P(Merge, SpecialNamesAndOrder) {
    StringList server_list{"alice", "bob", "carol"};
    StringList requested;
    for (const auto &n : GetParam().requested)
        requested.push(n);
    StringList result;
    ASSERT_EQ(ARK_FN(BuildUserList)(result.get(), server_list.get(), requested.get()), 1);
    EXPECT_EQ(result.items(), GetParam().expected);
    EXPECT_EQ(arktest::messages().back(), "BuildFinalUserList(-)");
}

INSTANTIATE_TEST_SUITE_P(
    Selection, Merge,
    ::testing::Values(MergeCase{{}, {"alice", "bob", "carol", "PUBLIC_FOLDER"}},
                      MergeCase{{"ALL"}, {"alice", "bob", "carol", "PUBLIC_FOLDER"}},
                      MergeCase{{"ALL_USERS"}, {"alice", "bob", "carol"}},
                      MergeCase{{"ALL_USERS", "PUBLIC_FOLDER"}, {"alice", "bob", "carol", "PUBLIC_FOLDER"}},
                      MergeCase{{"PUBLIC_FOLDER"}, {"PUBLIC_FOLDER"}},
                      MergeCase{{"carol", "alice", "zed"}, {"carol", "alice"}},
                      MergeCase{{"bob", "bob"}, {"bob", "bob"}},
                      MergeCase{{"all"}, {}},
                      MergeCase{{"ALL", "zed"}, {"alice", "bob", "carol", "PUBLIC_FOLDER"}}));

TEST_F(Selection, UnknownRequestedNameIsWarnedAndDropped) {
    StringList server_list{"alice"};
    StringList requested{"alice", "zed"};
    StringList result;
    ASSERT_EQ(ARK_FN(BuildUserList)(result.get(), server_list.get(), requested.get()), 1);
    EXPECT_TRUE(has_message("Warning: User \"zed\" was not found on the server"));
    EXPECT_TRUE(has_message("Total items from cmd line=2, from server=1"));
    EXPECT_TRUE(has_message("From cmdline:zed"));
    EXPECT_TRUE(has_message("From server:alice"));
}

TEST_F(Selection, EmptyServerWithAllGivesOnlyThePublicStore) {
    StringList server_list, requested{"ALL"}, result;
    ASSERT_EQ(ARK_FN(BuildUserList)(result.get(), server_list.get(), requested.get()), 1);
    EXPECT_EQ(result.items(), Strings{"PUBLIC_FOLDER"});
    StringList requested_users{"ALL_USERS"}, none;
    ASSERT_EQ(ARK_FN(BuildUserList)(none.get(), server_list.get(), requested_users.get()), 1);
    EXPECT_TRUE(none.items().empty());
    EXPECT_EQ(ARK_FN(BuildUserList)(nullptr, server_list.get(), requested.get()), 0);
}

TEST_F(Selection, EachPatternRemovesTheFirstMatchOnly) {
    StringList users{"tmp1", "alice", "tmp2", "PUBLIC_FOLDER"};
    CtrlVars words{"-l", "FULL", "-x", "^tmp"};
    ASSERT_EQ(ARK_FN(ProcessExcludeList)(users.get(), words.get(), 4), 1);
    EXPECT_EQ(users.items(), (Strings{"alice", "tmp2", "PUBLIC_FOLDER"}));
    EXPECT_TRUE(has_message("Removing user tmp1 ..."));
    EXPECT_TRUE(has_message("User removed"));

    StringList again{"tmp1", "alice", "tmp2"};
    CtrlVars twice{"-x", "^tmp,,^tmp"};
    ASSERT_EQ(ARK_FN(ProcessExcludeList)(again.get(), twice.get(), 2), 1);
    EXPECT_EQ(again.items(), Strings{"alice"});
}

TEST_F(Selection, PatternsArePerlCompatibleCaseSensitiveAndUnanchored) {
    StringList users{"user7", "Bob", "carol"};
    ASSERT_EQ(ARK_FN(apply_exclude_list)(users.get(), "r\\d"), 1); // Perl class \d
    EXPECT_EQ(users.items(), (Strings{"Bob", "carol"}));
    ASSERT_EQ(ARK_FN(apply_exclude_list)(users.get(), "bob"), 1);
    EXPECT_EQ(users.items(), (Strings{"Bob", "carol"}));
    ASSERT_EQ(ARK_FN(apply_exclude_list)(users.get(), "aro"), 1);
    EXPECT_EQ(users.items(), Strings{"Bob"});
    EXPECT_TRUE(has_message("exclude_by_regexp(-)"));
}

TEST_F(Selection, BadOrMissingExclusionListsWarnAndRemoveNobody) {
    StringList users{"alice", "bob"};
    CtrlVars last{"-l", "FULL", "-x"};
    ASSERT_EQ(ARK_FN(ProcessExcludeList)(users.get(), last.get(), 3), 1);
    EXPECT_TRUE(has_message("Warning: \"-x\" option found but exclude list was not."));
    arktest::clear_messages();
    CtrlVars commas{"-x", ",,,"};
    ASSERT_EQ(ARK_FN(ProcessExcludeList)(users.get(), commas.get(), 2), 1);
    EXPECT_TRUE(has_message("Warning: \"-x\" option found but exclude list was not."));
    ASSERT_EQ(ARK_FN(apply_exclude_list)(users.get(), "(unclosed"), 1);
    EXPECT_TRUE(arktest::has_message_containing("is not a valid regular expression"));
    EXPECT_EQ(users.items(), (Strings{"alice", "bob"}));
    // Only the first "-x" counts.
    CtrlVars two{"-x", "^zzz", "-x", "^alice"};
    ASSERT_EQ(ARK_FN(ProcessExcludeList)(users.get(), two.get(), 4), 1);
    EXPECT_EQ(users.items(), (Strings{"alice", "bob"}));
    EXPECT_EQ(ARK_FN(ProcessExcludeList)(users.get(), nullptr, 0), 0);
    EXPECT_TRUE(has_message("ProcessExcludeList(-), erro: wrong parameter"));
}

TEST_F(Selection, DetailsAreReadInEitherOrder) {
    server.set_details("alice", "Username:\talice\nEmailaddress:\talice@example.org\nFullname:\tAlice Anders\n");
    tUserInfo info{};
    ASSERT_EQ(ARK_FN(GetUserInfo)(&info, "alice"), 1);
    EXPECT_STREQ(info.cpFullUserName, "Alice Anders");
    EXPECT_STREQ(info.cpMailAddr, "alice@example.org");
    EXPECT_TRUE(has_message("GetUserInfo(-)"));
}

TEST_F(Selection, UnknownOrOverlongUserHasNoDetails) {
    tUserInfo info{};
    EXPECT_EQ(ARK_FN(GetUserInfo)(&info, "ghost"), 0);
    EXPECT_FALSE(has_message("GetUserInfo(-)"));
    const std::string name101(101, 'n');
    EXPECT_EQ(ARK_FN(GetUserInfo)(&info, name101.c_str()), 0);
    for (const auto &call : server.calls())
        EXPECT_EQ(call.find(name101), std::string::npos) << "the tool ran for an overlong name";
    server.set_details("half", "Username:\thalf\nFullname:\tOnly Name\n");
    EXPECT_EQ(ARK_FN(GetUserInfo)(&info, "half"), 0);
    EXPECT_STREQ(info.cpFullUserName, "Only Name");
}

TEST_F(Selection, HostileAccountNameIsQueriedAsOneArgument) {
    arktest::TempDir work;
    const std::string hostile = "$(touch " + (work / "PWNED").string() + ");x";
    server.set_details(hostile, "Hostile Name", "h@x");
    tUserInfo info{};
    EXPECT_EQ(ARK_FN(GetUserInfo)(&info, hostile.c_str()), 1);
    EXPECT_STREQ(info.cpFullUserName, "Hostile Name");
    EXPECT_FALSE(arktest::fs::exists(work / "PWNED"));
}

TEST_F(Selection, ReportNamesEveryMailboxWithItsDetails) {
    server.set_details("alice", "Alice Anders", "alice@example.org");
    StringList users{"alice", "ghost", "PUBLIC_FOLDER"};
    ARK_FN(print_users)(users.get());
    EXPECT_TRUE(has_message("Found [3] mailboxes in mailnode"));
    EXPECT_TRUE(has_message("Add mailbox[Alice Anders: alice@example.org] "));
    EXPECT_TRUE(has_message("Add mailbox[: ] "));
    EXPECT_TRUE(has_message("Add mailbox[Public Folder: PUBLIC_FOLDER]"));
}

// Run fn with the process's standard error captured.
template <class F> std::string capture_stderr(F fn) {
    arktest::TempDir dir;
    const auto file = dir / "stderr";
    fflush(stderr);
    int saved = dup(2);
    int fd = open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    dup2(fd, 2);
    close(fd);
    fn();
    fflush(stderr);
    dup2(saved, 2);
    close(saved);
    return arktest::read_file(file);
}

TEST_F(Selection, SelfTestsReportTheirVerdicts) {
    server.set_users({"alice", "bob"});
    server.set_details("alice", "Alice Anders", "alice@example.org");
    const std::string out = capture_stderr([] { EXPECT_EQ(ARK_FN(test_zarafa_server_utils)(0), 0); });
    EXPECT_NE(out.find("TEST:get_users_from_server(), user[1]=bob\n"), std::string::npos) << out;
    EXPECT_NE(out.find("TEST:get_users_from_server(), 2 uses found, TEST - OK\n"), std::string::npos);
    EXPECT_NE(out.find("Incorrect params test - OK\n"), std::string::npos);
    EXPECT_NE(out.find("Not existing user test - OK\n"), std::string::npos);
    EXPECT_NE(out.find("Too long user name test - OK\n"), std::string::npos);
    EXPECT_NE(out.find("Normal usage test: attempt[0] - OK\n"), std::string::npos);
    EXPECT_NE(out.find("Normal usage test: attempt[1] - FAIL\n"), std::string::npos);
    EXPECT_NE(out.find("TEST:GetUserInfo(-)\n"), std::string::npos);

    server.set_listing("header only\n");
    const std::string none = capture_stderr([] { EXPECT_EQ(ARK_FN(test_GetUserFromServer)(), 1); });
    EXPECT_NE(none.find("TEST:get_users_from_server() - FAIL\n"), std::string::npos) << none;
}

} // namespace
