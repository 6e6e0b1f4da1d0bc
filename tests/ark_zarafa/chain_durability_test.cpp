// Chains under crashes and failed stores: a job runs FULL, INCR, INCR, INCR
// (or FULL, INCR, DIFF, INCR, DIFF) through dbhost against the simulator,
// with new mail before each later run, and one run is disturbed (the host
// dies after a given entry-point call, or reports a given item as failed).
// Restoring into lost mailboxes the last FULL with every later save set, and
// the last FULL with the latest DIFF and the save sets after it, must each
// give back every message the server held last. A run whose host says at
// the close that it could not store it ("STORED=NO") loses its save set. A restore that dies at any call,
// run again, must do the same.
#include <gtest/gtest.h>

#include <signal.h>

#include <algorithm>
#include <fstream>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "support/e2e_scene.h"

namespace {

using arktest::E2eScene;
using arktest::HostRun;
namespace fs = std::filesystem;

const std::vector<std::string> kMailboxes{"user0001", "user0002", "PUBLIC_FOLDER"};
const std::vector<std::string> kIncrChain{"FULL", "INCR", "INCR", "INCR"};
// Each DIFF holds what the INCR before it held and more; the INCR after a
// DIFF builds on that DIFF, and the second DIFF again on the FULL.
const std::vector<std::string> kDiffChain{"FULL", "INCR", "DIFF", "INCR", "DIFF"};
constexpr int kItems = 2 * 3;

// An undisturbed backup of n mailboxes: DB_InitOperation, a DB_GetItem per
// file and one more, a DB_ItemFinishStatus per file, and DB_CloseOperation.
constexpr int calls_of(int mailboxes) { return 1 + (2 * mailboxes + 1) + 2 * mailboxes + 1; }

enum class Fault { kill_after_call, fail_item, not_stored };

const char *fault_text(Fault f) {
    switch (f) {
    case Fault::kill_after_call:
        return "_killed_after_call";
    case Fault::fail_item:
        return "_fails_item";
    case Fault::not_stored:
        break;
    }
    return "_not_stored";
}

struct ChainCase {
    int run;    // which backup of the chain is disturbed
    Fault fault;
    int n;      // the call after which the host dies, or the item it fails
    // The server also has an account named "ALL", whose export is the
    // whole-server one.
    bool all_account = false;
    int workers = 1; // tool processes the plug-in may run at once
    const std::vector<std::string> *levels = &kIncrChain;
};

void PrintTo(const ChainCase &c, std::ostream *os) {
    *os << "run " << c.run << " (" << c.levels->at(static_cast<size_t>(c.run)) << ")" << fault_text(c.fault) << " "
        << c.n
        << (c.all_account ? " with an account ALL" : "");
}

std::vector<ChainCase> cases_of_runs(int first, int last, bool all_account, int workers = 1,
                                     const std::vector<std::string> &levels = kIncrChain) {
    const int mailboxes = static_cast<int>(kMailboxes.size()) + (all_account ? 1 : 0);
    std::vector<ChainCase> cases;
    for (int run = first; run <= last; ++run) {
        for (int k = 1; k <= calls_of(mailboxes); ++k)
            cases.push_back({run, Fault::kill_after_call, k, all_account, workers, &levels});
        for (int p = 1; p <= 2 * mailboxes; ++p)
            cases.push_back({run, Fault::fail_item, p, all_account, workers, &levels});
        cases.push_back({run, Fault::not_stored, 0, all_account, workers, &levels});
    }
    return cases;
}

std::string case_name(const ::testing::TestParamInfo<ChainCase> &info) {
    const ChainCase &c = info.param;
    return "run" + std::to_string(c.run) + fault_text(c.fault) + std::to_string(c.n);
}

void add_mail(const E2eScene &scene, int round) {
    const std::string seed = std::to_string(100 + round);
    scene.tool_ok({"zarafa-sim", "add-messages", "user0001", "2", "--seed", seed});
    scene.tool_ok({"zarafa-sim", "add-messages", "user0002", "1", "--seed", seed});
    scene.tool_ok({"zarafa-sim", "add-messages", "-p", "1", "--seed", seed});
}

std::map<std::string, std::string> contents(const E2eScene &scene) {
    std::map<std::string, std::string> all;
    for (const std::string &m : kMailboxes)
        all[m] = scene.content(m);
    return all;
}

void lose_everything(const E2eScene &scene) {
    for (const std::string &m : kMailboxes)
        if (m != "PUBLIC_FOLDER")
            scene.lose_mailbox(m);
    scene.lose_public_store();
}

// The message lines of expected that actual lacks.
int missing_messages(const std::string &expected, const std::string &actual) {
    std::multiset<std::string> have;
    for (const std::string &line : arktest::lines_of(actual))
        have.insert(line);
    int missing = 0;
    for (const std::string &line : arktest::lines_of(expected)) {
        if (!line.starts_with("  message"))
            continue;
        auto it = have.find(line);
        if (it == have.end())
            ++missing;
        else
            have.erase(it);
    }
    return missing;
}

std::vector<std::string> mailbox_options() {
    std::vector<std::string> args;
    for (const std::string &m : kMailboxes) {
        args.push_back("--mailbox");
        args.push_back(m);
    }
    return args;
}

void expect_restored(const E2eScene &scene, const std::map<std::string, std::string> &expected,
                     const HostRun &restore) {
    for (const std::string &m : kMailboxes) {
        const std::string actual = scene.content(m);
        EXPECT_EQ(missing_messages(expected.at(m), actual), 0) << m << "\n" << restore.describe();
        EXPECT_EQ(actual, expected.at(m)) << m;
    }
}

// The save sets of a restore, as a host picks them from the job's runs:
// the last FULL and every later one, or, when a DIFF whose backup ran to
// its end (with failed items or not) came after that FULL, the FULL, the
// latest such DIFF and every later save set, whole or not. A DIFF whose
// host died is no such anchor: what it would have stored is unknown. Runs
// killed before their save set was made have none.
bool ran_to_its_end(const E2eScene &scene, const std::string &set) {
    for (const std::string &line : arktest::lines_of(arktest::read_file(scene.store() / set / "manifest")))
        if (line.starts_with("end\t"))
            return true;
    return false;
}

std::vector<std::string> chain_of(const E2eScene &scene, const std::vector<std::string> &levels, bool by_latest_diff) {
    std::vector<int> runs;
    for (int r = 0; r < static_cast<int>(levels.size()); ++r)
        if (fs::exists(scene.store() / ("s" + std::to_string(r))))
            runs.push_back(r);
    const auto level = [&](int r) { return levels[static_cast<size_t>(r)]; };
    const auto full = std::find_if(runs.rbegin(), runs.rend(), [&](int r) { return level(r) == "FULL"; });
    std::vector<int> chosen(full == runs.rend() ? runs.begin() : full.base() - 1, runs.end());
    if (by_latest_diff) {
        auto diff = std::find_if(chosen.rbegin(), chosen.rend(), [&](int r) {
            return level(r) == "DIFF" && ran_to_its_end(scene, "s" + std::to_string(r));
        });
        if (diff != chosen.rend() && diff.base() - 1 > chosen.begin())
            chosen.erase(chosen.begin() + 1, diff.base() - 1);
    }
    std::vector<std::string> names;
    for (int r : chosen)
        names.push_back("s" + std::to_string(r));
    return names;
}

// Restores the save sets one after the other; the last run, or the first
// that did not survive.
HostRun restore_sets(const E2eScene &scene, const std::vector<std::string> &sets,
                     const std::vector<std::string> &options) {
    std::string names;
    for (const std::string &set : sets)
        names += " " + set;
    HostRun last;
    for (const std::string &set : sets) {
        last = scene.restore(set, options);
        last.log = "restored save sets:" + names + "\n" + last.log;
        if (!last.survived())
            break;
    }
    return last;
}

class ChainDurability : public ::testing::TestWithParam<ChainCase> {};

TEST_P(ChainDurability, WholeChainRestoresEveryMessage) {
    const ChainCase &c = GetParam();
    E2eScene scene;
    scene.populate(2, 2, 3, 7);
    if (c.all_account)
        scene.tool_ok({"zarafa-sim", "create-user", "ALL", "All Hands", "all@example.org"});
    std::vector<std::string> levels = *c.levels;
    // The mail that arrived before a disturbed last run needs one more run.
    if (c.run + 1 == static_cast<int>(levels.size()))
        levels.push_back("INCR");
    for (int r = 0; r < static_cast<int>(levels.size()); ++r) {
        if (r > 0)
            add_mail(scene, r);
        std::vector<std::string> extra{"--level", levels[static_cast<size_t>(r)], "--job", "nightly", "--workers",
                                       std::to_string(c.workers)};
        if (r == c.run && c.fault == Fault::not_stored) {
            extra.insert(extra.end(), {"--var", "STORED=NO"});
        } else if (r == c.run) {
            extra.push_back(c.fault == Fault::kill_after_call ? "--test-kill-after-call" : "--test-fail-item");
            extra.push_back(std::to_string(c.n));
        }
        const HostRun run = scene.backup("s" + std::to_string(r), extra);
        if (r == c.run && c.fault == Fault::kill_after_call) {
            ASSERT_EQ(run.process.signal, SIGKILL) << "the host should have died\n" << run.describe();
        } else if (r == c.run && c.fault == Fault::not_stored) {
            ASSERT_TRUE(run.survived()) << run.describe();
            for (const std::string &m : kMailboxes)
                EXPECT_TRUE(run.problem_mentions({"Warning: the host could not store this backup durably (STORED=NO)",
                                                  "mailbox " + m + " is kept"}))
                    << run.describe();
            // What the host could not make durable is gone after the crash
            // it stands for.
            fs::remove_all(scene.store() / ("s" + std::to_string(r)));
        } else if (r == c.run) {
            ASSERT_TRUE(run.survived()) << run.describe();
            EXPECT_TRUE(run.problem_mentions({"Warning: the host could not store"})) << run.describe();
        } else {
            // After a disturbed run the next one warns of what it took back.
            ASSERT_TRUE(run.exit_status() == 0 || (r > c.run && run.exit_status() == 3)) << run.describe();
        }
    }
    const std::map<std::string, std::string> expected = contents(scene);
    std::vector<std::string> restore_options = mailbox_options();
    restore_options.insert(restore_options.end(), {"--workers", std::to_string(c.workers)});
    for (const bool by_latest_diff : {false, true}) {
        SCOPED_TRACE(by_latest_diff ? "FULL, latest DIFF, later INCRs" : "FULL and every later save set");
        const std::vector<std::string> sets = chain_of(scene, levels, by_latest_diff);
        lose_everything(scene);
        const HostRun restore = restore_sets(scene, sets, restore_options);
        ASSERT_TRUE(restore.survived()) << restore.describe();
        expect_restored(scene, expected, restore);
        if (std::find(levels.begin(), levels.end(), "DIFF") == levels.end())
            break;
    }
}

INSTANTIATE_TEST_SUITE_P(EveryCallAndItem, ChainDurability, ::testing::ValuesIn(cases_of_runs(0, 3, false)),
                         case_name);
// An account named "ALL" is exported with the whole-server tool, which
// rewrites every mailbox's files while handing out only its own: no other
// mailbox's baseline may move with it.
// Exports running ahead and imports running side by side keep the chain.
INSTANTIATE_TEST_SUITE_P(FourWorkers, ChainDurability, ::testing::ValuesIn(cases_of_runs(0, 3, false, 4)),
                         case_name);
INSTANTIATE_TEST_SUITE_P(AccountNamedAll, ChainDurability, ::testing::ValuesIn(cases_of_runs(1, 1, true)),
                         case_name);
// A DIFF that is not stored leaves the FULL's index behind it, so that the
// run after it holds every change since the FULL.
INSTANTIATE_TEST_SUITE_P(WithDiffs, ChainDurability, ::testing::ValuesIn(cases_of_runs(0, 4, false, 1, kDiffChain)),
                         case_name);
INSTANTIATE_TEST_SUITE_P(WithDiffsFourWorkers, ChainDurability,
                         ::testing::ValuesIn(cases_of_runs(2, 4, false, 4, kDiffChain)), case_name);
INSTANTIATE_TEST_SUITE_P(WithDiffsAccountNamedAll, ChainDurability,
                         ::testing::ValuesIn(cases_of_runs(2, 2, true, 1, kDiffChain)), case_name);

// A disturbed backup in the middle of a chain: a FULL after FULL and INCR,
// or a --replace backup whose save set therefore fails.
struct Disturbance {
    Fault fault;
    int n;
};

void PrintTo(const Disturbance &d, std::ostream *os) {
    *os << (d.fault == Fault::kill_after_call ? "killed after call " : "fails item ") << d.n;
}

std::vector<Disturbance> every_call_and_item() {
    const int mailboxes = static_cast<int>(kMailboxes.size());
    std::vector<Disturbance> all;
    for (int k = 1; k <= calls_of(mailboxes); ++k)
        all.push_back({Fault::kill_after_call, k});
    for (int p = 1; p <= 2 * mailboxes; ++p)
        all.push_back({Fault::fail_item, p});
    return all;
}

std::string disturbance_name(const ::testing::TestParamInfo<Disturbance> &info) {
    return (info.param.fault == Fault::kill_after_call ? "killed_after_call" : "fails_item") +
           std::to_string(info.param.n);
}

std::vector<std::string> disturbed(std::vector<std::string> extra, const Disturbance &d) {
    extra.push_back(d.fault == Fault::kill_after_call ? "--test-kill-after-call" : "--test-fail-item");
    extra.push_back(std::to_string(d.n));
    return extra;
}

void expect_disturbed(const HostRun &run, const Disturbance &d) {
    if (d.fault == Fault::kill_after_call)
        ASSERT_EQ(run.process.signal, SIGKILL) << "the host should have died\n" << run.describe();
    else
        ASSERT_EQ(run.exit_status(), 1) << run.describe();
}

// Loses every mailbox and restores the job's chain: every message back.
void expect_chain_restores(const E2eScene &scene, const std::string &when) {
    SCOPED_TRACE(when);
    const std::map<std::string, std::string> expected = contents(scene);
    lose_everything(scene);
    const HostRun restore = scene.restore_chain("nightly", mailbox_options());
    ASSERT_TRUE(restore.survived()) << restore.describe();
    expect_restored(scene, expected, restore);
}

// FULL, new mail, INCR, then a FULL disturbed at any call or item: the
// mailboxes that FULL did not store whole come from the FULL and INCR before
// it, at once and after the next INCR.
class InterruptedFull : public ::testing::TestWithParam<Disturbance> {};

TEST_P(InterruptedFull, ChainRestoresEveryMessageAtOnceAndAfterTheNextIncr) {
    E2eScene scene;
    scene.populate(2, 2, 3, 13);
    ASSERT_EQ(scene.backup("f1", {"--level", "FULL", "--job", "nightly"}).exit_status(), 0);
    add_mail(scene, 1);
    ASSERT_EQ(scene.backup("i1", {"--level", "INCR", "--job", "nightly"}).exit_status(), 0);
    expect_disturbed(scene.backup("f2", disturbed({"--level", "FULL", "--job", "nightly"}, GetParam())),
                     GetParam());
    expect_chain_restores(scene, "restored at once");
    add_mail(scene, 2);
    const HostRun next = scene.backup("i2", {"--level", "INCR", "--job", "nightly"});
    ASSERT_TRUE(next.exit_status() == 0 || next.exit_status() == 3) << next.describe();
    expect_chain_restores(scene, "restored after the next INCR");
}

INSTANTIATE_TEST_SUITE_P(EveryCallAndItem, InterruptedFull, ::testing::ValuesIn(every_call_and_item()),
                         disturbance_name);

// A --replace backup that fails (or dies) after storing some mailboxes: its
// items are kept as a save set of their own, which the chain uses after a
// later INCR and a second --replace of the same name.
class FailedReplace : public ::testing::TestWithParam<Disturbance> {};

TEST_P(FailedReplace, KeepsItsItemsForTheChain) {
    E2eScene scene;
    scene.populate(2, 2, 3, 17);
    ASSERT_EQ(scene.backup("f", {"--level", "FULL", "--job", "nightly"}).exit_status(), 0);
    add_mail(scene, 1);
    const std::vector<std::string> replace{"--level", "INCR", "--job", "nightly", "--replace"};
    expect_disturbed(scene.backup("r", disturbed(replace, GetParam())), GetParam());
    add_mail(scene, 2);
    const HostRun incr = scene.backup("i", {"--level", "INCR", "--job", "nightly"});
    ASSERT_TRUE(incr.exit_status() == 0 || incr.exit_status() == 3) << incr.describe();
    add_mail(scene, 3);
    const HostRun again = scene.backup("r", replace);
    ASSERT_TRUE(again.exit_status() == 0 || again.exit_status() == 3) << again.describe();
    if (GetParam().fault == Fault::kill_after_call) {
        EXPECT_TRUE(again.problem_mentions({"Warning: an earlier --replace backup of save set \"r\" was not finished",
                                            "\"r.failed-2\""}))
            << again.describe();
    }
    const HostRun list = scene.dbhost({"list", "--store", scene.store().string()});
    EXPECT_NE(list.process.out.find(" r.failed-2\n"), std::string::npos) << list.process.out;
    EXPECT_NE(list.process.out.find(" r\n"), std::string::npos) << list.process.out;
    expect_chain_restores(scene, "after the second --replace");
}

INSTANTIATE_TEST_SUITE_P(EveryCallAndItem, FailedReplace, ::testing::ValuesIn(every_call_and_item()),
                         disturbance_name);

// A no-recovery restore of FULL + INCR + INCR puts each save set into a
// directory of its own; the scripts the summary lists, run in that order,
// bring every message back, and so does the one script that runs them all,
// which stops at the first that fails. Also with a restore target whose
// name a shell would misread.
class NoRecoveryChain : public ::testing::TestWithParam<std::string> {};

TEST_P(NoRecoveryChain, ListedScriptsAndTheAllInOneScriptRestoreEveryMessage) {
    E2eScene scene;
    scene.set_into(scene.dir() / GetParam());
    scene.populate(2, 2, 3, 19);
    for (int r = 0; r < 3; ++r) {
        if (r > 0)
            add_mail(scene, r);
        ASSERT_EQ(scene.backup("s" + std::to_string(r), {"--level", r ? "INCR" : "FULL", "--job", "nightly"})
                      .exit_status(),
                  0);
    }
    const std::map<std::string, std::string> expected = contents(scene);
    lose_everything(scene);
    std::vector<std::string> options = mailbox_options();
    options.push_back("--no-recovery");
    const HostRun restore = scene.restore_chain("nightly", options);
    ASSERT_EQ(restore.exit_status(), 0) << restore.describe();
    for (const std::string &m : kMailboxes)
        EXPECT_GT(missing_messages(expected.at(m), scene.content(m)), 0) << m << " restored before any script ran";

    // "    N. cd DIR && ./SCRIPT", in the order to run them.
    std::vector<std::string> commands;
    for (const std::string &line : arktest::lines_of(restore.process.out))
        if (auto dot = line.find(". cd "); line.starts_with("    ") && dot != std::string::npos)
            commands.push_back(line.substr(dot + 2));
    ASSERT_EQ(commands.size(), 3 * kMailboxes.size()) << restore.process.out;
    for (size_t k = 0; k < 3; ++k)
        EXPECT_TRUE(fs::is_directory(scene.into() / ("0" + std::to_string(k + 1) + "-s" + std::to_string(k))));
    for (const std::string &command : commands) {
        const arktest::ProcessResult run = arktest::run_process({"sh", "-c", command}, {.env = scene.env()});
        ASSERT_EQ(run.exit_status, 0) << command << "\n" << run.out << run.err;
    }
    expect_restored(scene, expected, restore);

    const fs::path all = scene.into() / "nightly.restore-chain.sh";
    EXPECT_NE(restore.process.out.find(all.string() + " runs them all"), std::string::npos) << restore.process.out;
    EXPECT_EQ(fs::status(all).permissions() & fs::perms::all, fs::perms::owner_all);
    lose_everything(scene);
    const arktest::ProcessResult whole = arktest::run_process({all.string()}, {.env = scene.env()});
    ASSERT_EQ(whole.exit_status, 0) << whole.out << whole.err;
    expect_restored(scene, expected, restore);
    // No name was read as shell text, wherever a script ran.
    for (const auto &entry : fs::recursive_directory_iterator(scene.dir()))
        EXPECT_NE(entry.path().filename(), "PWNED") << entry.path();
    EXPECT_FALSE(fs::exists("PWNED"));

    // A script that fails stops the ones after it.
    const std::string second = commands[1].substr(commands[1].find("./") + 2);
    const std::string second_dir = commands[1].substr(3, commands[1].find(" && ") - 3);
    arktest::ProcessResult replaced = arktest::run_process(
        {"sh", "-c", "cd " + second_dir + " && printf '#!/bin/sh\\nexit 7\\n' > " + second});
    ASSERT_EQ(replaced.exit_status, 0) << replaced.err;
    const arktest::ProcessResult stopped = arktest::run_process({all.string()}, {.env = scene.env()});
    EXPECT_EQ(stopped.exit_status, 1) << stopped.out << stopped.err;
    size_t runs = 0;
    for (const std::string &line : arktest::lines_of(stopped.out))
        runs += line.starts_with("running ");
    EXPECT_EQ(runs, 2u) << stopped.out;
    EXPECT_NE(stopped.err.find("exit status 7"), std::string::npos) << stopped.err;
}

INSTANTIATE_TEST_SUITE_P(Targets, NoRecoveryChain,
                         ::testing::Values("rst", "rst 'q' $(touch PWNED) ;x"),
                         [](const auto &info) { return info.index == 0 ? std::string("plain") : "shell_text"; });

// The run after a crash says which mailboxes it took back, by name; a failed
// item names its mailbox at once and does not fail the call.
TEST(ChainDurabilityMessages, RecoveryAndFailedStoreNameTheMailbox) {
    E2eScene scene;
    scene.populate(2, 2, 3, 7);
    ASSERT_EQ(scene.backup("f", {"--level", "FULL", "--job", "nightly"}).exit_status(), 0);
    add_mail(scene, 1);
    // Call 4 exports user0002 while user0001's index is still to be stored.
    const HostRun killed = scene.backup("i1", {"--level", "INCR", "--job", "nightly", "--test-kill-after-call", "4"});
    ASSERT_EQ(killed.process.signal, SIGKILL) << killed.describe();
    // The hidden journal is never handed out, and is gone once recovered.
    const HostRun next = scene.backup("i2", {"--level", "INCR", "--job", "nightly", "--test-fail-item", "3"});
    for (const std::string m : {"user0001", "user0002"})
        EXPECT_TRUE(next.problem_mentions({"Warning: the last backup of mailbox " + m, "was not stored completely"}))
            << next.describe();
    EXPECT_TRUE(next.problem_mentions({"Warning: the host could not store", "mailbox user0002",
                                       "its changes will be in the next backup"}))
        << next.describe();
    EXPECT_EQ(next.process.err.find("DB_ItemFinishStatus returned"), std::string::npos) << next.describe();
    EXPECT_TRUE(arktest::paths_containing(scene.store(), ".baseline").empty());
    // The recovery removed the unacknowledged data files, so a tool that
    // appends to a leftover one starts from nothing.
    EXPECT_FALSE(fs::exists(scene.work() / "zarafa" / "nightly" / "user0002.data.zbk"));
    EXPECT_TRUE(arktest::paths_containing(scene.work() / "zarafa" / "nightly", ".nobaseline").empty());
}

// A killed INCR is rolled back at the next set-up as far as it got: killed
// after its first export (the batch journaled, one tool run), only that
// mailbox is named; killed just before its close (every file acknowledged,
// nothing committed), every mailbox. A torn record after the last whole one,
// as a crash in the middle of a batch write leaves it, changes nothing. The
// chain then restores every message, and the journal is gone.
struct CrashCase {
    const char *name;
    int kill_after;
    std::vector<std::string> named;
    std::string torn_tail; // appended to the journal after the kill
};

void PrintTo(const CrashCase &c, std::ostream *os) { *os << c.name; }

class CrashedIncr : public ::testing::TestWithParam<CrashCase> {};

TEST_P(CrashedIncr, NextRunTakesBackWhatTheCrashedRunExported) {
    const CrashCase &c = GetParam();
    E2eScene scene;
    scene.populate(2, 2, 3, 23);
    ASSERT_EQ(scene.backup("f", {"--level", "FULL", "--job", "nightly"}).exit_status(), 0);
    add_mail(scene, 1);
    const HostRun killed = scene.backup(
        "i1", {"--level", "INCR", "--job", "nightly", "--test-kill-after-call", std::to_string(c.kill_after)});
    ASSERT_EQ(killed.process.signal, SIGKILL) << killed.describe();
    const fs::path journal = scene.work() / "zarafa" / "nightly" / ".baselines.journal";
    ASSERT_TRUE(fs::exists(journal));
    if (!c.torn_tail.empty()) {
        std::ofstream(journal, std::ios::app | std::ios::binary) << c.torn_tail;
    }
    fs::remove_all(scene.store() / "i1");
    const HostRun next = scene.backup("i2", {"--level", "INCR", "--job", "nightly"});
    ASSERT_TRUE(next.survived()) << next.describe();
    for (const std::string &m : kMailboxes) {
        const bool named = std::find(c.named.begin(), c.named.end(), m) != c.named.end();
        EXPECT_EQ(next.problem_mentions({"Warning: the last backup of mailbox " + m + " in", "not stored completely"}),
                  named)
            << m << "\n" << next.describe();
    }
    EXPECT_FALSE(fs::exists(journal));
    const std::map<std::string, std::string> expected = contents(scene);
    lose_everything(scene);
    const HostRun restore = restore_sets(scene, {"f", "i2"}, mailbox_options());
    ASSERT_TRUE(restore.survived()) << restore.describe();
    expect_restored(scene, expected, restore);
}


INSTANTIATE_TEST_SUITE_P(
    KillPoints, CrashedIncr,
    ::testing::Values(CrashCase{"AfterTheFirstExport", 2, {"user0001"}, ""},
                      CrashCase{"BeforeTheClose", calls_of(3) - 1, kMailboxes, ""},
                      CrashCase{"BeforeTheCloseWithATornRecord", calls_of(3) - 1, kMailboxes,
                                "ARKJ1 B i 1 8 4000\nuser0002 partial index"},
                      CrashCase{"AfterTheFirstExportWithADamagedRecord", 2, {"user0001"},
                                "ARKJ1 B i 0 8 0\nuser0002ffffffff\n"}),
    [](const ::testing::TestParamInfo<CrashCase> &info) { return std::string(info.param.name); });

// A job directory left by the previous version after a crash, with its
// per-stem journal: an INCR that moved every index forward was never
// stored, and the next INCR puts back what that journal names, so that
// FULL and the next INCR restore every message.
enum class OldJournal { baseline_copies, no_baseline_markers, whole_server_mark };

void PrintTo(OldJournal kind, std::ostream *os) { *os << static_cast<int>(kind); }

class OldJournalRecovery : public ::testing::TestWithParam<OldJournal> {};

TEST_P(OldJournalRecovery, NextIncrHoldsEveryChangeSinceTheLastStoredRun) {
    E2eScene scene;
    scene.populate(2, 2, 3, 29);
    ASSERT_EQ(scene.backup("f", {"--level", "FULL", "--job", "nightly"}).exit_status(), 0);
    const fs::path dir = scene.work() / "zarafa" / "nightly";
    const std::vector<std::string> stems{"user0001", "user0002", "Public"};
    for (const std::string &stem : stems)
        fs::copy_file(dir / (stem + ".index.zbk"), scene.dir() / (stem + ".after-full"));
    add_mail(scene, 1);
    ASSERT_EQ(scene.backup("i1", {"--level", "INCR", "--job", "nightly"}).exit_status(), 0);
    fs::remove_all(scene.store() / "i1");
    for (const std::string &stem : stems) {
        if (GetParam() == OldJournal::baseline_copies)
            fs::copy_file(scene.dir() / (stem + ".after-full"), dir / ("." + stem + ".index.zbk.baseline"));
        else if (GetParam() == OldJournal::no_baseline_markers)
            arktest::write_file(dir / ("." + stem + ".index.zbk.nobaseline"), "no baseline\n");
    }
    if (GetParam() == OldJournal::whole_server_mark)
        arktest::write_file(dir / ".ALL.export", "whole server\n");
    add_mail(scene, 2);
    const HostRun next = scene.backup("i2", {"--level", "INCR", "--job", "nightly"});
    ASSERT_TRUE(next.survived()) << next.describe();
    for (const std::string &m : kMailboxes)
        EXPECT_TRUE(next.problem_mentions({"Warning: the last backup of mailbox " + m + " in", "not stored completely"}))
            << next.describe();
    EXPECT_TRUE(arktest::paths_containing(dir, "baseline").empty());
    EXPECT_FALSE(fs::exists(dir / ".ALL.export"));
    const std::map<std::string, std::string> expected = contents(scene);
    lose_everything(scene);
    const HostRun restore = restore_sets(scene, {"f", "i2"}, mailbox_options());
    ASSERT_TRUE(restore.survived()) << restore.describe();
    expect_restored(scene, expected, restore);
}

INSTANTIATE_TEST_SUITE_P(Kinds, OldJournalRecovery,
                         ::testing::Values(OldJournal::baseline_copies, OldJournal::no_baseline_markers,
                                           OldJournal::whole_server_mark),
                         [](const ::testing::TestParamInfo<OldJournal> &info) {
                             return std::string(info.param == OldJournal::baseline_copies       ? "BaselineCopies"
                                                : info.param == OldJournal::no_baseline_markers ? "NoBaselineMarkers"
                                                                                                : "WholeServerMark");
                         });

// More mailboxes than one journal batch covers: a run killed before its
// close, with one changed mailbox in the first batch and one in the
// second, loses neither one's mail, sequential and with exports ahead.
class ManyMailboxes : public ::testing::TestWithParam<int> {};

TEST_P(ManyMailboxes, CrashBeforeTheCloseLosesNoBatch) {
    constexpr int kUsers = 70;
    E2eScene scene;
    scene.populate(kUsers, 1, 1, 31);
    const std::vector<std::string> workers{"--workers", std::to_string(GetParam())};
    auto level = [&](const char *l) {
        std::vector<std::string> extra{"--level", l, "--job", "nightly"};
        extra.insert(extra.end(), workers.begin(), workers.end());
        return extra;
    };
    ASSERT_EQ(scene.backup("f", level("FULL")).exit_status(), 0);
    const std::vector<std::string> changed{"user0002", "user0065"};
    for (const std::string &m : changed)
        scene.tool_ok({"zarafa-sim", "add-messages", m, "2", "--seed", "41"});
    // Every user and the public store, two files each.
    std::vector<std::string> killed_run = level("INCR");
    killed_run.insert(killed_run.end(), {"--test-kill-after-call", std::to_string(calls_of(kUsers + 1) - 1)});
    ASSERT_EQ(scene.backup("i1", killed_run).process.signal, SIGKILL);
    fs::remove_all(scene.store() / "i1");
    const HostRun next = scene.backup("i2", level("INCR"));
    ASSERT_TRUE(next.survived()) << next.describe();
    std::map<std::string, std::string> expected;
    std::vector<std::string> options;
    for (const std::string &m : changed) {
        expected[m] = scene.content(m);
        scene.lose_mailbox(m);
        options.insert(options.end(), {"--mailbox", m});
    }
    const HostRun restore = restore_sets(scene, {"f", "i2"}, options);
    ASSERT_TRUE(restore.survived()) << restore.describe();
    for (const std::string &m : changed)
        EXPECT_EQ(scene.content(m), expected[m]) << m << "\n" << restore.describe();
}

INSTANTIATE_TEST_SUITE_P(Workers, ManyMailboxes, ::testing::Values(1, 4));

// A chain restore killed after any of its calls, then run again, restores
// every mailbox whole.
TEST(ChainRestoreCrash, RerunAfterAKillAtAnyCallRestoresEverything) {
    E2eScene scene;
    scene.populate(2, 2, 3, 11);
    ASSERT_EQ(scene.backup("f", {"--level", "FULL", "--job", "nightly"}).exit_status(), 0);
    add_mail(scene, 1);
    ASSERT_EQ(scene.backup("i", {"--level", "INCR", "--job", "nightly"}).exit_status(), 0);
    const std::map<std::string, std::string> expected = contents(scene);

    int kills = 0;
    for (int k = 1;; ++k) {
        SCOPED_TRACE("killed after call " + std::to_string(k));
        lose_everything(scene);
        std::vector<std::string> extra = mailbox_options();
        extra.insert(extra.end(), {"--test-kill-after-call", std::to_string(k)});
        const HostRun killed = scene.restore_chain("nightly", extra);
        const bool died = killed.process.signal == SIGKILL;
        kills += died;
        const HostRun again = died ? scene.restore_chain("nightly", mailbox_options()) : killed;
        ASSERT_EQ(again.exit_status(), 0) << again.describe();
        expect_restored(scene, expected, again);
        if (!died || ::testing::Test::HasFailure())
            break;
    }
    // Two save sets of six files and their directories: far more calls
    // than this, so every one of them was a place to die.
    EXPECT_GT(kills, 2 * (1 + 2 * kItems + 1));
}

} // namespace
