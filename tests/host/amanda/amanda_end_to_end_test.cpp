// The plug-in under both front ends of the host core, held to one result:
// Amanda (amcheck, amdump at level 0 and a forced level 1, amfetchdump
// --extract, the application's restore of one mailbox, amrecover, a killed
// dump, a broken stream) and dbhost (FULL, DIFF, the job's chain restore). Each scenario runs against the simulator
// and compares every mailbox with the server's last state. Amanda runs in a
// throwaway configuration (local auth, virtual tapes, a holding disk) that
// goes with the test.
#include <gtest/gtest.h>

#include <memory>

#include "support/amanda_scene.h"

namespace arktest {
namespace {

const std::vector<std::string> kMailboxes = {"user0001", "user0002", "user0003", "user0004", "PUBLIC_FOLDER"};

// A zarafa-backup that, the first time it is asked for user0003, kills the
// host that runs it (the nearest ancestor that is dbhost or the Amanda
// application) as a crash or a killed dumper would, and otherwise is the
// simulator's.
void write_killing_tool(const fs::path &dir) {
    fs::create_directories(dir);
    write_script(dir / "zarafa-backup",
                 "case \" $* \" in *\" user0003 \"*)\n"
                 "  [ -e \"$(dirname \"$0\")/killed\" ] && exec " ARK_SIM_BIN_DIR "/zarafa-backup \"$@\"\n"
                 "  : > \"$(dirname \"$0\")/killed\"\n"
                 "  p=$PPID\n"
                 "  while [ \"$p\" -gt 1 ]; do\n"
                 "    case \"$(cat /proc/$p/comm)\" in amarkzarafa*|dbhost) kill -9 \"$p\"; exit 1;; esac\n"
                 "    p=$(awk '{print $4}' /proc/$p/stat)\n"
                 "  done;;\n"
                 "esac\n"
                 "exec " ARK_SIM_BIN_DIR "/zarafa-backup \"$@\"\n");
}

// What a scenario asks of a front end. Each step returns a text that says
// what went wrong, empty when it did what was asked.
class FrontEnd {
public:
    virtual ~FrontEnd() = default;
    virtual E2eScene &server() = 0;
    virtual std::string check() = 0;
    virtual std::string full(const std::string &faults = "") = 0;
    virtual std::string diff() = 0;
    // A differential that dies part-way, at the export of user0003.
    virtual std::string killed_diff() = 0;
    virtual std::string restore_all() = 0;
    // One mailbox from the FULL alone.
    virtual std::string restore_one(const std::string &mailbox) = 0;
    // Whether the last backup was reported as failed or strange, with the
    // mailbox named.
    virtual bool reported_failure_of(const std::string &mailbox) = 0;
    // What the last backup showed, for failure output.
    virtual std::string last_output() = 0;
};

class AmandaFrontEnd : public FrontEnd {
public:
    E2eScene &server() override { return amanda_.server(); }
    std::string check() override {
        ProcessResult r = amanda_.amcheck();
        return r.exit_status == 0 && r.out.find("0 problems found") != std::string::npos ? "" : r.out + r.err;
    }
    std::string full(const std::string &faults) override {
        amanda_.configure(faults);
        return dump(0);
    }
    std::string diff() override {
        amanda_.configure();
        amanda_.force_level_1();
        return dump(1);
    }
    std::string killed_diff() override {
        write_killing_tool(amanda_.server().dir() / "killing");
        amanda_.configure("", amanda_.server().dir() / "killing");
        amanda_.force_level_1();
        const size_t before = ok_dumps();
        amanda_.amdump();
        report_ = amanda_.report();
        if (ok_dumps() != before)
            return "the killed dump is in the catalogue as OK:\n" + report_;
        return "";
    }
    std::string restore_all() override {
        ProcessResult r = amanda_.extract();
        return r.exit_status == 0 ? "" : "amfetchdump --extract: " + r.out + r.err;
    }
    std::string restore_one(const std::string &mailbox) override {
        ProcessResult r = amanda_.app_restore(amanda_.fetch(0), {"/" + mailbox});
        return r.exit_status == 0 ? "" : "restore " + mailbox + ": " + r.out + r.err;
    }
    bool reported_failure_of(const std::string &mailbox) override {
        const bool marked =
            report_.find("STRANGE") != std::string::npos || report_.find("FAILED") != std::string::npos;
        return marked && report_.find(mailbox) != std::string::npos;
    }
    std::string last_output() override { return report_; }
    AmandaScene &amanda() { return amanda_; }

private:
    size_t ok_dumps() {
        size_t n = 0;
        for (const auto &d : amanda_.catalogue())
            n += d.status == "OK";
        return n;
    }
    std::string dump(int level) {
        const size_t before = amanda_.catalogue().size();
        ProcessResult r = amanda_.amdump();
        report_ = amanda_.report();
        const auto dumps = amanda_.catalogue();
        if (dumps.size() != before + 1 || dumps.back().level != level || dumps.back().status != "OK")
            return "amdump did not store a level " + std::to_string(level) + " dump:\n" + report_;
        return "";
    }
    AmandaScene amanda_;
    std::string report_;
};

class DbhostFrontEnd : public FrontEnd {
public:
    E2eScene &server() override { return scene_; }
    std::string check() override {
        HostRun r = scene_.dbhost({"selftest", "--plugin", ARK_PLUGIN_PATH});
        return r.exit_status() == 0 ? "" : r.describe();
    }
    std::string full(const std::string &faults) override {
        last_ = scene_.backup("full", {"--level", "FULL", "--job", "mail"}, faults);
        return last_.exit_status() == 0 ? "" : last_.describe();
    }
    std::string diff() override {
        last_ = scene_.backup("diff-" + std::to_string(++diffs_), {"--level", "DIFF", "--job", "mail"});
        // A backup after a crash warns that it holds the crashed one's changes.
        return last_.exit_status() == 0 || last_.exit_status() == 3 ? "" : last_.describe();
    }
    std::string killed_diff() override {
        const fs::path tools = scene_.dir() / "killing";
        write_killing_tool(tools);
        ProcessOptions options;
        options.cwd = scene_.dir();
        options.env = scene_.env();
        options.env["PATH"] = tools.string() + ":" + options.env["PATH"];
        ProcessResult r = run_process({std::string(ARK_BIN_DIR) + "/dbhost", "--log", scene_.log().string(),
                                       "backup", "--plugin", ARK_PLUGIN_PATH, "--store", scene_.store().string(),
                                       "--saveset", "diff-killed", "--work-dir", scene_.work().string(), "--level",
                                       "DIFF", "--job", "mail"},
                                      options);
        return r.signal == 9 ? "" : "dbhost was not killed: " + r.out + r.err;
    }
    std::string restore_all() override {
        HostRun r = scene_.restore_chain("mail");
        return r.exit_status() == 0 || r.exit_status() == 3 ? "" : r.describe();
    }
    std::string restore_one(const std::string &mailbox) override {
        HostRun r = scene_.restore("full", {"--mailbox", mailbox});
        // A save set with a failed mailbox is restored with a warning.
        return r.exit_status() == 0 || r.exit_status() == 3 ? "" : r.describe();
    }
    bool reported_failure_of(const std::string &mailbox) override {
        // The summary names the mailboxes that failed.
        return last_.exit_status() != 0 && last_.process.out.find("    " + mailbox + ": Error:") != std::string::npos;
    }

    std::string last_output() override { return last_.describe(); }

private:
    E2eScene scene_;
    HostRun last_;
    int diffs_ = 0;
};

enum class Host { amanda, dbhost };

class BothFrontEnds : public ::testing::TestWithParam<Host> {
protected:
    void SetUp() override {
        if (GetParam() == Host::amanda) {
            if (auto why = AmandaScene::unavailable())
                GTEST_SKIP() << "Amanda end-to-end test skipped: " << *why;
            fe_ = std::make_unique<AmandaFrontEnd>();
        } else {
            fe_ = std::make_unique<DbhostFrontEnd>();
        }
        fe_->server().populate(4, 2, 3, 23);
    }
    std::map<std::string, std::string> contents() {
        std::map<std::string, std::string> out;
        for (const auto &m : kMailboxes)
            out[m] = fe_->server().content(m);
        return out;
    }
    void lose(const std::vector<std::string> &mailboxes) {
        for (const auto &m : mailboxes)
            if (m == "PUBLIC_FOLDER")
                fe_->server().lose_public_store();
            else
                fe_->server().lose_mailbox(m);
    }
    void expect_contents(const std::map<std::string, std::string> &expected) {
        for (const auto &[mailbox, text] : expected)
            EXPECT_EQ(fe_->server().content(mailbox), text) << "mailbox " << mailbox;
    }
    std::unique_ptr<FrontEnd> fe_;
};

TEST_P(BothFrontEnds, FullThenDifferentialBringBackLostMailboxes) {
    ASSERT_EQ(fe_->check(), "");
    ASSERT_EQ(fe_->full(), "");
    const auto at_full = contents();
    fe_->server().tool_ok({"zarafa-sim", "add-messages", "user0001", "3", "--seed", "5"});
    fe_->server().tool_ok({"zarafa-sim", "add-messages", "-p", "2", "--seed", "6"});
    const auto expected = contents();
    ASSERT_NE(expected.at("user0001"), at_full.at("user0001"));
    ASSERT_EQ(fe_->diff(), "");

    lose({"user0001", "user0002", "PUBLIC_FOLDER"});
    ASSERT_EQ(fe_->restore_all(), "");
    expect_contents(expected);

    lose({"user0003"});
    ASSERT_EQ(fe_->restore_one("user0003"), "");
    EXPECT_EQ(fe_->server().content("user0003"), expected.at("user0003"));
}

// The next dump after a killed one starts with a warning per rolled-back
// export, before any data: under Amanda that dump must still be stored.
TEST_P(BothFrontEnds, KilledDifferentialThenNextOneLosesNoMessage) {
    ASSERT_EQ(fe_->full(), "");
    for (const char *user : {"user0001", "user0003", "user0004"})
        fe_->server().tool_ok({"zarafa-sim", "add-messages", user, "2", "--seed", "9"});
    ASSERT_EQ(fe_->killed_diff(), "");
    fe_->server().tool_ok({"zarafa-sim", "add-messages", "user0002", "1", "--seed", "10"});
    const auto expected = contents();
    ASSERT_EQ(fe_->diff(), "");
    lose(kMailboxes);
    ASSERT_EQ(fe_->restore_all(), "");
    expect_contents(expected);
}

TEST_P(BothFrontEnds, FailingMailboxIsReportedByName) {
    fe_->full("backup-no-files:user0002");
    EXPECT_TRUE(fe_->reported_failure_of("user0002")) << fe_->last_output();
    // The other mailboxes are in the backup all the same.
    const auto expected = contents();
    lose({"user0001"});
    ASSERT_EQ(fe_->restore_one("user0001"), "");
    EXPECT_EQ(fe_->server().content("user0001"), expected.at("user0001"));
}

INSTANTIATE_TEST_SUITE_P(Hosts, BothFrontEnds, ::testing::Values(Host::amanda, Host::dbhost),
                         [](const auto &info) { return info.param == Host::amanda ? "Amanda" : "Dbhost"; });

// What Amanda keeps is a plain pax archive: tar lists one member per file
// the plug-in handed out, and the application's validate accepts it whole
// and refuses it cut short.
TEST(AmandaDump, PlainTarListsMembersAndValidateChecksThem) {
    if (auto why = AmandaScene::unavailable())
        GTEST_SKIP() << "Amanda end-to-end test skipped: " << *why;
    AmandaFrontEnd fe;
    fe.server().populate(2, 2, 3, 4);
    ASSERT_EQ(fe.full(""), "");
    const std::string dump = fe.amanda().fetch(0);
    ProcessResult listed = run_process({"tar", "-tf", dump});
    ASSERT_EQ(listed.exit_status, 0) << listed.err;
    std::vector<std::string> names;
    for (const auto &line : lines_of(listed.out))
        names.push_back(fs::path(line).filename().string());
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{"Public.data.zbk", "Public.index.zbk", "user0001.data.zbk",
                                               "user0001.index.zbk", "user0002.data.zbk", "user0002.index.zbk"}));
    const std::string app = fe.amanda().application().string();
    EXPECT_EQ(run_process({"sh", "-c", "\"$0\" validate < \"$1\"", app, dump}).exit_status, 0);
    EXPECT_NE(run_process({"sh", "-c", "head -c 3000 \"$1\" | \"$0\" validate", app, dump}).exit_status, 0);
}

// amrecover offers the mailboxes of the index lines as files: the one added
// is restored into the server, the other lost one stays lost.
TEST(AmandaDump, AmrecoverRestoresTheMailboxAdded) {
    if (auto why = AmandaScene::unavailable())
        GTEST_SKIP() << "Amanda end-to-end test skipped: " << *why;
    AmandaFrontEnd fe;
    fe.server().populate(3, 2, 3, 31);
    ASSERT_EQ(fe.full(""), "");
    const std::string user2 = fe.server().content("user0002");
    fe.server().lose_mailbox("user0001");
    fe.server().lose_mailbox("user0002");
    const std::string lost1 = fe.server().content("user0001");
    ASSERT_NE(fe.server().content("user0002"), user2);
    ProcessResult r = fe.amanda().amrecover(
        {"sethost localhost", "setdisk mail", "add user0002", "extract", "Y", "Y", "Y", "quit"});
    EXPECT_EQ(fe.server().content("user0002"), user2) << r.out << r.err;
    EXPECT_EQ(fe.server().content("user0001"), lost1) << r.out << r.err;
}

// A stream that breaks part-way (the dumper died) was not kept by Amanda,
// even for the members written before the break: the application tells the
// plug-in so at the close. Had the broken level 0 counted for the mailboxes
// written whole before the break, the next level 1 would hold only what
// changed since then, and the restore from Amanda's level 0 would miss the
// messages added before it.
TEST(AmandaDump, BrokenStreamLeavesItsChangesToTheNextDump) {
    if (auto why = AmandaScene::unavailable())
        GTEST_SKIP() << "Amanda end-to-end test skipped: " << *why;
    AmandaFrontEnd fe;
    fe.server().populate(3, 2, 6, 41);
    ASSERT_EQ(fe.full(""), "");
    for (const char *user : {"user0001", "user0002", "user0003"})
        fe.server().tool_ok({"zarafa-sim", "add-messages", user, "2", "--seed", "12"});
    ProcessResult cut = fe.amanda().app_backup_cut(0, 9000);
    EXPECT_NE(cut.err.find("sendbackup: error [the backup stream is not complete"), std::string::npos) << cut.err;
    std::map<std::string, std::string> expected;
    for (const char *m : {"user0001", "user0002", "user0003", "PUBLIC_FOLDER"})
        expected[m] = fe.server().content(m);
    ASSERT_EQ(fe.diff(), "");
    for (const char *user : {"user0001", "user0002", "user0003"})
        fe.server().lose_mailbox(user);
    fe.server().lose_public_store();
    ASSERT_EQ(fe.restore_all(), "");
    for (const auto &[mailbox, text] : expected)
        EXPECT_EQ(fe.server().content(mailbox), text) << "mailbox " << mailbox << "\n" << cut.err;
}

} // namespace
} // namespace arktest
