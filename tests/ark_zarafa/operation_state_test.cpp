// The message path, the small entry points and the operation-state record:
// reset, control-variable parsing (option words, substring keys, capacities)
// and release.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/plugin_host.h"
#include "support/plugin_lists.h"

namespace {

using arktest::messages;

using arktest::CtrlVars;

ARKZarafa &state() { return ARK_VAR(g_sARKZarafa); }

std::vector<std::string> option_words() {
    std::vector<std::string> out;
    for (int i = 0; i < state().iArgc; ++i)
        out.emplace_back(state().cpArgv[i]);
    return out;
}

class OperationState : public ::testing::Test {
protected:
    void SetUp() override {
        ARK_FN(zarafa_global_struct_init)(DB_TYPE_BCK);
        arktest::clear_messages();
    }
    void TearDown() override { ARK_FN(zarafa_global_struct_cleanup)(); }
};

TEST_F(OperationState, MessagesLoseTrailingLineEndsAndAreCutAt511) {
    char fmt[] = "%s";
    ARK_FN(DB_TraceExt)(fmt, "ends\r\n\n");
    std::string long_text(600, 'a');
    ARK_FN(DB_TraceExt)(fmt, long_text.c_str());
    ARK_FN(DB_TraceExt)(fmt, "");
    ARK_FN(DB_TraceExt)(fmt, "\n\r");
    ASSERT_EQ(messages().size(), 4u);
    EXPECT_EQ(messages()[0], "ends");
    EXPECT_EQ(messages()[1], std::string(511, 'a'));
    EXPECT_EQ(messages()[2], "");
    EXPECT_EQ(messages()[3], "");
}

TEST_F(OperationState, NullSinkKeepsTheInstalledOneAndSetTraceInstallsNothing) {
    auto before = state().vpfDB_trace;
    ASSERT_NE(before, nullptr);
    EXPECT_EQ(ARK_FN(DB_SetLog)(nullptr), 0);
    EXPECT_EQ(state().vpfDB_trace, before);
    EXPECT_EQ(ARK_FN(DB_SetTrace)(+[](char *) {}), 0);
    EXPECT_EQ(state().vpfDB_trace, before);
    // The log slot stays empty: DB_LogExt drops its messages.
    char fmt[] = "dropped";
    ARK_FN(DB_LogExt)(fmt);
    EXPECT_TRUE(messages().empty());
}

TEST_F(OperationState, GetInfoReportsIdentityAndGetErrorNothing) {
    TYPE_DB_Info info{};
    EXPECT_EQ(ARK_FN(DB_GetInfo)(&info), DB_NUM_I_OK);
    EXPECT_STREQ(info.cpDBClient, "NORVA Zarafa Backup Client");
    EXPECT_STREQ(info.cpDBRelDate, "Sep  6 2010");
    EXPECT_NE(std::string(info.cpDBVersion).find("$Id"), std::string::npos);
    EXPECT_EQ(info.eDBType, DB_FILE);
    TYPE_DB_Error error{};
    error.ulDBErrorCode = 99;
    EXPECT_EQ(ARK_FN(DB_GetError)(&error), 0);
    EXPECT_EQ(error.ulDBErrorCode, 99u);
}

TEST_F(OperationState, InitResetsOperationFieldsAndKeepsPaths) {
    CtrlVars vars{"TMP_DIR=/var/tmp", "INFO=\"-l\" \"FULL\"", "RECOVERY=NO"};
    ASSERT_EQ(ARK_FN(zarafa_parse_db_args)(&state(), vars.get()), DB_NUM_I_OK);
    state().iBackupLevelCOPY = 0;
    state().iBackupLevelFULL = 1;
    state().cpJobName[0] = 'j';
    ARK_FN(zarafa_global_struct_init)(DB_TYPE_RST);
    EXPECT_EQ(state().eI_OperationType, DB_TYPE_RST);
    EXPECT_EQ(state().iArgc, 0);
    EXPECT_EQ(state().cpArgv[0], nullptr);
    EXPECT_EQ(state().iBackupLevelCOPY, 1);
    EXPECT_EQ(state().iBackupLevelFULL, 0);
    EXPECT_EQ(state().cpJobName[0], '\0');
    EXPECT_EQ(state().iRecoveryAfterNoRecover, 0);
    EXPECT_STREQ(state().cpTempDir, "/var/tmp");
    ASSERT_NE(state().psUsers, nullptr);
    EXPECT_EQ(state().psUsers->iItemCount, 0);
    EXPECT_EQ(state().psFileNames->iItemCount, 0);
    EXPECT_TRUE(messages().size() > 0); // parse announced itself; init is silent
    arktest::clear_messages();
    ARK_FN(zarafa_global_struct_init)(DB_TYPE_BCK);
    EXPECT_TRUE(messages().empty());
}

TEST_F(OperationState, QuotedOptionWordsAreSplitAndTheHostStringIsNotWritten) {
    CtrlVars vars{"INFO=\"-j\" \"nightly\" \"-l\" \"INCR\""};
    ASSERT_EQ(ARK_FN(zarafa_parse_db_args)(&state(), vars.get()), DB_NUM_I_OK);
    EXPECT_EQ(option_words(), (std::vector<std::string>{"-j", "nightly", "-l", "INCR"}));
    EXPECT_EQ(std::string(vars.get()[0]), vars.text()[0]);
    EXPECT_EQ(vars.text()[0], "INFO=\"-j\" \"nightly\" \"-l\" \"INCR\"");
    EXPECT_EQ(messages().front(), "zarafa_parse_db_args(+)");
    EXPECT_TRUE(arktest::has_message("DB arg: INFO=\"-j\" \"nightly\" \"-l\" \"INCR\""));
    EXPECT_EQ(messages().back(), "zarafa_parse_db_args(-)");
}

TEST_F(OperationState, UnquotedValueIsOneWordAndInnerBlanksStay) {
    CtrlVars vars{"INFO=-l FULL -x ^tmp", "INFO=\" a b \"\"\"c"};
    ARK_FN(zarafa_parse_db_args)(&state(), vars.get());
    // The second INFO= restarts the count.
    EXPECT_EQ(option_words(), (std::vector<std::string>{" a b ", "c"}));
    CtrlVars single{"INFO=-l FULL -x ^tmp"};
    ARK_FN(zarafa_parse_db_args)(&state(), single.get());
    EXPECT_EQ(option_words(), std::vector<std::string>{"-l FULL -x ^tmp"});
}

TEST_F(OperationState, KeysAreFoundAsSubstringsInOrder) {
    CtrlVars vars{"XSAVESET=set1", "TMP_DIR=/x/INFO=y", "noequals", "UNKNOWN=1", "INI_DIR=/etc/ini",
                  "RECOVERY=NO "};
    ARK_FN(zarafa_parse_db_args)(&state(), vars.get());
    EXPECT_STREQ(state().cpSavesetName, "set1");
    // "INFO=" is tested first: the whole value after the first "=" is one word.
    EXPECT_EQ(option_words(), std::vector<std::string>{"/x/INFO=y"});
    EXPECT_STREQ(state().cpINIDir, "/etc/ini");
    EXPECT_EQ(state().iRecoveryAfterNoRecover, 0);
    EXPECT_TRUE(arktest::has_message("DB arg: noequals"));
    CtrlVars no{"RECOVERY=NO"};
    ARK_FN(zarafa_parse_db_args)(&state(), no.get());
    EXPECT_EQ(state().iRecoveryAfterNoRecover, 1);
    CtrlVars lower{"RECOVERY=no"};
    ARK_FN(zarafa_global_struct_init)(DB_TYPE_RST);
    ARK_FN(zarafa_parse_db_args)(&state(), lower.get());
    EXPECT_EQ(state().iRecoveryAfterNoRecover, 0);
}

TEST_F(OperationState, EmptyArrayOrNullRecordIsAnErrorWithoutTheExitMessage) {
    CtrlVars none{};
    EXPECT_EQ(ARK_FN(zarafa_parse_db_args)(&state(), none.get()), DB_NUM_E_ERROR);
    CtrlVars some{"SAVESET=x"};
    EXPECT_EQ(ARK_FN(zarafa_parse_db_args)(nullptr, some.get()), DB_NUM_E_ERROR);
    EXPECT_FALSE(arktest::has_message("zarafa_parse_db_args(-)"));
    EXPECT_EQ(state().iArgc, 0);
    EXPECT_EQ(state().iBackupLevelCOPY, 1);
}

TEST_F(OperationState, ValuesBeyondTheRecordAreRefusedWithAWarning) {
    std::string before = state().cpTempDir;
    CtrlVars vars{"TMP_DIR=/" + std::string(255, 'd')};
    ARK_FN(zarafa_parse_db_args)(&state(), vars.get());
    EXPECT_STREQ(state().cpTempDir, before.c_str());
    EXPECT_TRUE(arktest::has_message_containing("Warning: value of TMP_DIR= is too long"));

    CtrlVars fits{"TMP_DIR=/" + std::string(254, 'd')};
    ARK_FN(zarafa_parse_db_args)(&state(), fits.get());
    EXPECT_EQ(std::string(state().cpTempDir).size(), 255u);

    std::string info = "INFO=";
    for (int i = 0; i < 300; ++i)
        info += "\"w" + std::to_string(i) + "\" ";
    CtrlVars many{info};
    arktest::clear_messages();
    ARK_FN(zarafa_parse_db_args)(&state(), many.get());
    EXPECT_EQ(state().iArgc, 256);
    EXPECT_STREQ(state().cpArgv[255], "w255");
    EXPECT_TRUE(arktest::has_message_containing("Warning: more than 256 option words"));
}

TEST_F(OperationState, CleanupAnnouncesItselfAndReleasesOptionWords) {
    CtrlVars vars{"INFO=\"-l\" \"FULL\""};
    ARK_FN(zarafa_parse_db_args)(&state(), vars.get());
    arktest::clear_messages();
    ARK_FN(zarafa_global_struct_cleanup)();
    EXPECT_EQ(messages(), (std::vector<std::string>{"zarafa_global_struct_cleanup(+)",
                                                    "zarafa_global_struct_cleanup(-)"}));
    EXPECT_EQ(state().cpArgv[0], nullptr);
}

} // namespace
