// Tools run side by side ("-w N"): a backup and a chain restore through
// dbhost give, with four workers, what they give with one (items and their
// order, each mailbox's messages, the files left behind, the restored
// mailboxes), also when exports fail among concurrent ones. Operations
// abandoned while tools run leave nothing running and no baseline moved,
// and a host that ignores or reaps SIGCHLD neither hangs the plug-in nor
// gets a wrong status.
#include <gtest/gtest.h>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <poll.h>
#include <signal.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <tuple>
#include <iterator>
#include <sstream>
#include <map>
#include <regex>
#include <string>
#include <vector>

#include "support/e2e_scene.h"
#include "support/fake_server.h"
#include "support/fixtures.h"
#include "support/plugin_host.h"
#include "support/plugin_lists.h"
#include "system/fd.h"
#include "system/process.h"

namespace {

namespace fs = std::filesystem;
using arktest::E2eScene;
using arktest::HostRun;
using Strings = std::vector<std::string>;

// ---- the same runs with one worker and with four ----

struct Scenario {
    const char *name;
    std::string faults; // injected into the first INCR
};
void PrintTo(const Scenario &s, std::ostream *os) { *os << s.name; }

// What a run leaves that must not depend on the worker count, with the
// scene's own directory written as SCENE.
struct Observed {
    Strings items;                          // dbhost's item lines, in order
    Strings log;                            // the plug-in's messages, in order
    std::map<std::string, Strings> blocks;  // each restored mailbox's messages
    std::map<std::string, std::string> left; // files below the work directory
    std::map<std::string, std::string> mailboxes;
    std::vector<int> statuses;
};

// Item names are paths without their leading "/".
std::string normal(std::string text, const std::string &scene) {
    const std::string relative = scene.substr(1);
    for (size_t at = text.find(relative); at != std::string::npos; at = text.find(relative, at)) {
        const bool rooted = at > 0 && text[at - 1] == '/';
        text.replace(rooted ? at - 1 : at, relative.size() + (rooted ? 1 : 0), "SCENE");
    }
    return text;
}

// The log's lines without their time stamps, the lines the logger took from
// the tools' output streams (their timing is the children's), and the
// lines that name the worker count or the run's duration.
Strings log_lines(const HostRun &run, const std::string &scene) {
    static const std::regex stamp("^[0-9-]+ [0-9:.]+ ");
    Strings lines;
    for (const std::string &line : arktest::lines_of(run.log)) {
        const std::string text = std::regex_replace(normal(line, scene), stamp, "");
        if (text.find("stdout:") != std::string::npos || text.find("stderr:") != std::string::npos ||
            text.find("INFO=") != std::string::npos || text.find("time:") != std::string::npos ||
            text.find("-w") != std::string::npos)
            continue;
        lines.push_back(text);
    }
    return lines;
}

// Each mailbox's messages from "user=NAME" to the end of its import (its
// removal from the pending list, or the error that keeps it), an
// entry-point trace or the next mailbox.
void collect_blocks(const Strings &log, std::map<std::string, Strings> &blocks) {
    std::string current;
    for (const std::string &line : log) {
        if (line.starts_with("user=")) {
            current = line.substr(5);
        } else if (line.starts_with("DB_") || line.starts_with("dbhost")) {
            current.clear();
            continue;
        }
        if (current.empty())
            continue;
        blocks[current].push_back(line);
        if (line.starts_with("Removing user=") || line.starts_with("Error: mailbox") ||
            line.starts_with("Error: can't restore user="))
            current.clear();
    }
}

const Strings kMailboxes{"john", "john.doe", "user0001", "user0002", "user0003", "user0004", "PUBLIC_FOLDER"};

Observed run_scenario(const Scenario &s, int workers) {
    E2eScene scene;
    scene.populate(4, 2, 3, 21);
    for (const char *login : {"john", "john.doe"})
        scene.tool_ok({"zarafa-sim", "create-user", login});
    const std::string dir = scene.dir().string();
    const std::vector<std::string> w{"--workers", std::to_string(workers)};
    Observed o;
    auto keep = [&](const HostRun &run, bool restore) {
        o.statuses.push_back(run.exit_status());
        for (const std::string &line : arktest::lines_of(run.process.out))
            if (line.starts_with("item "))
                o.items.push_back(normal(line, dir));
        const Strings log = log_lines(run, dir);
        if (restore)
            collect_blocks(log, o.blocks);
        else
            o.log.insert(o.log.end(), log.begin(), log.end());
    };
    auto with = [&](std::vector<std::string> args) {
        args.insert(args.end(), w.begin(), w.end());
        return args;
    };
    keep(scene.backup("full", with({"--level", "FULL", "--job", "nightly"})), false);
    scene.tool_ok({"zarafa-sim", "add-messages", "john", "2", "--seed", "3"});
    scene.tool_ok({"zarafa-sim", "add-messages", "-p", "1", "--seed", "4"});
    keep(scene.backup("incr1", with({"--level", "INCR", "--job", "nightly"}), s.faults), false);
    scene.tool_ok({"zarafa-sim", "add-messages", "user0002", "3", "--seed", "5"});
    keep(scene.backup("incr2", with({"--level", "INCR", "--job", "nightly"})), false);
    for (const auto &[path, text] : arktest::tree_snapshot(scene.work()))
        o.left[normal(path, dir)] = normal(text, dir);

    std::vector<std::string> restore{"--mailbox", "ALL"};
    for (const std::string &m : kMailboxes)
        if (m != "PUBLIC_FOLDER")
            scene.lose_mailbox(m);
    scene.lose_public_store();
    keep(scene.restore_chain("nightly", with(restore)), true);
    for (const std::string &m : kMailboxes)
        o.mailboxes[m] = scene.content(m);
    return o;
}

// Where two sequences part, for a readable failure.
std::string first_difference(const Strings &a, const Strings &b) {
    size_t i = 0;
    while (i < a.size() && i < b.size() && a[i] == b[i])
        ++i;
    auto at = [&](const Strings &s) { return i < s.size() ? s[i] : std::string("(end)"); };
    return "at " + std::to_string(i) + ": [" + at(a) + "] against [" + at(b) + "]";
}

class WorkerEquivalence : public ::testing::TestWithParam<Scenario> {};

TEST_P(WorkerEquivalence, FourWorkersGiveWhatOneGives) {
    const Observed one = run_scenario(GetParam(), 1);
    const Observed four = run_scenario(GetParam(), 4);
    EXPECT_EQ(four.statuses, one.statuses);
    // john does not hand out john.doe's own files, so no item is stored twice.
    if (std::string(GetParam().name) == "clean") {
        EXPECT_EQ(one.statuses, (std::vector<int>{0, 0, 0, 0}));
    }
    EXPECT_EQ(four.items, one.items) << first_difference(four.items, one.items);
    EXPECT_EQ(four.log, one.log) << first_difference(four.log, one.log);
    for (const auto &[m, block] : one.blocks) {
        const auto found = four.blocks.find(m);
        const Strings theirs = found == four.blocks.end() ? Strings{} : found->second;
        EXPECT_EQ(theirs, block) << m << " " << first_difference(theirs, block);
    }
    EXPECT_EQ(four.left, one.left);
    EXPECT_EQ(four.mailboxes, one.mailboxes);
    // The runs did something: every mailbox was restored with its messages.
    EXPECT_EQ(one.blocks.size(), kMailboxes.size());
    for (const auto &[m, text] : one.mailboxes)
        if (m != "john.doe") { // made empty, and left so
            EXPECT_NE(text.find("  message"), std::string::npos) << m;
        }
}

INSTANTIATE_TEST_SUITE_P(
    Runs, WorkerEquivalence,
    ::testing::Values(Scenario{"clean", ""},
                      // One export fails among concurrent ones, another
                      // leaves no files, a third exits non-zero with its files.
                      Scenario{"failing_exports", "backup-truncated-index:user0002,backup-no-files:john.doe,"
                                                  "backup-exit:user0003"}),
    [](const auto &info) { return std::string(info.param.name); });

// ---- one job, one operation at a time ----

const Strings kJobMailboxes{"user0001", "user0002", "user0003", "PUBLIC_FOLDER"};
// The export of user0002 waits at the scene's hold until the test lets it go.
const std::string kHeld = "backup-hold:user0002";

std::map<std::string, std::string> job_contents(const E2eScene &scene) {
    std::map<std::string, std::string> contents;
    for (const std::string &m : kJobMailboxes)
        contents[m] = scene.content(m);
    return contents;
}

// Every mailbox is lost and the job's chain restored: all of it comes back.
void expect_chain_restores_all(const E2eScene &scene, const std::map<std::string, std::string> &before) {
    for (const std::string &m : kJobMailboxes)
        if (m != "PUBLIC_FOLDER")
            scene.lose_mailbox(m);
    scene.lose_public_store();
    const HostRun restored = scene.restore_chain("nightly", {"--mailbox", "ALL"});
    // A save set of a killed host draws a warning, and nothing more.
    EXPECT_TRUE(restored.exit_status() == 0 || restored.exit_status() == 3) << restored.describe();
    EXPECT_EQ(job_contents(scene), before);
}

// A job with a FULL behind it and new mail since, for the INCR cases.
void prepare_job(const E2eScene &scene, const std::string &level) {
    scene.populate(3, 2, 3, 31);
    if (level == "INCR") {
        ASSERT_EQ(scene.backup("base", {"--level", "FULL", "--job", "nightly"}).exit_status(), 0);
        scene.tool_ok({"zarafa-sim", "add-messages", "user0002", "2", "--seed", "7"});
        scene.tool_ok({"zarafa-sim", "add-messages", "user0003", "1", "--seed", "8"});
    }
    scene.make_hold();
}

bool lock_refused(const HostRun &run, const E2eScene &scene, const std::string &holder) {
    return run.exit_status() != 0 && run.log.find("Start export") == std::string::npos &&
           run.problem_mentions({"Error: the job directory " + (scene.work() / "zarafa" / "nightly").string() +
                                     " is in use by another operation, held by process ",
                                 "(" + holder + ")"});
}

struct Overlap {
    const char *level;
    bool staggered; // the second host starts once the first one exports
};
void PrintTo(const Overlap &o, std::ostream *os) { *os << o.level << (o.staggered ? "_staggered" : "_together"); }

class TwoHostsOneJob : public ::testing::TestWithParam<Overlap> {};

TEST_P(TwoHostsOneJob, ExactlyOneRunsAndTheChainRestoresEverything) {
    E2eScene scene;
    prepare_job(scene, GetParam().level);
    const Strings args{"--level", GetParam().level, "--job", "nightly"};
    const fs::path logs[2] = {scene.dir() / "a.log", scene.dir() / "b.log"};
    ark::sys::Child hosts[2];
    hosts[0] = scene.start_dbhost(scene.backup_args("a", args), logs[0], kHeld);
    ark::sys::Fd gate;
    if (GetParam().staggered)
        gate = scene.at_hold();
    hosts[1] = scene.start_dbhost(scene.backup_args("b", args), logs[1], kHeld);
    // Whichever holds the job waits at the hold: the other one ends first.
    // (The limit only ends a broken run, where both wait there.)
    int loser = -1;
    const auto limit = std::chrono::steady_clock::now() + std::chrono::minutes(2);
    while (loser < 0 && std::chrono::steady_clock::now() < limit)
        for (int i = 0; i < 2 && loser < 0; ++i)
            if (hosts[i].wait_for(std::chrono::milliseconds(5)))
                loser = i;
    if (loser < 0) {
        scene.at_hold(); // lets the held exports go, so that nothing stays behind
        FAIL() << "both hosts run the job at once";
    }
    if (GetParam().staggered) {
        EXPECT_EQ(loser, 1);
    }
    const HostRun lost = E2eScene::finish(hosts[loser], logs[loser]);
    if (!gate)
        gate = scene.at_hold();
    gate.reset();
    const HostRun won = E2eScene::finish(hosts[1 - loser], logs[1 - loser]);
    EXPECT_EQ(won.exit_status(), 0) << won.describe();
    EXPECT_TRUE(lock_refused(lost, scene, "dbhost")) << lost.describe();
    expect_chain_restores_all(scene, job_contents(scene));
}

INSTANTIATE_TEST_SUITE_P(Runs, TwoHostsOneJob,
                         ::testing::Values(Overlap{"FULL", false}, Overlap{"FULL", true}, Overlap{"INCR", false},
                                           Overlap{"INCR", true}),
                         [](const auto &info) {
                             std::ostringstream name;
                             PrintTo(info.param, &name);
                             return name.str();
                         });

// A host dies while its export runs (in line, or ahead with two workers):
// the export still holds the job, so a rerun at once is refused; once the
// tool has ended, the next run recovers and the chain restores everything.
class OrphanedTool : public ::testing::TestWithParam<int> {};

TEST_P(OrphanedTool, HoldsTheJobUntilItEndsAndTheRunAfterRecovers) {
    E2eScene scene;
    prepare_job(scene, "INCR");
    const Strings args{"--level", "INCR", "--job", "nightly", "--workers", std::to_string(GetParam())};
    const fs::path log = scene.dir() / "killed.log";
    ark::sys::Child host = scene.start_dbhost(scene.backup_args("killed", args), log, kHeld);
    ark::sys::Fd gate = scene.at_hold();
    ASSERT_TRUE(host.signal(SIGKILL));
    EXPECT_EQ(E2eScene::finish(host, log).process.signal, SIGKILL);

    const HostRun rerun = scene.backup("rerun", args);
    ASSERT_TRUE(lock_refused(rerun, scene, "zarafa-backup")) << rerun.describe();
    std::smatch holder;
    const std::string err = rerun.process.err;
    ASSERT_TRUE(std::regex_search(err, holder, std::regex("held by process ([0-9]+)")));
    const ark::sys::Fd tool(static_cast<int>(::syscall(SYS_pidfd_open, std::stoi(holder[1].str()), 0)));
    ASSERT_TRUE(tool) << "the orphaned tool is gone before its hold was released";
    gate.reset();
    pollfd end{tool.get(), POLLIN, 0};
    ASSERT_EQ(::poll(&end, 1, 60000), 1) << "the orphaned tool does not end";

    // It recovers what the killed run left, with a warning for each mailbox.
    const HostRun after = scene.backup("after", args);
    EXPECT_EQ(after.exit_status(), 3) << after.describe();
    EXPECT_TRUE(after.problem_mentions({"Warning: the last backup of mailbox user0002", "was not stored completely"}))
        << after.describe();
    expect_chain_restores_all(scene, job_contents(scene));
}

INSTANTIATE_TEST_SUITE_P(Workers, OrphanedTool, ::testing::Values(1, 2),
                         [](const auto &info) { return "w" + std::to_string(info.param); });

// ---- operations abandoned while tools run, in one loaded instance ----

// The children of this process that are still there, zombies included.
// Only the numeric entries of /proc are processes; a process's name may
// hold blanks and parentheses, so its fields are read after the last ")".
Strings children() {
    Strings found;
    const std::string me = std::to_string(::getpid());
    std::unique_ptr<DIR, int (*)(DIR *)> proc(::opendir("/proc"), ::closedir);
    while (dirent *entry = proc ? ::readdir(proc.get()) : nullptr) {
        const std::string_view pid(entry->d_name);
        if (pid.empty() || pid.find_first_not_of("0123456789") != std::string_view::npos)
            continue;
        std::ifstream stat(std::string("/proc/") + entry->d_name + "/stat");
        // A process that ends while it is read gives a read error: the
        // stream takes it as an end, as it does for getline.
        std::string text;
        std::getline(stat, text);
        const size_t close = text.rfind(')');
        if (close == std::string::npos)
            continue;
        std::istringstream fields(text.substr(close + 1));
        std::string state, ppid;
        if (fields >> state >> ppid && ppid == me)
            found.push_back(std::string(pid) + " " + text.substr(0, close + 1) + " " + state);
    }
    return found;
}

size_t open_descriptors() {
    size_t count = 0;
    for ([[maybe_unused]] const auto &entry : fs::directory_iterator("/proc/self/fd"))
        ++count;
    return count;
}

class Abandoned : public ::testing::Test {
protected:
    void SetUp() override {
        server.set_users({"user1", "user2"});
        // user1 exports at once; user2 and the public store write a new
        // index and then take their time, so that they are still running
        // when the host gives up.
        arktest::write_script(bin / "zarafa-backup",
                              "case $1 in -p) n=Public ;; *) n=$2 ;; esac\nprintf 'data\\n' > \"$n.data.zbk\"\n"
                              "printf 'ZBK1:mailbox:%s\\nR:root:0a1b2c3d4e5f:00\\nnew\\n' \"$n\" > \"$n.index.zbk\"\n"
                              "[ \"$n\" = user1 ] || exec sleep 30\n");
        arktest::write_script(bin / "zarafa-restore", "exec sleep 30\n");
        for (const char *user : {"user2", "Public"})
            arktest::write_file(job / (std::string(user) + ".index.zbk"),
                                "ZBK1:mailbox:" + std::string(user) + "\nR:root:0a1b2c3d4e5f:00\nold\n");
    }
    void TearDown() override { close(); }
    int close() {
        char *none[] = {nullptr};
        return ARK_FN(DB_CloseOperation)(none);
    }
    int init(DB_OPERATION_TYPE type, const std::string &info) {
        vars = std::make_unique<arktest::CtrlVars>(
            Strings{"INFO=" + info, "TMP_DIR=" + work.path().string()});
        return ARK_FN(DB_InitOperation)(type, DB_LEVEL_FULL, vars->get());
    }

    arktest::ScopedCwd cwd;
    arktest::FakeServer server;
    arktest::TempDir bin;
    arktest::ScopedPathPrefix first{bin.path()};
    arktest::TempDir work;
    fs::path job = work / "zarafa" / "job";
    std::unique_ptr<arktest::CtrlVars> vars;
};

TEST_F(Abandoned, ThousandOperationsLeaveNothingRunningAndNoBaselineMoved) {
    const size_t descriptors = open_descriptors();
    char dir[256], original[256], item[256];
    for (int i = 0; i < 1000; ++i) {
        // A backup whose host gives up after its first item, while two
        // exports run ahead; every other one is ended by a new operation.
        ASSERT_EQ(init(DB_TYPE_BCK, "\"-l\" \"INCR\" \"-j\" \"job\" \"-w\" \"4\""), DB_NUM_I_OK);
        ASSERT_EQ(ARK_FN(DB_GetItem)(dir, original, item), DB_NUM_I_OK) << arktest::all_messages();
        if (i % 2 == 0)
            ASSERT_EQ(close(), DB_NUM_I_OK);
        else
            ASSERT_EQ(init(DB_TYPE_RST, "\"-w\" \"4\""), DB_NUM_I_OK);
        if (i % 100 == 0) {
            // A restore whose import still runs when the next operation starts.
            ASSERT_EQ(init(DB_TYPE_RST, "\"-w\" \"4\""), DB_NUM_I_OK);
            const fs::path received = work / "received" / "user1.index.zbk";
            arktest::write_file(received, "ZBK1:mailbox:user1\nR:root:0a1b2c3d4e5f:00\n");
            std::string index = received.string();
            ASSERT_EQ(ARK_FN(DB_SetItem)(DB_ITEM_TYPE_FILE, index.data()), DB_NUM_I_OK);
            ASSERT_EQ(ARK_FN(DB_ItemFinishStatus)(DB_ITEM_SUCCESS), DB_NUM_I_OK);
            ASSERT_FALSE(children().empty()) << "the import should still run";
            ASSERT_EQ(init(DB_TYPE_RST, "\"-w\" \"4\""), DB_NUM_I_OK);
        }
        ASSERT_EQ(children(), Strings{}) << "after operation " << i;
        for (const char *user : {"user2", "Public"})
            ASSERT_EQ(arktest::read_file(job / (std::string(user) + ".index.zbk")),
                      "ZBK1:mailbox:" + std::string(user) + "\nR:root:0a1b2c3d4e5f:00\nold\n")
                << user << " after operation " << i;
    }
    close();
    EXPECT_EQ(children(), Strings{});
    EXPECT_EQ(open_descriptors(), descriptors);
    EXPECT_TRUE(arktest::has_message_containing("Warning: the export of mailbox user2 that ran ahead is stopped"));
}

// ---- tools that would hold the run ----

// Each case's zarafa-backup does, for one mailbox, what could hold the run:
// leave a child that keeps the output streams open (it waits on a FIFO that
// the test opens only after the close), write far more than a pipe holds
// while running ahead (user1's export waits until user2's wrote it all), or
// run past the "-t" limit. Every mailbox the case does not fail is handed
// out whole, and the run ends.
struct HoldCase {
    const char *name;
    const char *user2;      // shell text run by user2's export before it writes its files
    const char *user1;      // the same for user1
    const char *more_info;  // further option words
    bool user2_fails;       // user2 fails with an "Error:" naming the limit
};
void PrintTo(const HoldCase &c, std::ostream *os) { *os << c.name; }

class ToolsThatHoldTheRun : public ::testing::TestWithParam<std::tuple<HoldCase, int>> {
protected:
    void SetUp() override { server.set_users({"user1", "user2"}); }
    void TearDown() override {
        char *none[] = {nullptr};
        ARK_FN(DB_CloseOperation)(none);
    }
    arktest::ScopedCwd cwd;
    arktest::FakeServer server;
    arktest::TempDir bin;
    arktest::ScopedPathPrefix first{bin.path()};
    arktest::TempDir work;
};

// The limit, 5 s, is long enough that a loaded machine's healthy tools stay
// well inside it, so only the held one reaches it.
TEST_P(ToolsThatHoldTheRun, EndAtTheirExitOrTheirLimit) {
    const auto &[c, workers] = GetParam();
    const fs::path linger = bin / "linger", written = bin / "written";
    ASSERT_EQ(::mkfifo(linger.c_str(), 0600), 0);
    auto fill = [&](std::string text) {
        for (const auto &[key, value] : {std::pair{std::string("LINGER"), linger.string()},
                                         std::pair{std::string("WRITTEN"), written.string()}})
            for (size_t at = text.find(key); at != std::string::npos; at = text.find(key))
                text.replace(at, key.size(), "'" + value + "'");
        return text;
    };
    arktest::write_script(bin / "zarafa-backup",
                          "case $1 in -p) n=Public ;; *) n=$2 ;; esac\n"
                          "if [ \"$n\" = user2 ]; then " + fill(c.user2) + "\nfi\n"
                          "if [ \"$n\" = user1 ]; then " + fill(c.user1) + "\nfi\n"
                          "printf 'data\\n' > \"$n.data.zbk\"\n"
                          "printf 'ZBK1:mailbox:%s\\nR:root:0a1b2c3d4e5f:00\\n' \"$n\" > \"$n.index.zbk\"\n");
    // The tools' output reaches this process's standard output: kept in a file.
    const fs::path out_file = work / "stdout";
    std::fflush(stdout);
    const int saved = ::dup(1);
    const int file = ::open(out_file.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    ASSERT_GE(file, 0);
    ::dup2(file, 1);
    ::close(file);

    arktest::CtrlVars vars{"INFO=\"-l\" \"FULL\" \"-j\" \"job\" \"-w\" \"" + std::to_string(workers) + "\" " +
                               c.more_info,
                           "TMP_DIR=" + work.path().string()};
    Strings items;
    int init = ARK_FN(DB_InitOperation)(DB_TYPE_BCK, DB_LEVEL_FULL, vars.get());
    char dir[256], original[256], item[256];
    // As a host does, a failed mailbox does not end the loop.
    for (int calls = 0; init == DB_NUM_I_OK && calls < 50; ++calls) {
        const int got = ARK_FN(DB_GetItem)(dir, original, item);
        if (got == DB_NUM_I_COMPLETE)
            break;
        if (got != DB_NUM_I_OK)
            continue;
        items.push_back(item);
        ARK_FN(DB_ItemFinishStatus)(DB_ITEM_SUCCESS);
    }
    char *none[] = {nullptr};
    const int closed = init == DB_NUM_I_OK ? ARK_FN(DB_CloseOperation)(none) : DB_NUM_E_ERROR;
    std::fflush(stdout);
    ::dup2(saved, 1);
    ::close(saved);
    // Only now may the lingering child end.
    const int writer = ::open(linger.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
    if (writer >= 0)
        ::close(writer);

    ASSERT_EQ(init, DB_NUM_I_OK) << arktest::all_messages();
    EXPECT_EQ(closed, DB_NUM_I_OK) << arktest::all_messages();
    Strings mailboxes;
    for (const std::string &name : items)
        mailboxes.push_back(fs::path(name).filename().string());
    std::sort(mailboxes.begin(), mailboxes.end());
    Strings expected{"Public.data.zbk", "Public.index.zbk", "user1.data.zbk", "user1.index.zbk"};
    if (!c.user2_fails)
        expected.insert(expected.end(), {"user2.data.zbk", "user2.index.zbk"});
    EXPECT_EQ(mailboxes, expected) << arktest::all_messages();
    EXPECT_EQ(arktest::has_message_containing("Error: mailbox user2 was not exported: its export was stopped at "
                                              "the time limit of its run (-t 5)"),
              c.user2_fails)
        << arktest::all_messages();
    if (std::string(c.name) == "chatty_ahead") {
        EXPECT_EQ(fs::file_size(out_file), 1500001u);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Tools, ToolsThatHoldTheRun,
    ::testing::Values(
        std::tuple{HoldCase{"lingering_child", "(read x < LINGER; echo late; echo late >&2) &", ":", "", false}, 1},
        std::tuple{HoldCase{"lingering_child", "(read x < LINGER; echo late; echo late >&2) &", ":", "", false}, 2},
        std::tuple{HoldCase{"chatty_ahead", "head -c 1500000 /dev/zero | tr '\\0' x; echo; : > WRITTEN",
                            "i=0; while [ ! -e WRITTEN ] && [ $i -lt 30000 ]; do sleep 0.01; i=$((i+1)); done", "",
                            false},
                   2},
        std::tuple{HoldCase{"past_limit", "exec sleep 300", ":", "\"-t\" \"5\"", true}, 1},
        std::tuple{HoldCase{"past_limit", "exec sleep 300", ":", "\"-t\" \"5\"", true}, 2}),
    [](const auto &info) { return std::string(std::get<0>(info.param).name) + "_w" + std::to_string(std::get<1>(info.param)); });

// ---- a host that ignores SIGCHLD or reaps every child itself ----

enum class Disposition { ignored, reaped_by_host };
struct SigchldCase {
    Disposition disposition;
    int workers;
};
void PrintTo(const SigchldCase &c, std::ostream *os) {
    *os << (c.disposition == Disposition::ignored ? "ignored" : "reaped_by_host") << "_w" << c.workers;
}

void reap_everything(int) {
    while (::waitpid(-1, nullptr, WNOHANG) > 0) {
    }
}

class HostSigchld : public ::testing::TestWithParam<SigchldCase> {
protected:
    void SetUp() override {
        server.set_users({"alice", "bob", "carol"});
        arktest::write_script(bin / "zarafa-backup",
                              "case $1 in -p) n=Public ;; *) n=$2 ;; esac\nprintf 'data\\n' > \"$n.data.zbk\"\n"
                              "printf 'ZBK1:mailbox:%s\\nR:root:0a1b2c3d4e5f:00\\n' \"$n\" > \"$n.index.zbk\"\n");
        arktest::write_script(bin / "zarafa-restore", "cat > /dev/null\necho \"$*\" >> '" +
                                                          (bin / "restored").string() + "'\n");
        struct sigaction action {};
        action.sa_handler = GetParam().disposition == Disposition::ignored ? SIG_IGN : reap_everything;
        sigemptyset(&action.sa_mask);
        action.sa_flags = SA_RESTART;
        ::sigaction(SIGCHLD, &action, &saved);
    }
    void TearDown() override {
        char *none[] = {nullptr};
        ARK_FN(DB_CloseOperation)(none);
        ::sigaction(SIGCHLD, &saved, nullptr);
    }

    struct sigaction saved {};
    arktest::ScopedCwd cwd;
    arktest::FakeServer server;
    arktest::TempDir bin;
    arktest::ScopedPathPrefix first{bin.path()};
    arktest::TempDir work;
};

TEST_P(HostSigchld, OperationsEndAndSayTheStatusWasNotLearned) {
    const std::string w = std::to_string(GetParam().workers);
    arktest::CtrlVars backup{"INFO=\"-l\" \"FULL\" \"-j\" \"job\" \"-w\" \"" + w + "\"",
                             "TMP_DIR=" + work.path().string()};
    ASSERT_EQ(ARK_FN(DB_InitOperation)(DB_TYPE_BCK, DB_LEVEL_FULL, backup.get()), DB_NUM_I_OK);
    char dir[256], original[256], item[256];
    Strings items;
    while (ARK_FN(DB_GetItem)(dir, original, item) == DB_NUM_I_OK) {
        items.push_back(item);
        ASSERT_EQ(ARK_FN(DB_ItemFinishStatus)(DB_ITEM_SUCCESS), DB_NUM_I_OK);
    }
    char *none[] = {nullptr};
    ASSERT_EQ(ARK_FN(DB_CloseOperation)(none), DB_NUM_I_OK);
    // Judged by the files, every mailbox was exported; no status was made up.
    EXPECT_EQ(items.size(), 8u) << arktest::all_messages();
    // Ignored, SIGCHLD leaves no status to learn; a host's handler may or
    // may not reap a child before the plug-in does, so either is right there.
    const bool never_learned = GetParam().disposition == Disposition::ignored;
    if (never_learned) {
        EXPECT_TRUE(arktest::has_message_containing("an exit status that could not be learned"))
            << arktest::all_messages();
    }
    EXPECT_FALSE(arktest::has_message_containing("ended with exit status"));

    arktest::clear_messages();
    arktest::CtrlVars restore{"INFO=\"-w\" \"" + w + "\"", "TMP_DIR=" + work.path().string()};
    ASSERT_EQ(ARK_FN(DB_InitOperation)(DB_TYPE_RST, DB_LEVEL_FULL, restore.get()), DB_NUM_I_OK);
    const fs::path job = work / "zarafa" / "job";
    for (const char *user : {"alice", "bob", "carol"})
        for (const char *kind : {".data.zbk", ".index.zbk"}) {
            std::string path = (job / (std::string(user) + kind)).string();
            ASSERT_EQ(ARK_FN(DB_SetItem)(DB_ITEM_TYPE_FILE, path.data()), DB_NUM_I_OK);
            EXPECT_EQ(ARK_FN(DB_ItemFinishStatus)(DB_ITEM_SUCCESS), DB_NUM_I_OK) << arktest::all_messages();
        }
    EXPECT_EQ(ARK_FN(DB_CloseOperation)(none), DB_NUM_I_OK) << arktest::all_messages();
    EXPECT_EQ(arktest::lines_of(arktest::read_file(bin / "restored")).size(), 3u);
    for (const char *user : {"alice", "bob", "carol"}) {
        if (never_learned) {
            EXPECT_TRUE(arktest::has_message_containing(std::string("the import of mailbox ") + user +
                                                        " is taken as done"))
                << arktest::all_messages();
        }
        EXPECT_FALSE(arktest::has_message_containing(std::string("mailbox ") + user + " was not restored"));
    }
}

INSTANTIATE_TEST_SUITE_P(Hosts, HostSigchld,
                         ::testing::Values(SigchldCase{Disposition::ignored, 1}, SigchldCase{Disposition::ignored, 4},
                                           SigchldCase{Disposition::reaped_by_host, 1},
                                           SigchldCase{Disposition::reaped_by_host, 4}),
                         [](const auto &info) {
                             std::ostringstream name;
                             PrintTo(info.param, &name);
                             return name.str();
                         });

} // namespace
