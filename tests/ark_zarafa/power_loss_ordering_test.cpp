// Power loss, which a killed process does not show (its writes survive in
// the page cache): backups through dbhost run under strace, and the trace
// is read into what a power loss could take back. For every export the
// plug-in's journal record must be durable before the tool starts, and
// when its baseline moves, the items it describes must be durable in the
// store (tests/support/sync_trace.h has the rules). The same traces, with
// the host's or the plug-in's syncs moved after the calls that rely on
// them, or every sync that makes names durable left out, must fail the
// check; and the model itself is held to a table of small traces.
#include <gtest/gtest.h>

#include <memory>
#include <regex>
#include <sstream>

#include "support/e2e_scene.h"
#include "support/sync_trace.h"

namespace {

using arktest::E2eScene;
using arktest::SyncTrace;
namespace fs = std::filesystem;

// --- The model, on traces written by hand -------------------------------

struct ModelCase {
    const char *label;
    const char *trace;
    bool content; // a file's content, else a name
    const char *path;
    SyncTrace::Time at;
    bool durable;
};

void PrintTo(const ModelCase &c, std::ostream *os) { *os << c.label; }

constexpr const char *kWritten = "100 openat(AT_FDCWD</x/d>, \"f\", O_WRONLY|O_CREAT|O_EXCL, 0600) = 3</x/d/f>\n"
                                 "100 write(3</x/d/f>, \"abc\", 3) = 3\n";

const std::string kSynced = std::string(kWritten) + "100 fsync(3</x/d/f>) = 0\n";
const std::string kRangeOnly = std::string(kWritten) + "100 sync_file_range(3</x/d/f>, 0, 0, 0) = 0\n";
const std::string kSyncedEarly = "100 openat(AT_FDCWD</x/d>, \"f\", O_WRONLY|O_CREAT|O_EXCL, 0600) = 3</x/d/f>\n"
                                 "100 write(3</x/d/f>, \"abc\", 3 <unfinished ...>\n"
                                 "101 fsync(3</x/d/f>) = 0\n"
                                 "100 <... write resumed>) = 3\n";
const std::string kRewritten = kSynced + "100 pwrite64(3</x/d/f>, \"z\", 1, 0) = 1\n";
const std::string kDirSynced = kSynced + "100 openat(AT_FDCWD</x>, \"d\", O_RDONLY|O_DIRECTORY) = 4</x/d>\n"
                                         "100 fsync(4</x/d>) = 0\n";
const std::string kRenamed = kSynced + "100 rename(\"/x/d/f\", \"/x/d/g\") = 0\n";
const std::string kRenamedDirSynced = kRenamed + "100 fdatasync(5</x/d>) = 0\n";
const std::string kSyncfs = std::string(kWritten) + "100 rename(\"/x/d/f\", \"/x/d/g\") = 0\n"
                                                    "100 syncfs(4</x>) = 0\n";
const std::string kRemoved = kDirSynced + "100 unlinkat(4</x/d>, \"f\", 0) = 0\n";
const std::string kRemovedSynced = kRemoved + "100 fsync(4</x/d>) = 0\n";
const std::string kTruncated = kSynced + "100 openat(AT_FDCWD</x/d>, \"f\", O_WRONLY|O_TRUNC) = 6</x/d/f>\n";
const std::string kFailedSync = std::string(kWritten) + "100 fsync(3</x/d/f>) = -1 EIO (Input/output error)\n";

const ModelCase kModelCases[] = {
    {"content after its fsync", kSynced.c_str(), true, "/x/d/f", 4, true},
    {"content before its fsync", kSynced.c_str(), true, "/x/d/f", 3, false},
    {"content after a failed fsync", kFailedSync.c_str(), true, "/x/d/f", 4, false},
    {"content after sync_file_range", kRangeOnly.c_str(), true, "/x/d/f", 4, false},
    {"content with an fsync begun before the write ended", kSyncedEarly.c_str(), true, "/x/d/f", 5, false},
    {"content written again after its fsync", kRewritten.c_str(), true, "/x/d/f", 5, false},
    {"content truncated after its fsync", kTruncated.c_str(), true, "/x/d/f", 5, false},
    {"content synced, then renamed", kRenamed.c_str(), true, "/x/d/g", 5, true},
    {"content after a syncfs", kSyncfs.c_str(), true, "/x/d/g", 5, true},
    {"a new name with only the file synced", kSynced.c_str(), false, "/x/d/f", 4, false},
    {"a new name after its directory's fsync", kDirSynced.c_str(), false, "/x/d/f", 6, true},
    {"a new name synced before it was made", kDirSynced.c_str(), false, "/x/d/f", 1, true},
    {"a renamed name without its directory's sync", kRenamed.c_str(), false, "/x/d/g", 5, false},
    {"a renamed name after its directory's fdatasync", kRenamedDirSynced.c_str(), false, "/x/d/g", 6, true},
    {"a renamed name after a syncfs", kSyncfs.c_str(), false, "/x/d/g", 5, true},
    {"the old name of a rename", kSyncfs.c_str(), false, "/x/d/f", 5, true},
    {"a removal without its directory's sync", kRemoved.c_str(), false, "/x/d/f", 7, false},
    {"a removal after its directory's sync", kRemovedSynced.c_str(), false, "/x/d/f", 8, true},
};

class SyncTraceModel : public testing::TestWithParam<ModelCase> {};

TEST_P(SyncTraceModel, SaysWhatAPowerLossKeeps) {
    const ModelCase &c = GetParam();
    const SyncTrace trace = SyncTrace::parse(c.trace);
    bool durable = false;
    if (c.content) {
        const int file = trace.file_at(c.path, c.at);
        ASSERT_GE(file, 0) << "no file at " << c.path;
        durable = trace.content_durable(file, c.at);
    } else {
        durable = trace.name_durable(c.path, c.at);
    }
    EXPECT_EQ(durable, c.durable);
}

INSTANTIATE_TEST_SUITE_P(Traces, SyncTraceModel, testing::ValuesIn(kModelCases));

// The benchmark's counts: the host process's syncs by where, its threads
// included, a tool's apart, every kind of sync alike.
TEST(SyncTraceCounts, SplitPluginHostAndTools) {
    const SyncTrace trace = SyncTrace::parse(
        "100 execve(\"/bin/dbhost\", [\"dbhost\"], 0x1 /* 1 var */) = 0\n"
        "100 clone3({flags=CLONE_VM|CLONE_THREAD|CLONE_SIGHAND, exit_signal=0}, 88) = 101\n"
        "100 clone(child_stack=NULL, flags=CLONE_CHILD_SETTID|SIGCHLD <unfinished ...>\n"
        "102 execve(\"/bin/tool\", [\"tool\"], 0x1 /* 1 var */) = 0\n"
        "100 <... clone resumed>, child_tidptr=0x7f) = 102\n"
        "100 fsync(3</w/zarafa/j/.journal>) = 0\n"
        "101 fdatasync(4</w/zarafa/j>) = 0\n"
        "101 syncfs(5</s/set/manifest>) = 0\n"
        "100 sync_file_range(6</s/set/data/x>, 0, 0, 2) = 0\n"
        "100 fsync(7</var/log/x>) = 0\n"
        "102 fsync(3</w/zarafa/j/u.index.zbk>) = 0\n"
        "100 fsync(8</w/zarafa/j/f>) = -1 EIO (Input/output error)\n");
    const arktest::SyncCounts counts = arktest::count_syncs(trace, "/w", "/s");
    EXPECT_EQ(counts.plugin, 2);
    EXPECT_EQ(counts.host, 2);
    EXPECT_EQ(counts.other, 1);
    EXPECT_EQ(counts.tools, 1);
}

// --- Backups through dbhost ----------------------------------------------

// A FULL and an INCR with new mail, of three users and the public store,
// each recorded under strace.
struct Recorded {
    std::unique_ptr<E2eScene> scene = std::make_unique<E2eScene>();
    std::map<std::string, std::string> traces; // by level
};

const Recorded &recorded(int workers) {
    static std::map<int, Recorded> done;
    if (done.count(workers))
        return done.at(workers);
    Recorded &r = done[workers];
    E2eScene &scene = *r.scene;
    scene.populate(3, 2, 3, 31 + workers);
    for (const std::string level : {"FULL", "INCR"}) {
        if (level == "INCR") {
            scene.tool_ok({"zarafa-sim", "add-messages", "user0001", "2", "--seed", "5"});
            scene.tool_ok({"zarafa-sim", "add-messages", "-p", "1", "--seed", "5"});
        }
        const fs::path file = scene.dir() / (level + ".trace");
        std::vector<std::string> strace{"strace"};
        strace.insert(strace.end(), arktest::kStraceOptions.begin(), arktest::kStraceOptions.end());
        strace.insert(strace.end(), {"-o", file.string(), "--"});
        const arktest::HostRun run = scene.dbhost_under(
            strace, scene.backup_args(level, {"--level", level, "--job", "nightly", "--workers",
                                              std::to_string(workers)}));
        if (run.exit_status() != 0)
            throw std::runtime_error("the traced " + level + " backup failed: " + run.describe());
        r.traces[level] = arktest::read_file(file);
    }
    return r;
}

enum class Mutation { none, store_syncs_late, plugin_syncs_late, name_syncs_dropped };

struct BackupCase {
    int workers;
    const char *level;
    Mutation mutation;
    const char *expected; // matches a violation, for a mutation
};

void PrintTo(const BackupCase &c, std::ostream *os) {
    static const char *names[] = {"as recorded", "the store's syncs moved to the end",
                                  "the plug-in's syncs moved to the end",
                                  "the directories' syncs and every syncfs left out"};
    *os << c.level << " -w " << c.workers << ", " << names[static_cast<int>(c.mutation)];
}

// The trace with the syncs that match (by call and descriptor path) moved to
// its end or left out; a sync strace split in two moves whole. Sets changed
// when one matched.
std::string mutated(const std::string &text,
                    const std::function<bool(const std::string &, const fs::path &)> &matches, bool drop,
                    bool &changed) {
    static const std::regex sync(R"(^(\d+) +(fsync|fdatasync|syncfs)\(\d+<([^>]*)>)");
    std::vector<std::string> lines, moved;
    std::map<std::string, std::string> split; // pid -> call name, of a sync whose rest is to follow
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        std::smatch m;
        const std::string pid = line.substr(0, line.find(' '));
        bool take = false;
        if (std::regex_search(line, m, sync) && matches(m[2].str(), m[3].str())) {
            take = true;
            if (line.ends_with("<unfinished ...>"))
                split[pid] = m[2].str();
        } else if (split.count(pid) && line.find("<... " + split[pid] + " resumed>") != std::string::npos) {
            take = true;
            split.erase(pid);
        }
        changed = changed || take;
        (take ? moved : lines).push_back(line);
    }
    std::string out;
    for (const auto &line : lines)
        out += line + "\n";
    if (!drop)
        for (const auto &line : moved)
            out += line + "\n";
    return out;
}

bool below(const fs::path &path, const fs::path &dir) {
    const std::string p = path.string(), d = fs::weakly_canonical(dir).string();
    return p.size() > d.size() && p.compare(0, d.size(), d) == 0 && p[d.size()] == '/';
}

class PowerLossOrdering : public testing::TestWithParam<BackupCase> {};

TEST_P(PowerLossOrdering, BaselinesMoveOnlyOverDurableItems) {
    const BackupCase &c = GetParam();
    const Recorded &r = recorded(c.workers);
    const E2eScene &scene = *r.scene;
    std::string text = r.traces.at(c.level);
    bool changed = false;
    const fs::path work = scene.work(), store = scene.store();
    switch (c.mutation) {
    case Mutation::none:
        break;
    case Mutation::store_syncs_late:
        // A syncfs of the work tree's file system covers the store too when
        // both are on one: it moves as well.
        text = mutated(
            text,
            [&](const std::string &call, const fs::path &p) {
                return call == "syncfs" || p == fs::weakly_canonical(store) || below(p, store);
            },
            false, changed);
        break;
    case Mutation::plugin_syncs_late:
        text = mutated(
            text, [&](const std::string &, const fs::path &p) { return p == fs::weakly_canonical(work) || below(p, work); },
            false, changed);
        break;
    case Mutation::name_syncs_dropped:
        // The journal records and the stored items are new names of this run.
        text = mutated(
            text, [](const std::string &call, const fs::path &p) { return call == "syncfs" || fs::is_directory(p); },
            true, changed);
        break;
    }
    const arktest::OrderingReport report =
        arktest::check_power_loss_ordering(SyncTrace::parse(text), work, store);
    // Three users and the public store, each exported and committed once.
    EXPECT_EQ(report.exports, 4) << report.describe();
    if (c.mutation == Mutation::none) {
        EXPECT_EQ(report.commits, 4) << report.describe();
        EXPECT_TRUE(report.violations.empty()) << report.describe();
        return;
    }
    ASSERT_TRUE(changed) << "the mutation found no sync to move";
    bool found = false;
    for (const std::string &v : report.violations)
        found = found || std::regex_search(v, std::regex(c.expected));
    EXPECT_TRUE(found) << "expected a violation with \"" << c.expected << "\"; " << report.describe();
}

std::vector<BackupCase> backup_cases() {
    std::vector<BackupCase> cases;
    for (int workers : {1, 4})
        for (const char *level : {"FULL", "INCR"}) {
            cases.push_back({workers, level, Mutation::none, ""});
            cases.push_back({workers, level, Mutation::store_syncs_late, "^[^:]*: the stored .* was not synced"});
            cases.push_back({workers, level, Mutation::plugin_syncs_late,
                             "its journal record .* was not synced before the tool started"});
            cases.push_back({workers, level, Mutation::name_syncs_dropped,
                             "the name of its journal record .* was not durable when the tool started"});
        }
    return cases;
}

INSTANTIATE_TEST_SUITE_P(Backups, PowerLossOrdering, testing::ValuesIn(backup_cases()));

} // namespace
