// dbhost as the plug-in sees it: the control variables, the order of the
// calls, the files of a backup and restore round trip, the exit statuses when
// entry points fail, and what the operator sees of the plug-in's messages.
#include <gtest/gtest.h>

#include "support/dbhost_scene.h"

namespace arktest {
namespace {

using Strings = std::vector<std::string>;

bool contains(const std::string &text, const std::string &part) { return text.find(part) != std::string::npos; }

TEST(DbhostControlVars, BackupPassesOptionWordsSavesetWorkDirMailboxesAndVarsInOrder) {
    DbhostScene scene;
    scene.add_source("alice.data.zbk", "a");
    auto r = scene.backup("set1", {"--level", "FULL", "--job", "nightly", "--exclude", "^tmp,^old", "--work-dir",
                                   "/var/tmp", "--mailbox", "alice", "--mailbox", "bob", "--var", "INI_DIR=/etc/x"});
    ASSERT_EQ(r.exit_status, 0) << r.err;
    Strings expected{"INFO=\"-l\" \"FULL\" \"-j\" \"nightly\" \"-x\" \"^tmp,^old\"",
                     "SAVESET=set1",
                     "TMP_DIR=/var/tmp",
                     "DATABASE=alice",
                     "DATABASE=bob",
                     "INI_DIR=/etc/x"};
    EXPECT_EQ(scene.vars_after("DB_InitOperation"), expected);
    EXPECT_EQ(scene.calls().at(1), "DB_InitOperation type=1 level=1");
    // The same array reaches DB_CloseOperation: the fixture split "INFO=" in
    // place at its first double quote, as a real plug-in does.
    expected[0] = "INFO=";
    EXPECT_EQ(scene.vars_after("DB_CloseOperation"), expected);
}

TEST(DbhostControlVars, BackupWithoutOptionsHasEmptyInfoAndLevelCopy) {
    DbhostScene scene;
    auto r = scene.backup("plain");
    ASSERT_EQ(r.exit_status, 0) << r.err;
    EXPECT_EQ(scene.vars_after("DB_InitOperation"), (Strings{"INFO=", "SAVESET=plain"}));
    EXPECT_EQ(scene.calls().at(1), "DB_InitOperation type=1 level=0");
}

TEST(DbhostControlVars, LevelWordGivesTheMatchingEnumeration) {
    const std::pair<std::string, int> levels[] = {{"FULL", 1}, {"DIFF", 2}, {"INCR", 3}, {"COPY", 0}};
    for (const auto &[word, value] : levels) {
        DbhostScene scene;
        auto r = scene.backup("s", {"--level", word});
        ASSERT_EQ(r.exit_status, 0) << word << r.err;
        EXPECT_EQ(scene.calls().at(1), "DB_InitOperation type=1 level=" + std::to_string(value)) << word;
        EXPECT_EQ(scene.vars_after("DB_InitOperation").at(0), "INFO=\"-l\" \"" + word + "\"") << word;
    }
}

TEST(DbhostControlVars, RestorePassesSavesetWorkDirDatabasesRecoveryAndVars) {
    DbhostScene scene;
    scene.add_source("alice.data.zbk", "a");
    ASSERT_EQ(scene.backup("set1", {"--level", "INCR"}).exit_status, 0);
    scene.clear_record();
    auto r = scene.restore("set1", {"--mailbox", "alice", "--list-file", "bob@/tmp/bob.lst", "--no-recovery",
                                    "--work-dir", "/var/tmp", "--var", "K=V"});
    ASSERT_EQ(r.exit_status, 0) << r.err;
    Strings expected{"SAVESET=set1",       "TMP_DIR=/var/tmp", "DATABASE=alice", "DATABASE=bob@/tmp/bob.lst",
                     "RECOVERY=NO",        "K=V"};
    EXPECT_EQ(scene.vars_after("DB_InitOperation"), expected);
    EXPECT_EQ(scene.vars_after("DB_CloseOperation"), expected);
    EXPECT_EQ(scene.calls().at(1), "DB_InitOperation type=2 level=3");
}

TEST(DbhostRoundTrip, RestoredFilesAreIdenticalAndAnnouncedInStoredOrder) {
    DbhostScene scene;
    std::string binary(70000, '\0');
    for (size_t i = 0; i < binary.size(); ++i)
        binary[i] = static_cast<char>((i * 7919) % 251);
    std::string a = scene.add_source("zarafa/alice.data.zbk", binary);
    std::string b = scene.add_source("zarafa/alice.index.zbk", "index\n");
    std::string c = scene.add_source("zarafa/sub dir/bob one.data.zbk", "");
    auto r = scene.backup("rt", {"--level", "FULL"});
    ASSERT_EQ(r.exit_status, 0) << r.err;
    EXPECT_EQ(scene.calls(), (Strings{"DB_SetLog", "DB_InitOperation type=1 level=1", "DB_GetItem -> 3000 " + a,
                                      "DB_ItemFinishStatus 1", "DB_GetItem -> 3000 " + b, "DB_ItemFinishStatus 1",
                                      "DB_GetItem -> 3000 " + c, "DB_ItemFinishStatus 1", "DB_GetItem -> 3001",
                                      "DB_CloseOperation"}));
    EXPECT_TRUE(contains(r.out, "item 1: " + a + " (70000 bytes)")) << r.out;
    EXPECT_TRUE(contains(r.out, "items:     3")) << r.out;
    EXPECT_TRUE(contains(r.out, "bytes:     70006")) << r.out;

    scene.clear_record();
    r = scene.restore("rt");
    ASSERT_EQ(r.exit_status, 0) << r.err;
    fs::path into = scene.into();
    EXPECT_EQ(read_file(into / a), binary);
    EXPECT_EQ(read_file(into / b), "index\n");
    EXPECT_EQ(read_file(into / c), "");

    // Each new directory below --into is announced before the first file in it.
    Strings expected{"DB_SetLog", "DB_InitOperation type=2 level=1"};
    fs::path dir = into;
    for (const auto &part : (scene.source() / "zarafa").relative_path()) {
        dir /= part;
        expected.push_back("DB_SetItem 1 " + dir.string() + " (directory)");
        expected.push_back("DB_ItemFinishStatus 1");
    }
    expected.push_back("DB_SetItem 2 " + (into / a).string() + " (file of 70000 bytes)");
    expected.push_back("DB_ItemFinishStatus 1");
    expected.push_back("DB_SetItem 2 " + (into / b).string() + " (file of 6 bytes)");
    expected.push_back("DB_ItemFinishStatus 1");
    expected.push_back("DB_SetItem 1 " + (into / c).parent_path().string() + " (directory)");
    expected.push_back("DB_ItemFinishStatus 1");
    expected.push_back("DB_SetItem 2 " + (into / c).string() + " (file of 0 bytes)");
    expected.push_back("DB_ItemFinishStatus 1");
    expected.push_back("DB_CloseOperation");
    EXPECT_EQ(scene.calls(), expected) << lines(scene.calls());
}

TEST(DbhostRoundTrip, RestoreOverwritesAnOlderFileAndKeepsExistingDirectoriesUnannounced) {
    DbhostScene scene;
    std::string a = scene.add_source("m/alice.data.zbk", "new contents");
    ASSERT_EQ(scene.backup("s").exit_status, 0);
    write_file(scene.into() / a, "old");
    scene.clear_record();
    auto r = scene.restore("s");
    ASSERT_EQ(r.exit_status, 0) << r.err;
    EXPECT_EQ(read_file(scene.into() / a), "new contents");
    for (const auto &call : scene.calls())
        EXPECT_FALSE(call.starts_with("DB_SetItem 1")) << call;
}

// One entry point misbehaves; the run's exit status and what still happens.
struct Fault {
    const char *name;
    const char *operation; // "backup" or "restore"
    std::map<std::string, std::string> env;
    int exit_status;
    size_t items_stored; // backup: manifest items afterwards; restore: files written
    bool close_called;
};

void PrintTo(const Fault &fault, std::ostream *os) { *os << fault.name; }

class DbhostFault : public ::testing::TestWithParam<Fault> {};

TEST_P(DbhostFault, ExitStatusAndWhatIsStillDone) {
    const Fault &fault = GetParam();
    DbhostScene scene;
    Strings items{scene.add_source("a.data.zbk", "1"), scene.add_source("b.data.zbk", "22"),
                  scene.add_source("c.data.zbk", "333")};
    ProcessResult r;
    if (std::string(fault.operation) == "backup") {
        r = scene.backup("f", {}, fault.env);
        EXPECT_EQ(DbhostScene::manifest_items(scene.store() / "f").size(), fault.items_stored);
    } else {
        ASSERT_EQ(scene.backup("f").exit_status, 0);
        scene.clear_record();
        r = scene.restore("f", {}, fault.env);
        size_t written = 0;
        for (const auto &item : items)
            written += fs::exists(scene.into() / item);
        EXPECT_EQ(written, fault.items_stored);
    }
    EXPECT_EQ(r.exit_status, fault.exit_status) << r.out << r.err;
    auto calls = scene.calls();
    EXPECT_EQ(!calls.empty() && calls.back() == "DB_CloseOperation", fault.close_called) << lines(calls);
    if (fault.exit_status != 0) {
        EXPECT_FALSE(contains(r.out, "failures:  0")) << r.out;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Faults, DbhostFault,
    ::testing::Values(
        Fault{"none", "backup", {}, 0, 3, true},
        Fault{"InitFails", "backup", {{"DBHOST_TEST_FAIL", "DB_InitOperation"}}, 1, 0, true},
        // The failed call skips one item; the backup goes on with the others.
        Fault{"GetItemFails", "backup", {{"DBHOST_TEST_FAIL", "DB_GetItem:2"}}, 1, 2, true},
        Fault{"GetItemUnknownCode", "backup", {{"DBHOST_TEST_FAIL", "DB_GetItem:2=42"}}, 1, 1, true},
        Fault{"FinishStatusFails", "backup", {{"DBHOST_TEST_FAIL", "DB_ItemFinishStatus:1"}}, 1, 3, true},
        Fault{"CloseFails", "backup", {{"DBHOST_TEST_FAIL", "DB_CloseOperation"}}, 1, 3, true},
        Fault{"RestoreInitFails", "restore", {{"DBHOST_TEST_FAIL", "DB_InitOperation"}}, 1, 0, true},
        Fault{"SetItemFails", "restore", {{"DBHOST_TEST_FAIL", "DB_SetItem:2"}}, 1, 3, true},
        Fault{"RestoreFinishFails", "restore", {{"DBHOST_TEST_FAIL", "DB_ItemFinishStatus"}}, 1, 3, true},
        Fault{"RestoreCloseFails", "restore", {{"DBHOST_TEST_FAIL", "DB_CloseOperation"}}, 1, 3, true}),
    [](const auto &info) { return std::string(info.param.name); });

TEST(DbhostPlugin, MissingOrBrokenPluginIsAUsageErrorAndTouchesNoStore) {
    DbhostScene scene;
    const std::pair<fs::path, std::string> cases[] = {
        {DbhostScene::plugin("dbhost_test_plugin_partial"), "does not export DB_GetError"},
        {scene.dir() / "nonexistent.so", "cannot load plug-in"},
        {"/bin/sh", "cannot load plug-in"},
    };
    for (const auto &[plugin, message] : cases) {
        auto r = scene.run({"backup", "--plugin", plugin.string(), "--store", scene.store().string(), "--saveset",
                            "s"});
        EXPECT_EQ(r.exit_status, 2) << plugin;
        EXPECT_TRUE(contains(r.err, "Error: ") && contains(r.err, message)) << r.err;
        EXPECT_FALSE(fs::exists(scene.store() / "s")) << plugin;
    }
}

TEST(DbhostPlugin, InfoShowsWhatGetInfoReports) {
    DbhostScene scene;
    auto r = scene.run({"info", "--plugin", DbhostScene::plugin().string()});
    ASSERT_EQ(r.exit_status, 0) << r.err;
    EXPECT_TRUE(contains(r.out, "client:   dbhost fixture plug-in\n")) << r.out;
    EXPECT_TRUE(contains(r.out, "released: Jan  1 2024\n")) << r.out;
    EXPECT_TRUE(contains(r.out, "type:     DB_FILE (2)\n")) << r.out;

    r = scene.run({"info", "--plugin", DbhostScene::plugin().string()}, {{"DBHOST_TEST_FAIL", "DB_GetInfo"}});
    EXPECT_EQ(r.exit_status, 1);
}

TEST(DbhostPlugin, SelftestRunsTheExportedSelfTestsOrRefuses) {
    DbhostScene scene;
    auto r = scene.run({"selftest", "--plugin", DbhostScene::plugin().string()});
    EXPECT_EQ(r.exit_status, 0) << r.err;
    EXPECT_TRUE(contains(r.err, "TEST:fixture self test - OK")) << r.err;

    r = scene.run({"selftest", "--plugin", DbhostScene::plugin().string()}, {{"DBHOST_TEST_SELFTEST_RESULT", "3"}});
    EXPECT_EQ(r.exit_status, 1);

    r = scene.run({"selftest", "--plugin", DbhostScene::plugin("dbhost_test_plugin_noselftest").string()});
    EXPECT_EQ(r.exit_status, 2);
    EXPECT_TRUE(contains(r.err, "Error: ") && contains(r.err, "test_zarafa_server_utils")) << r.err;
}

TEST(DbhostMessages, ErrorsAndWarningsAlwaysShownOthersOnlyVerboseAllLogged) {
    DbhostScene scene;
    scene.add_source("a.data.zbk", "1");
    std::map<std::string, std::string> env{
        {"DBHOST_TEST_SAY", "Warning: User \"carol\" was not found on the server\nFetching users from server ...\n"
                            "Error: something the plug-in reports"}};
    auto r = scene.backup("m", {}, env);
    ASSERT_EQ(r.exit_status, 3) << r.err; // completed, but not without a word
    EXPECT_TRUE(contains(r.err, "Warning: User \"carol\" was not found on the server\n")) << r.err;
    EXPECT_TRUE(contains(r.err, "Error: something the plug-in reports\n")) << r.err;
    EXPECT_FALSE(contains(r.err, "Fetching users")) << r.err;
    EXPECT_TRUE(contains(r.out, "  errors:    1\n  warnings:  1\n")) << r.out;

    std::string log = read_file(scene.log());
    EXPECT_TRUE(contains(log, "Fetching users from server ...")) << log;
    EXPECT_TRUE(contains(log, "trace: fixture plug-in dbhost_test_plugin ready")) << log;
    // Every log line carries a time stamp.
    std::istringstream log_lines(log);
    for (std::string line; std::getline(log_lines, line);)
        EXPECT_TRUE(line.size() > 20 && line[4] == '-' && line[13] == ':' && line[19] == ' ') << line;

    r = scene.run({"-v", "--log", (scene.dir() / "other.log").string(), "backup", "--plugin",
                   DbhostScene::plugin().string(), "--store", scene.store().string(), "--saveset", "m2"},
                  env);
    ASSERT_EQ(r.exit_status, 3) << r.err;
    EXPECT_TRUE(contains(r.err, "Fetching users from server ...")) << r.err;
    EXPECT_TRUE(contains(read_file(scene.dir() / "other.log"), "DB_CloseOperation(-)"));
}

TEST(DbhostMessages, ClosedStandardOutputDoesNotCutTheBackupShort) {
    DbhostScene scene;
    for (int i = 0; i < 3; ++i)
        scene.add_source("u" + std::to_string(i) + ".data.zbk", "x");
    // The reader has gone before dbhost prints its first progress line.
    std::string command = "{ sleep 0.3; exec \"$0\" backup --plugin \"$1\" --store \"$2\" --saveset s; } | :";
    ProcessOptions options;
    options.cwd = scene.dir();
    options.env = {{"DBHOST_TEST_SOURCE", scene.source().string()}};
    run_process({"/bin/sh", "-c", command, std::string(ARK_BIN_DIR) + "/dbhost", DbhostScene::plugin().string(),
                 scene.store().string()},
                options);
    EXPECT_EQ(DbhostScene::manifest_items(scene.store() / "s").size(), 3u);
    EXPECT_TRUE(contains(read_file(scene.store() / "s" / "manifest"), "\tcomplete\n"));
}

TEST(DbhostUsage, BadCommandLinesPrintUsageAndExitTwo) {
    DbhostScene scene;
    std::string plugin = DbhostScene::plugin().string(), store = scene.store().string();
    const Strings cases[] = {
        {},
        {"frobnicate"},
        {"backup", "--plugin", plugin, "--store", store},                             // no --saveset
        {"backup", "--plugin", plugin, "--store", store, "--saveset"},                // missing value
        {"backup", "--plugin", plugin, "--store", store, "--saveset", "s", "--bogus"}, // unknown option
        {"backup", "--plugin", plugin, "--store", store, "--saveset", "s", "--level", "full"},
        {"backup", "--plugin", plugin, "--store", store, "--saveset", "s", "--job", "a\"b"},
        {"backup", "--plugin", plugin, "--store", store, "--saveset", "s", "--job", " "},
        {"backup", "--plugin", plugin, "--store", store, "--saveset", "s", "--var", "novalue"},
        {"backup", "--plugin", plugin, "--store", store, "--saveset", "s", "--into", "/x"},
        {"restore", "--plugin", plugin, "--store", store, "--saveset", "s"}, // no --into
        {"restore", "--plugin", plugin, "--store", store, "--saveset", "s", "--into", "/x", "--list-file", "bob"},
        {"backup", "--plugin", plugin, "--store", store, "--saveset", "s", "--test-store-delay", "0.0005"},
        {"restore", "--plugin", plugin, "--store", store, "--saveset", "s", "--into", "/x", "--test-store-delay",
         "60000.001"},
        {"list"},
        {"info"},
    };
    for (const auto &args : cases) {
        auto r = scene.run(args);
        EXPECT_EQ(r.exit_status, 2) << lines(args);
        EXPECT_TRUE(contains(r.err, "Error: ") && contains(r.err, "Usage: dbhost")) << lines(args) << r.err;
        EXPECT_FALSE(fs::exists(scene.record())) << lines(args);
    }
    auto r = scene.run({"--help"});
    EXPECT_EQ(r.exit_status, 0);
    EXPECT_TRUE(contains(r.out, "Usage: dbhost"));
}

} // namespace
} // namespace arktest
