// Whole backups and restores: the backup host stand-in loads the plug-in and
// drives it against the server simulator, and the simulator's dumps show
// whether every mailbox came back as it was.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "support/dbhost_scene.h"
#include "support/e2e_scene.h"

namespace {

using arktest::ProcessResult;
using arktest::E2eScene;
namespace fs = std::filesystem;

std::string context(const arktest::HostRun &r) { return r.describe(); }

class EndToEnd : public ::testing::Test {
protected:
    void SetUp() override {
        scene.populate(4, 3, 4, 11);
    }
    void backup(const std::string &saveset, const std::vector<std::string> &args) {
        const arktest::HostRun r = scene.backup(saveset, args);
        ASSERT_EQ(r.exit_status(), 0) << context(r);
    }
    void restore(const std::string &saveset, const std::vector<std::string> &args) {
        const arktest::HostRun r = scene.restore(saveset, args);
        ASSERT_EQ(r.exit_status(), 0) << context(r);
    }
    E2eScene scene;
};

TEST_F(EndToEnd, FullBackupThenLossThenFullRestoreGivesTheSameMailbox) {
    const std::string before = scene.dump("user0002");
    backup("full-1", {"--level", "FULL", "--job", "nightly"});
    // FULL keeps the index files for the next increment and nothing else.
    const fs::path exports = scene.work() / "zarafa" / "nightly";
    EXPECT_TRUE(fs::exists(exports / "user0002.index.zbk"));
    EXPECT_FALSE(fs::exists(exports / "user0002.data.zbk"));
    EXPECT_TRUE(fs::exists(scene.work() / "zarafa" / "user0002.lst"));

    scene.lose_mailbox("user0002");
    ASSERT_NE(scene.dump("user0002"), before);
    restore("full-1", {"--mailbox", "user0002"});
    EXPECT_EQ(scene.dump("user0002"), before);
    // The directory that received the files is gone after the close.
    EXPECT_TRUE(fs::is_empty(scene.into()) ||
                !fs::exists(scene.into() / fs::path(exports).relative_path()));
}

TEST_F(EndToEnd, IncrementStoresOnlyTheChangeAndBothGenerationsRestoreTheWhole) {
    backup("full-1", {"--level", "FULL", "--job", "nightly"});
    scene.tool_ok({"zarafa-sim", "add-messages", "user0001", "3", "--seed", "5"});
    const std::string changed = scene.dump("user0001");
    backup("incr-1", {"--level", "INCR", "--job", "nightly"});

    const ProcessResult full = arktest::run_process({std::string(ARK_BIN_DIR) + "/dbhost", "list", "--store",
                                                     (scene.store()).string(), "--saveset", "full-1"});
    const ProcessResult incr = arktest::run_process({std::string(ARK_BIN_DIR) + "/dbhost", "list", "--store",
                                                     (scene.store()).string(), "--saveset", "incr-1"});
    auto bytes = [](const std::string &text) {
        const size_t at = text.find(" items, ");
        return std::stol(text.substr(at + 8));
    };
    EXPECT_LT(bytes(incr.out), bytes(full.out) / 2) << incr.out << full.out;

    scene.lose_mailbox("user0001");
    restore("full-1", {"--mailbox", "user0001"});
    restore("incr-1", {"--mailbox", "user0001"});
    EXPECT_EQ(scene.dump("user0001"), changed);
}

// A DIFF holds every change since the FULL, the INCR's included, and the
// INCR after it only what came since the DIFF; every save set says its level.
TEST_F(EndToEnd, DiffHoldsEverythingSinceTheFullAndEachSaveSetItsLevel) {
    backup("full", {"--level", "FULL", "--job", "nightly"});
    scene.tool_ok({"zarafa-sim", "add-messages", "user0001", "2", "--seed", "5"});
    backup("incr", {"--level", "INCR", "--job", "nightly"});
    scene.tool_ok({"zarafa-sim", "add-messages", "user0001", "1", "--seed", "6"});
    backup("diff", {"--level", "DIFF", "--job", "nightly"});
    const std::string at_diff = scene.dump("user0001");
    scene.tool_ok({"zarafa-sim", "add-messages", "user0001", "1", "--seed", "7"});
    backup("incr-2", {"--level", "INCR", "--job", "nightly"});
    const std::string last = scene.dump("user0001");
    for (const std::string set : {"full", "incr", "diff", "incr-2"}) {
        const std::string level = set == "full" ? "FULL" : set == "diff" ? "DIFF" : "INCR";
        const std::vector<std::string> manifest = arktest::lines_of(arktest::read_file(scene.store() / set / "manifest"));
        EXPECT_NE(std::find(manifest.begin(), manifest.end(), "level\t" + level), manifest.end()) << set;
        const auto items = arktest::DbhostScene::manifest_items(scene.store() / set);
        EXPECT_EQ(items.size(), 2u * 5) << set;
        for (const auto &item : items) {
            EXPECT_EQ(item.level, level) << item.name;
            EXPECT_EQ(item.name.find("/."), std::string::npos) << "a hidden file was handed out: " << item.name;
        }
    }
    scene.lose_mailbox("user0001");
    restore("full", {"--mailbox", "user0001"});
    restore("diff", {"--mailbox", "user0001"});
    EXPECT_EQ(scene.dump("user0001"), at_diff);
    restore("incr-2", {"--mailbox", "user0001"});
    EXPECT_EQ(scene.dump("user0001"), last);
}

TEST_F(EndToEnd, CopyBackupLeavesNoExportsAndRestoresEveryMailboxAndThePublicStore) {
    std::vector<std::string> names{"user0001", "user0002", "user0003", "user0004", "PUBLIC_FOLDER"};
    std::vector<std::string> before;
    for (const auto &n : names)
        before.push_back(scene.dump(n));
    backup("copy.1/x", {"--level", "COPY"});
    EXPECT_FALSE(fs::exists(scene.work() / "zarafa" / "copy_1_x"));

    for (const auto &n : names)
        if (n != "PUBLIC_FOLDER")
            scene.lose_mailbox(n);
    restore("copy.1/x", {});
    for (size_t i = 0; i < names.size(); ++i)
        EXPECT_EQ(scene.dump(names[i]), before[i]) << names[i];
}

TEST_F(EndToEnd, SelectiveRestoreBringsBackOnlyTheListedFolder) {
    backup("full-1", {"--level", "FULL", "--job", "nightly"});
    const std::string index = arktest::read_file(scene.work() / "zarafa" / "nightly" / "user0003.index.zbk");
    // The first folder line of the index: its key is the seventh field.
    const size_t c_line = index.find("\nC");
    ASSERT_NE(c_line, std::string::npos);
    std::string line = index.substr(c_line + 1, index.find('\n', c_line + 1) - c_line - 1);
    std::vector<std::string> fields;
    for (size_t p = 0, q; p <= line.size(); p = q + 1) {
        q = line.find(':', p);
        if (q == std::string::npos)
            q = line.size();
        if (q > p)
            fields.push_back(line.substr(p, q - p));
    }
    ASSERT_GE(fields.size(), 8u);
    const std::string folder = fields[6];
    arktest::write_file(scene.work() / "pick.lst", "user0003^:" + folder + "\n");

    scene.lose_mailbox("user0003");
    restore("full-1", {"--list-file", "user0003@pick.lst", "--work-dir", scene.work().string()});
    const std::string after = scene.dump("user0003");
    EXPECT_NE(after.find("folder " + folder + " "), std::string::npos) << after;
    size_t folders = 0;
    for (size_t p = after.find("\nfolder "); p != std::string::npos; p = after.find("\nfolder ", p + 1))
        ++folders;
    EXPECT_EQ(folders, 1u) << after;
}

TEST_F(EndToEnd, NoRecoveryLeavesFilesAndAScriptThatRestoresTheMailbox) {
    const std::string before = scene.dump("user0004");
    backup("full-1", {"--level", "FULL", "--job", "nightly"});
    restore("full-1", {"--mailbox", "user0004", "--no-recovery"});
    const fs::path dir = scene.into() / (scene.work() / "zarafa" / "nightly").relative_path();
    ASSERT_TRUE(fs::exists(dir / "user0004.script.restore-full.sh"));
    EXPECT_TRUE(fs::exists(dir / "user0004.index.zbk"));
    EXPECT_NE(arktest::read_file(scene.log())
                  .find("Call user0004.script.restore-full.sh to perform full restore of user0004 mail box"),
              std::string::npos);

    scene.lose_mailbox("user0004");
    const ProcessResult run = arktest::run_process({"./user0004.script.restore-full.sh"}, {.cwd = dir, .env = scene.env()});
    ASSERT_EQ(run.exit_status, 0) << run.err;
    EXPECT_EQ(scene.dump("user0004"), before);
}

TEST_F(EndToEnd, ExclusionAndUnknownNamesShapeTheSelection) {
    const arktest::HostRun r = scene.backup("s", {"--level", "FULL", "--job", "j", "--exclude",
                                                  "0002$,^user000[34]", "--mailbox", "ALL"});
    ASSERT_EQ(r.exit_status(), 0) << context(r);
    const fs::path exports = scene.work() / "zarafa" / "j";
    EXPECT_TRUE(fs::exists(exports / "user0001.index.zbk"));
    EXPECT_FALSE(fs::exists(exports / "user0002.index.zbk"));
    EXPECT_FALSE(fs::exists(exports / "user0003.index.zbk"));
    EXPECT_TRUE(fs::exists(exports / "user0004.index.zbk")) << "each pattern removes one mailbox only";
    EXPECT_TRUE(fs::exists(exports / "Public.index.zbk"));

    const arktest::HostRun unknown = scene.backup("s2", {"--level", "FULL", "--job", "k",
                                                        "--mailbox", "nobody", "--mailbox", "user0001"});
    EXPECT_EQ(unknown.exit_status(), 3) << context(unknown); // the others are saved, with a warning
    EXPECT_NE(unknown.process.err.find("Warning: User \"nobody\" was not found on the server"), std::string::npos)
        << context(unknown);
}

TEST_F(EndToEnd, SelfTestsRunAgainstTheSimulator) {
    const ProcessResult r = arktest::run_process(
        {std::string(ARK_BIN_DIR) + "/dbhost", "selftest", "--plugin", ARK_PLUGIN_PATH}, {.env = scene.env()});
    EXPECT_NE(r.err.find("TEST:get_users_from_server(), 4 uses found, TEST - OK"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("Normal usage test: attempt[3] - OK"), std::string::npos) << r.err;
}

} // namespace
