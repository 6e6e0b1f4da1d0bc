// Whole backups and restores through dbhost, the real plug-in and the server
// simulator while the simulator's tools fail in the ways the simulator can
// inject: the host survives, the affected mailbox is named in an "Error:" or
// "Warning:", dbhost fails when a mailbox was not saved or not restored, and
// neither an earlier save set nor the job's persisted index files suffer.
#include "support/dbhost_scene.h"
#include "support/e2e_scene.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <sstream>

namespace {

using namespace arktest;

const std::vector<std::string> kMailboxes = {"user0001", "user0002", "user0003", "PUBLIC_FOLDER"};
const std::string kVictim = "user0002";

using arktest::lines_of;

// Item names of a save set that belong to a mailbox's export files.
std::vector<std::string> items_of(const fs::path &saveset_dir, const std::string &mailbox) {
    const std::string stem = (mailbox == "PUBLIC_FOLDER" ? "Public" : mailbox) + ".";
    std::vector<std::string> names;
    for (const StoredItem &item : DbhostScene::manifest_items(saveset_dir))
        if (fs::path(item.name).filename().string().starts_with(stem))
            names.push_back(item.name);
    return names;
}

// The key of the first folder record (a C line, seventh field as "cut -d:" counts).
std::string first_folder_key(const fs::path &index) {
    for (const std::string &line : lines_of(read_file(index))) {
        if (!line.starts_with("C:"))
            continue;
        std::vector<std::string> fields;
        std::stringstream in(line);
        for (std::string field; std::getline(in, field, ':');)
            fields.push_back(field);
        if (fields.size() > 6)
            return fields[6];
    }
    return {};
}

class FaultInjection : public ::testing::Test {
protected:
    void SetUp() override { scene.populate(3); }

    // Every mailbox's content, to compare after a restore.
    std::map<std::string, std::string> dumps() const {
        std::map<std::string, std::string> out;
        for (const auto &m : kMailboxes)
            out[m] = scene.content(m);
        return out;
    }
    void lose(const std::string &login) const { scene.lose_mailbox(login); }

    fs::path job_dir() const { return scene.work() / "zarafa" / "nightly"; }
    fs::path saveset(const std::string &name) const { return scene.store() / name; }

    E2eScene scene;
};

// ---- zarafa-backup faults ------------------------------------------------

struct BackupFault {
    std::string fault;
    std::string level;  // of the faulty run: COPY, FULL or INCR (after a clean FULL)
    bool exported;      // whether the victim's export is still usable
    std::string says;   // the start of the message that names the victim
};

const std::string kToolEnded = "Warning: command [zarafa-backup -u " + kVictim + "] ended with ";
const std::string kNotExported = "Error: mailbox " + kVictim + " was not exported: ";

void PrintTo(const BackupFault &f, std::ostream *os) { *os << f.fault << " at " << f.level; }

std::string fault_name(const ::testing::TestParamInfo<BackupFault> &info) {
    std::string name = info.param.fault + "_" + info.param.level;
    std::replace(name.begin(), name.end(), '-', '_');
    return name;
}

class BackupFaults : public FaultInjection, public ::testing::WithParamInterface<BackupFault> {};

TEST_P(BackupFaults, HostSurvivesNamesTheMailboxAndKeepsEarlierBackups) {
    const BackupFault &p = GetParam();
    const bool job = p.level != "COPY";
    const std::vector<std::string> base_level =
        job ? std::vector<std::string>{"--level", "FULL", "--job", "nightly"} : std::vector<std::string>{};
    const HostRun base = scene.backup("base", base_level);
    ASSERT_EQ(base.exit_status(), 0) << base.describe();
    const auto base_store = tree_snapshot(saveset("base"));
    const auto persisted = tree_snapshot(scene.work() / "zarafa");
    const auto before = dumps();
    scene.tool_ok({"zarafa-sim", "add-messages", kVictim, "2", "--seed", "7"});

    std::vector<std::string> level{"--level", p.level};
    if (job)
        level.insert(level.end(), {"--job", "nightly"});
    const HostRun run = scene.backup("faulty", level, p.fault + ":" + kVictim);

    ASSERT_TRUE(run.survived()) << run.describe();
    EXPECT_TRUE(run.problem_mentions({p.says})) << run.describe();
    EXPECT_EQ(run.problem_mentions({"Error: mailbox " + kVictim + " was not exported"}), !p.exported)
        << run.describe();
    // A tool that failed but left usable files: the backup completes, with a warning.
    EXPECT_EQ(run.exit_status(), p.exported ? 3 : 1) << run.describe();
    for (const auto &m : kMailboxes) {
        if (m != kVictim) {
            EXPECT_EQ(items_of(saveset("faulty"), m).size(), 2u) << m << "\n" << run.describe();
        }
    }
    EXPECT_EQ(items_of(saveset("faulty"), kVictim).size(), p.exported ? 2u : 0u) << run.describe();

    // The earlier save set is untouched and still brings the mailbox back.
    EXPECT_EQ(tree_snapshot(saveset("base")), base_store);
    const auto now = tree_snapshot(scene.work() / "zarafa");
    const std::string index = "nightly/" + kVictim + ".index.zbk";
    if (p.level == "INCR" && !p.exported) {
        // A failed increment leaves the victim's index and list file as the
        // clean run wrote them: the base of the next increment.
        for (const std::string &name : {index, kVictim + ".lst"}) {
            ASSERT_TRUE(now.count(name)) << name;
            EXPECT_EQ(now.at(name), persisted.at(name)) << name;
        }
    }
    if (p.level == "FULL" && !p.exported) {
        // A FULL run starts afresh; what its failed export left is no base.
        EXPECT_FALSE(now.count(index)) << now.at(index);
    }
    lose(kVictim);
    const HostRun back = scene.restore("base", {"--mailbox", kVictim});
    EXPECT_EQ(back.exit_status(), 0) << back.describe();
    EXPECT_EQ(scene.content(kVictim), before.at(kVictim));
}

INSTANTIATE_TEST_SUITE_P(
    FaultInjection, BackupFaults,
    ::testing::Values(BackupFault{"backup-exit", "COPY", true, kToolEnded + "exit status 1"},
                      BackupFault{"backup-exit", "INCR", true, kToolEnded + "exit status 1"},
                      BackupFault{"backup-no-files", "COPY", false, "Error: mailbox " + kVictim + " was not exported"},
                      BackupFault{"backup-no-files", "FULL", false, "Error: mailbox " + kVictim + " was not exported"},
                      BackupFault{"backup-no-files", "INCR", false, kNotExported + "its index file"},
                      BackupFault{"backup-data-only", "COPY", false, kNotExported + "its index file"},
                      BackupFault{"backup-data-only", "INCR", false, kNotExported + "its index file"},
                      BackupFault{"backup-truncated-index", "COPY", false, kNotExported + "its index file"},
                      BackupFault{"backup-truncated-index", "FULL", false, kNotExported + "its index file"},
                      BackupFault{"backup-truncated-index", "INCR", false, kNotExported + "its index file"},
                      BackupFault{"backup-half-data", "COPY", false, kToolEnded + "signal 9"},
                      BackupFault{"backup-half-data", "INCR", false, kToolEnded + "signal 9"}),
    fault_name);

// After a failed increment the job goes on: the next increment exports what
// the failed one missed, and the chain of save sets restores the mailbox as
// it is now.
TEST_F(FaultInjection, IncrementAfterAFailedOneStillRestoresEverything) {
    for (const std::string fault : {"backup-truncated-index", "backup-half-data", "backup-data-only"}) {
        SCOPED_TRACE(fault);
        E2eScene fresh;
        fresh.populate(2);
        const std::vector<std::string> incr{"--level", "INCR", "--job", "nightly"};
        ASSERT_EQ(fresh.backup("full", {"--level", "FULL", "--job", "nightly"}).exit_status(), 0);
        fresh.tool_ok({"zarafa-sim", "add-messages", "user0001", "3", "--seed", "3"});
        ASSERT_EQ(fresh.backup("incr1", incr, fault + ":user0001").exit_status(), 1);
        fresh.tool_ok({"zarafa-sim", "add-messages", "user0001", "2", "--seed", "4"});
        const HostRun next = fresh.backup("incr2", incr);
        ASSERT_EQ(next.exit_status(), 0) << next.describe();
        const std::string now = fresh.content("user0001");

        fresh.lose_mailbox("user0001");
        for (const std::string set : {"full", "incr2"}) {
            const HostRun back = fresh.restore(set, {"--mailbox", "user0001"});
            EXPECT_EQ(back.exit_status(), 0) << set << "\n" << back.describe();
        }
        EXPECT_EQ(fresh.content("user0001"), now);
    }
}

// A backup tool that cannot be started at all fails every mailbox by name.
TEST_F(FaultInjection, MissingBackupToolFailsEachMailboxByName) {
    TempDir bin;
    for (const std::string tool : {"zarafa-admin", "zarafa-restore"})
        fs::create_symlink(fs::path(ARK_SIM_BIN_DIR) / "zarafa-sim", bin / tool);
    std::vector<std::string> argv{std::string(ARK_BIN_DIR) + "/dbhost", "backup", "--plugin", ARK_PLUGIN_PATH,
                                  "--store", scene.store().string(), "--saveset", "s", "--work-dir",
                                  scene.work().string()};
    ProcessOptions options;
    options.cwd = scene.dir();
    options.env = scene.env();
    options.env["PATH"] = bin.path().string() + ":/usr/bin:/bin";
    const HostRun run{run_process(argv, options), {}};
    ASSERT_TRUE(run.survived());
    EXPECT_EQ(run.exit_status(), 1) << run.describe();
    for (const auto &m : {"user0001", "user0003"}) {
        EXPECT_TRUE(run.problem_mentions({"Warning: can't run [zarafa-backup -u " + std::string(m) + "]"}))
            << run.describe();
        EXPECT_TRUE(run.problem_mentions({"Error: mailbox " + std::string(m) + " was not exported"}))
            << run.describe();
    }
}

// ---- zarafa-admin faults ---------------------------------------------------

TEST_F(FaultInjection, EmptyListingWarnsThatTheServerListedNoAccounts) {
    const HostRun run = scene.backup("s", {}, "admin-empty");
    ASSERT_TRUE(run.survived());
    EXPECT_TRUE(run.problem_mentions({"Warning: the server listed no accounts"})) << run.describe();
    // Only the public store is left to save, and it is saved.
    EXPECT_EQ(items_of(saveset("s"), "PUBLIC_FOLDER").size(), 2u);
    EXPECT_TRUE(items_of(saveset("s"), "user0001").empty());

    // A mailbox asked for by name is not silently dropped either.
    const HostRun named = scene.backup("n", {"--mailbox", kVictim}, "admin-empty");
    EXPECT_TRUE(named.problem_mentions({"Warning: User \"" + kVictim + "\" was not found on the server"}))
        << named.describe();
}

TEST_F(FaultInjection, GarbageListingRunsNothingAndWritesNowhereElse) {
    const auto server_before = tree_snapshot(scene.server());
    const HostRun run = scene.backup("s", {}, "admin-garbage");
    ASSERT_TRUE(run.survived());
    // Rows that are not accounts become no mailbox that is exported or
    // reported as saved: each name is refused by the export, by name.
    EXPECT_EQ(run.exit_status(), 1) << run.describe();
    EXPECT_TRUE(run.problem_mentions({"Error: mailbox $(touch PWNED) was not exported"})) << run.describe();
    EXPECT_TRUE(run.problem_mentions({"Error: mailbox x;touch PWNED;y was not exported"})) << run.describe();
    EXPECT_TRUE(run.problem_mentions({"Warning: the row \"Fullname no tab here\"", "names no account"}))
        << run.describe();
    EXPECT_TRUE(run.problem_mentions({"was not exported"})) << run.describe();
    EXPECT_TRUE(run.problem_mentions({"user name \"nul\\x00byte\" from the server can't name a mailbox"}))
        << run.describe();
    // Nothing ran: no file named by the shell text appeared anywhere.
    EXPECT_TRUE(paths_containing(scene.dir(), "PWNED").empty());
    EXPECT_EQ(tree_snapshot(scene.server()), server_before);
    // Every file written is below the work directory, the store and the log.
    for (const auto &entry : fs::directory_iterator(scene.dir())) {
        const std::string name = entry.path().filename().string();
        EXPECT_TRUE(name == "server" || name == "work" || name == "store" || name == "dbhost.log") << name;
    }
    for (const auto &entry : fs::directory_iterator(scene.work() / "zarafa")) {
        const std::string name = entry.path().filename().string();
        EXPECT_TRUE(name == "s" || name == "PUBLIC_FOLDER.lst") << name;
    }
}

TEST_F(FaultInjection, BrokenDetailsOnlyLeaveTheReportShort) {
    for (const std::string fault : {"admin-empty", "admin-garbage"}) {
        const HostRun run = scene.backup("d-" + fault, {}, fault + ":" + kVictim);
        ASSERT_TRUE(run.survived());
        EXPECT_EQ(run.exit_status(), 0) << fault << "\n" << run.describe();
        EXPECT_EQ(items_of(saveset("d-" + fault), kVictim).size(), 2u) << fault;
    }
}

// ---- zarafa-restore faults -------------------------------------------------

class RestoreFaults : public FaultInjection {
protected:
    void SetUp() override {
        FaultInjection::SetUp();
        const HostRun base = scene.backup("base", {"--level", "FULL", "--job", "nightly"});
        ASSERT_EQ(base.exit_status(), 0) << base.describe();
        saved = tree_snapshot(saveset("base"));
        before = dumps();
        lose("user0001");
        lose(kVictim);
    }

    // After the restore: the save set is unchanged, user0001 came back
    // whole, and the host reported the failure.
    void expect_failure_reported(const HostRun &run) {
        ASSERT_TRUE(run.survived()) << run.describe();
        EXPECT_EQ(run.exit_status(), 1) << run.describe();
        EXPECT_TRUE(run.problem_mentions({"Error: mailbox " + kVictim + " was not restored"})) << run.describe();
        EXPECT_EQ(tree_snapshot(saveset("base")), saved);
        EXPECT_EQ(scene.content("user0001"), before.at("user0001"));
    }

    std::map<std::string, std::string> saved;
    std::map<std::string, std::string> before;
};

TEST_F(RestoreFaults, FailingFullRestoreIsAnErrorAndTheOthersAreRestored) {
    const HostRun run = scene.restore("base", {}, "restore-fail:" + kVictim);
    expect_failure_reported(run);
    EXPECT_TRUE(run.problem_mentions({"Warning: command [./" + kVictim + ".script.restore-full.sh] ended with exit "
                                      "status 1"}))
        << run.describe();
    EXPECT_EQ(scene.dump(kVictim).find("folder "), std::string::npos) << "the mailbox came back";
    EXPECT_EQ(scene.content("user0003"), before.at("user0003"));
    EXPECT_EQ(scene.content("PUBLIC_FOLDER"), before.at("PUBLIC_FOLDER"));

    // Nothing is lost: the same save set restores it once the server works.
    const HostRun again = scene.restore("base", {"--mailbox", kVictim});
    EXPECT_EQ(again.exit_status(), 0) << again.describe();
    EXPECT_EQ(scene.content(kVictim), before.at(kVictim));
}

TEST_F(RestoreFaults, FolderThatFailsInAFullRestoreFailsItsMailbox) {
    const std::string key = first_folder_key(job_dir() / (kVictim + ".index.zbk"));
    ASSERT_FALSE(key.empty());
    const HostRun run = scene.restore("base", {}, "restore-key:" + key);
    expect_failure_reported(run);
    // The victim's other folder is back: a failing record does not stop the rest.
    const std::string dump = scene.dump(kVictim);
    EXPECT_EQ(dump.find("folder " + key), std::string::npos) << dump;
    EXPECT_NE(dump.find("folder "), std::string::npos) << dump;
}

TEST_F(RestoreFaults, RecordThatFailsInASelectiveRestoreIsWarnedByCommand) {
    const fs::path list = scene.work() / "zarafa" / (kVictim + ".lst");
    const std::vector<std::string> records = lines_of(read_file(list));
    ASSERT_GT(records.size(), 3u);
    const std::string key = records[2].substr(records[2].find(':') + 1);
    const HostRun run = scene.restore("base", {"--list-file", kVictim + "@" + list.string()}, "restore-key:" + key);
    ASSERT_TRUE(run.survived());
    EXPECT_EQ(run.exit_status(), 1) << run.describe();
    EXPECT_TRUE(run.problem_mentions({"Warning: command [zarafa-restore -u " + kVictim + " " + key +
                                      "] ended with exit status 1"}))
        << run.describe();
    EXPECT_TRUE(run.problem_mentions({"Error: mailbox " + kVictim + " was not restored"})) << run.describe();
    EXPECT_EQ(tree_snapshot(saveset("base")), saved);
    // The records after the failing one were restored all the same.
    const std::string dump = scene.dump(kVictim);
    const std::string last = records.back().substr(records.back().find(':') + 1);
    EXPECT_NE(dump.find(last), std::string::npos) << dump;
}

TEST_F(RestoreFaults, NoFaultRestoresEverythingAndSucceeds) {
    // The control case of this group: the same restore without a fault.
    const HostRun run = scene.restore("base");
    EXPECT_EQ(run.exit_status(), 0) << run.describe();
    EXPECT_TRUE(run.problems().empty()) << run.describe();
    EXPECT_EQ(dumps(), before);
}

} // namespace
