// What an operator sees from dbhost: the exit status and the summary that
// names each mailbox that failed or drew a warning (the real plug-in against
// the server simulator and its faults); a terminal that gets the host's
// lines but not what the plug-in and its tools print, which the log keeps
// with a time stamp even when the host dies; and on a terminal one progress
// line instead of a line per item.
#include <gtest/gtest.h>

#include <csignal>
#include <regex>

#include "support/dbhost_scene.h"
#include "support/e2e_scene.h"
#include "support/terminal_run.h"

namespace {

using namespace arktest;

bool contains(const std::string &text, const std::string &part) { return text.find(part) != std::string::npos; }

bool time_stamped(const std::string &line) {
    return line.size() > 20 && line[4] == '-' && line[13] == ':' && line[19] == ' ';
}

// The log lines that hold part, time stamp included.
std::vector<std::string> log_lines_with(const std::string &log, const std::string &part) {
    std::vector<std::string> found;
    for (const std::string &line : lines_of(log))
        if (contains(line, part))
            found.push_back(line);
    return found;
}

// ---- exit status and the summary's named mailboxes -----------------------

struct OutcomeCase {
    const char *name;
    const char *operation;         // "backup", or "restore" of a clean FULL backup
    std::vector<std::string> args; // beyond the scene's own
    std::string faults;
    std::string extra_account; // made on the server before the run
    std::string damaged;       // restore: the mailbox whose stored data file is damaged
    int exit_status;
    std::string verdict;            // how the "Summary:" line ends
    std::vector<std::string> named; // each named line: "NAME: " and the start of its reason
};

void PrintTo(const OutcomeCase &c, std::ostream *os) { *os << c.name; }

const std::vector<std::string> kFull{"--level", "FULL", "--job", "nightly"};

std::vector<std::string> full_and(std::vector<std::string> more) {
    more.insert(more.begin(), kFull.begin(), kFull.end());
    return more;
}

// The lines below "mailboxes with failures or warnings: N", without their indent.
std::vector<std::string> named_lines(const std::string &out) {
    std::vector<std::string> named;
    bool inside = false;
    for (const std::string &line : lines_of(out)) {
        if (line.starts_with("  mailboxes with failures or warnings: "))
            inside = true;
        else if (inside && line.starts_with("    "))
            named.push_back(line.substr(4));
        else
            inside = false;
    }
    return named;
}

class DbhostOutcome : public ::testing::TestWithParam<OutcomeCase> {};

TEST_P(DbhostOutcome, ExitStatusVerdictAndNamedMailboxes) {
    const OutcomeCase &c = GetParam();
    E2eScene scene;
    scene.populate(3);
    if (!c.extra_account.empty())
        scene.create_user(c.extra_account);
    const bool backup = std::string(c.operation) == "backup";
    std::string saveset = "run";
    if (!backup) {
        saveset = "base";
        const HostRun base = scene.backup(saveset, kFull);
        ASSERT_EQ(base.exit_status(), 0) << base.describe();
        if (!c.damaged.empty()) {
            const fs::path data = scene.store() / saveset / "data" /
                                  DbhostScene::item_of(scene.work() / "zarafa/nightly" / (c.damaged + ".data.zbk"));
            ASSERT_TRUE(fs::exists(data)) << data;
            write_file(data, read_file(data) + "x");
        }
    }
    const HostRun run = backup ? scene.backup(saveset, c.args, c.faults) : scene.restore(saveset, c.args, c.faults);

    EXPECT_EQ(run.exit_status(), c.exit_status) << run.describe();
    const std::string verdict =
        "Summary: " + std::string(c.operation) + " of save set \"" + saveset + "\" " + c.verdict + "\n";
    EXPECT_TRUE(contains(run.process.out, verdict)) << run.describe();
    const std::vector<std::string> named = named_lines(run.process.out);
    ASSERT_EQ(named.size(), c.named.size()) << run.describe();
    for (size_t i = 0; i < named.size(); ++i)
        EXPECT_TRUE(named[i].starts_with(c.named[i])) << named[i] << "\nexpected: " << c.named[i];

    // The terminal gets the messages and the host's own remarks; what the
    // plug-in and the tools print themselves (the index dump, the
    // simulator's own complaints) is logged.
    for (const std::string &line : lines_of(run.process.err))
        EXPECT_TRUE(line.starts_with("Error: ") || line.starts_with("Warning: ") || line.starts_with("dbhost: "))
            << line;
    if (backup) {
        const auto dumped = log_lines_with(run.log, ": akz-3218: Info: ");
        ASSERT_FALSE(dumped.empty()) << run.log;
        EXPECT_TRUE(time_stamped(dumped.front()) && contains(dumped.front(), " stderr: ")) << dumped.front();
    }
}

const std::string kToolExit = "Warning: command [zarafa-backup -u ";

INSTANTIATE_TEST_SUITE_P(
    Runs, DbhostOutcome,
    ::testing::Values(
        OutcomeCase{"CleanFull", "backup", kFull, "", "", "", 0, "succeeded", {}},
        // A COPY backup reports its export directory as not removed until the
        // last file has gone; that is no warning.
        OutcomeCase{"CleanCopy", "backup", {}, "", "", "", 0, "succeeded", {}},
        OutcomeCase{"ToolExitWithCompleteFiles",
                    "backup",
                    kFull,
                    "backup-exit:user0002",
                    "",
                    "",
                    3,
                    "succeeded with warnings",
                    {"user0002: " + kToolExit + "user0002] ended with exit status 1 for mailbox user0002"}},
        OutcomeCase{"RequestedMailboxNotListed",
                    "backup",
                    full_and({"--mailbox", "user0001", "--mailbox", "nobody"}),
                    "",
                    "",
                    "",
                    3,
                    "succeeded with warnings",
                    {"nobody: Warning: User \"nobody\" was not found on the server"}},
        OutcomeCase{"MailboxSkippedByARule",
                    "backup",
                    kFull,
                    "",
                    std::string(100, 'b'),
                    "",
                    3,
                    "succeeded with warnings",
                    {std::string(40, 'b') + "...: Warning: user name of 100 characters is too long"}},
        OutcomeCase{"ExportFails",
                    "backup",
                    kFull,
                    "backup-no-files:user0002",
                    "",
                    "",
                    1,
                    "finished with failures",
                    {"user0002: Error: mailbox user0002 was not exported: "}},
        // Each mailbox with its own first reason: a failed one with its error.
        OutcomeCase{"WarningAndFailure",
                    "backup",
                    kFull,
                    "backup-exit:user0001,backup-half-data:user0003",
                    "",
                    "",
                    1,
                    "finished with failures",
                    {"user0001: " + kToolExit + "user0001] ended with exit status 1 for mailbox user0001",
                     "user0003: Error: mailbox user0003 was not exported: "}},
        OutcomeCase{"CleanRestore", "restore", {}, "", "", "", 0, "succeeded", {}},
        OutcomeCase{"RestoreToolFails",
                    "restore",
                    {},
                    "restore-fail:user0002",
                    "",
                    "",
                    1,
                    "finished with failures",
                    {"user0002: Error: mailbox user0002 was not restored: "}},
        // The host fails the item (DB_ITEM_FAIL) and names its mailbox.
        OutcomeCase{"DamagedItem",
                    "restore",
                    {},
                    "",
                    "",
                    "user0003",
                    1,
                    "finished with failures",
                    {"user0003: Error: item "}}),
    [](const auto &info) { return std::string(info.param.name); });

// ---- what the plug-in prints goes to the log, however the host ends -------

struct Ending {
    const char *name;
    std::string abort_at; // DBHOST_TEST_ABORT: how the plug-in ends the process, if it does
    bool verbose;
    int exit_status; // -1: killed by the signal
    int signal;
    bool stdout_logged; // stdio's buffer of standard output is written out
};

void PrintTo(const Ending &e, std::ostream *os) { *os << e.name; }

class DbhostOwnOutput : public ::testing::TestWithParam<Ending> {};

TEST_P(DbhostOwnOutput, IsLoggedTimeStampedAndShownOnlyWithVerbose) {
    const Ending &e = GetParam();
    DbhostScene scene;
    const std::string good = scene.add_source("u1.data.zbk", "1");
    const std::string long_line(3000, 'L');
    std::map<std::string, std::string> env{
        // The first item is refused by the host, so that an "Error:" of its
        // own comes before the plug-in ends the process.
        {"DBHOST_TEST_ITEMS", "../escape\n" + good},
        {"DBHOST_TEST_SAY", "Warning: a warning of the plug-in"},
        {"DBHOST_TEST_STDERR", "first line\n" + long_line + "\n\x1b[31mred\a\nunterminated"},
        {"DBHOST_TEST_STDOUT", "printed line\n"},
    };
    if (!e.abort_at.empty())
        env["DBHOST_TEST_ABORT"] = e.abort_at;
    std::vector<std::string> args{"backup", "--plugin", DbhostScene::plugin().string(), "--store",
                                  scene.store().string(), "--saveset", "s"};
    if (e.verbose)
        args.insert(args.begin(), "-v");
    const ProcessResult r = scene.run(args, env);
    ASSERT_EQ(r.exit_status, e.exit_status) << r.out << r.err;
    ASSERT_EQ(r.signal, e.signal);

    // The host's own messages and the plug-in's messages still reach the terminal.
    EXPECT_TRUE(contains(r.err, "Error: refusing item \"../escape\"")) << r.err;
    EXPECT_TRUE(contains(r.err, "Warning: a warning of the plug-in\n")) << r.err;
    // What the plug-in printed only with -v, and never among the host's output.
    EXPECT_EQ(contains(r.err, "first line\n"), e.verbose) << r.err;
    EXPECT_EQ(contains(r.err, "printed line\n"), e.verbose && e.stdout_logged) << r.err;
    EXPECT_FALSE(contains(r.out, "printed line")) << r.out;

    const std::string log = read_file(scene.log());
    std::vector<std::string> expected{" stderr: first line", " stderr: " + long_line, " stderr: \\x1b[31mred\\x07",
                                      " stderr: unterminated"};
    if (e.stdout_logged)
        expected.push_back(" stdout: printed line");
    for (const std::string &part : expected) {
        const auto found = log_lines_with(log, part);
        ASSERT_EQ(found.size(), 1u) << part << "\n" << log;
        EXPECT_TRUE(time_stamped(found.front()) && found.front().ends_with(part)) << found.front();
    }
}

INSTANTIATE_TEST_SUITE_P(Endings, DbhostOwnOutput,
                         ::testing::Values(Ending{"Returns", "", false, 1, 0, true},
                                           Ending{"ReturnsVerbose", "", true, 1, 0, true},
                                           Ending{"PluginExits", "DB_GetItem:2=exit", false, 255, 0, true},
                                           Ending{"PluginAborts", "DB_GetItem:2", false, -1, SIGABRT, false},
                                           Ending{"PluginAbortsVerbose", "DB_GetItem:2", true, -1, SIGABRT, false}),
                         [](const auto &info) { return std::string(info.param.name); });

// ---- on a terminal: one progress line ---------------------------------------

struct View {
    const char *name;
    bool terminal;
    const char *operation; // "backup", or "restore" of the backup
    std::string flag;      // "-q", "-v" or none
    bool item_lines;
    bool progress_line;
    bool plugin_output_shown;
};

void PrintTo(const View &v, std::ostream *os) { *os << v.name; }

class DbhostView : public ::testing::TestWithParam<View> {};

TEST_P(DbhostView, ItemLinesOrOneProgressLine) {
    const View &v = GetParam();
    E2eScene scene;
    scene.populate(3);
    std::vector<std::string> argv{std::string(ARK_BIN_DIR) + "/dbhost", "--log", scene.log().string()};
    if (!v.flag.empty())
        argv.push_back(v.flag);
    const bool backup = std::string(v.operation) == "backup";
    // The backup draws one warning, which must stand on a line of its own.
    std::string faults = "backup-exit:user0002";
    if (!backup) {
        ASSERT_EQ(scene.backup("s", {"--level", "FULL", "--job", "j"}).exit_status(), 0);
        faults.clear();
        argv.insert(argv.end(), {"restore", "--plugin", ARK_PLUGIN_PATH, "--store", scene.store().string(),
                                 "--saveset", "s", "--into", scene.into().string()});
    } else {
        argv.insert(argv.end(), {"backup", "--plugin", ARK_PLUGIN_PATH, "--store", scene.store().string(),
                                 "--saveset", "s", "--level", "FULL", "--job", "j", "--work-dir",
                                 scene.work().string()});
    }
    ProcessOptions options{.cwd = scene.dir(), .env = scene.env(faults)};
    const ProcessResult r = v.terminal ? run_on_terminal(argv, options) : run_process(argv, options);
    const std::string shown = r.out + r.err;
    EXPECT_EQ(r.exit_status, backup ? 3 : 0) << shown;

    EXPECT_EQ(contains(shown, "item 1: "), v.item_lines) << shown;
    // Mailboxes and items done (of how many, when a restore knows), bytes,
    // rate and elapsed time.
    const std::regex progress(backup ? R"(\rmailboxes 1, items 1, [0-9.]+ (B|KiB), [0-9.]+ (B|KiB|MiB)/s, 0:00:0[0-9]\x1b\[K)"
                                     : R"(\rmailboxes 1/4, items 1/8, [0-9.]+ (B|KiB), [0-9.]+ (B|KiB|MiB)/s, 0:00:0[0-9]\x1b\[K)");
    EXPECT_EQ(std::regex_search(shown, progress), v.progress_line) << shown;
    EXPECT_EQ(contains(shown, ": akz-3218: Info: "), v.plugin_output_shown && backup) << shown;
    EXPECT_TRUE(contains(shown, "Summary: " + std::string(v.operation) + " of save set \"s\" ")) << shown;
    if (backup && v.terminal) {
        // The warning takes the progress line's place instead of running on from it.
        const std::string warning = "Warning: command [zarafa-backup -u user0002] ended with exit status 1";
        const size_t at = shown.find(warning);
        ASSERT_NE(at, std::string::npos) << shown;
        EXPECT_TRUE(at == 0 || shown[at - 1] == '\n' || (at >= 4 && shown.substr(at - 4, 4) == "\r\x1b[K"))
            << shown.substr(at < 80 ? 0 : at - 80, 160);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Views, DbhostView,
    ::testing::Values(View{"PipeBackup", false, "backup", "", true, false, false},
                      View{"PipeQuiet", false, "backup", "-q", false, false, false},
                      View{"TerminalBackup", true, "backup", "", false, true, false},
                      View{"TerminalRestore", true, "restore", "", false, true, false},
                      View{"TerminalQuiet", true, "backup", "-q", false, false, false},
                      View{"TerminalVerbose", true, "backup", "-v", false, true, true}),
    [](const auto &info) { return std::string(info.param.name); });

} // namespace
