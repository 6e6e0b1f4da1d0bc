// A local attacker against a backup that runs as root: an unprivileged
// process (a child that drops to uid 65534) plants links, foreign
// directories, foreign files and FIFOs at each place the backup and the
// restore use, before each kind of run. Whatever it planted, a root-only
// victim outside the tree stays unchanged and unread, no planted program
// runs, nothing the run made can be read by the attacker, and the run either
// succeeds untouched or fails with an "Error:" naming the planted path. Some
// plants are leased files of the attacker's: when the run opens one, the
// attacker swaps a component of its path for a link to the victim before the
// open goes on.
#include "support/e2e_scene.h"

#include <fcntl.h>
#include <grp.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <functional>
#include <memory>

namespace {

using namespace arktest;

constexpr uid_t kAttacker = kAttackerUid;
const std::string kSecret = "VICTIM-SECRET-4b1d";
// The victim's files read as a selective-restore list: a run that took one
// for its list would hand the secret to the tools as a record key.
const std::string kSecretList = "user0001^:" + kSecret + "\n";

// What must not change: content, inode and ctime of every entry.
std::map<std::string, std::string> victim_state(const fs::path &dir) {
    std::map<std::string, std::string> out;
    for (const std::string &name : tree_entries(dir)) {
        struct stat st {};
        ::lstat((dir / name).c_str(), &st);
        out[name] = std::to_string(st.st_ino) + ":" + std::to_string(st.st_ctim.tv_sec) + "." +
                    std::to_string(st.st_ctim.tv_nsec) + ":" +
                    (S_ISREG(st.st_mode) ? read_file(dir / name) : std::string());
    }
    return out;
}

enum class Op { full, incr, copy, restore, no_recovery, selective };
const char *op_name(Op op) {
    const char *names[] = {"Full", "Incr", "Copy", "Restore", "NoRecovery", "Selective"};
    return names[static_cast<int>(op)];
}
bool is_backup(Op op) { return op == Op::full || op == Op::incr || op == Op::copy; }

struct Plant {
    const char *label;
    // Where, relative to the scene: "%W" the shared work directory, "%R"
    // the shared restore area.
    const char *place;
    // What: "link" to the victim's directory, "filelink" to the victim's
    // list, "dir" of the attacker (mode 0777, with links to the victim's
    // secret and a planted script inside), "fifo", "file" (empty), "loose"
    // (root's, mode 0777, earlier version), "owned" (root's earlier
    // directory handed to the attacker), "lease" (a leased file that the
    // attacker swaps for a "filelink" when it is opened), "leasedir" (a
    // directory of the attacker's holding a leased list, swapped for a
    // "link" when the list is opened).
    const char *kind;
    // For the plants of a selective restore's list file: the list the
    // restore is given; nothing for the other plants.
    const char *list = nullptr;
};
void PrintTo(const Plant &p, std::ostream *os) { *os << p.label; }

class AttackerMatrix : public ::testing::TestWithParam<std::tuple<Plant, Op>> {
protected:
    void SetUp() override {
        if (::geteuid() != 0)
            GTEST_SKIP() << "the attacker matrix needs root: it drops a child to uid " << kAttacker;
        fs::permissions(scene.dir(), fs::perms(0755));
        fs::create_directories(victim / "dir");
        write_file(victim / "secret", kSecretList, fs::perms(0600));
        write_file(victim / "dir/kept", "kept", fs::perms(0600));
        write_file(victim / "dir/user0001.lst", kSecretList, fs::perms(0600));
        fs::permissions(victim, fs::perms(0700));
        for (const fs::path &shared : {work, area}) {
            fs::create_directories(shared);
            fs::permissions(shared, fs::perms(01777));
        }
        scene.set_work(work);
        scene.populate(2, 2, 3);
    }

    std::string job_dir_name(Op op) const { return op == Op::copy ? "copyset" : "job"; }

    fs::path place_of(const char *where, Op op) const {
        std::string place = where;
        auto put = [&place](const std::string &key, const std::string &value) {
            for (size_t at; (at = place.find(key)) != std::string::npos;)
                place.replace(at, key.size(), value);
        };
        put("%W", work.string());
        put("%R", area.string());
        put("%J", job_dir_name(op));
        return place;
    }

    // Makes the plant at path: root prepares what an earlier version left,
    // the attacker the rest.
    void plant(const Plant &p, const fs::path &path) {
        const std::string kind = p.kind;
        if (kind == "loose" || kind == "owned") {
            fs::create_directories(path);
            for (fs::path up = path.parent_path(); up != work && up != area; up = up.parent_path())
                fs::permissions(up, fs::perms(0755));
            fs::permissions(path, fs::perms(kind == "loose" ? 0777 : 0755));
            if (kind == "owned") {
                ASSERT_EQ(::chown(path.c_str(), kAttacker, kAttacker), 0);
            }
        }
        const fs::path secret = victim / "secret", victim_dir = victim / "dir", marker = scene.dir() / "PWNED";
        const fs::path victim_list = victim_dir / "user0001.lst";
        if (kind == "lease" || kind == "leasedir") {
            const fs::path file = kind == "lease" ? path : path / "user0001.lst";
            if (kind == "leasedir") {
                ASSERT_TRUE(as_attacker([&] { return ::mkdir(path.c_str(), 0755) == 0; }));
            }
            // The swap puts a link where the file (or its directory) was.
            const fs::path swapped = path;
            const fs::path target = kind == "lease" ? victim_list : victim_dir;
            lease = std::make_unique<LeasedSwap>(file, "", [swapped, target] {
                const fs::path away = swapped.string() + ".away";
                return ::rename(swapped.c_str(), away.c_str()) == 0 &&
                       ::symlink(target.c_str(), swapped.c_str()) == 0;
            });
            ASSERT_TRUE(lease->ready()) << lease->error();
            return;
        }
        ASSERT_TRUE(as_attacker([&] {
            if (kind == "link")
                return ::symlink(victim_dir.c_str(), path.c_str()) == 0;
            if (kind == "filelink")
                return ::symlink(victim_list.c_str(), path.c_str()) == 0;
            if (kind == "fifo")
                return ::mkfifo(path.c_str(), 0666) == 0;
            if (kind == "file")
                return ::close(::open(path.c_str(), O_CREAT | O_WRONLY, 0666)) == 0;
            if (kind == "dir" && (::mkdir(path.c_str(), 0777) != 0 || ::chmod(path.c_str(), 0777) != 0))
                return false;
            // Inside the attacker's reach: links to the victim under the
            // names the run uses, and a script that would leave a marker.
            const std::string script = "#!/bin/sh\ntouch " + marker.string() + "\n";
            for (const char *name : {"user0001.notes", "user0001.data.zbk", "user0001.lst", ".user0001.lst.tmp", "job", "copyset"})
                ::symlink(secret.c_str(), (path / name).c_str());
            const int fd = ::open((path / "user0001.script.restore-full.sh").c_str(), O_CREAT | O_WRONLY, 0777);
            return fd >= 0 && ::write(fd, script.data(), script.size()) == static_cast<ssize_t>(script.size()) &&
                   ::close(fd) == 0;
        })) << p.label;
    }

    HostRun run(Op op) {
        const std::vector<std::string> job = {"--level", "FULL", "--job", "job"};
        switch (op) {
        case Op::full:
            return scene.backup("full", job);
        case Op::incr:
            return scene.backup("incr", {"--level", "INCR", "--job", "job"});
        case Op::copy:
            return scene.backup("copyset", {"--level", "COPY"});
        case Op::restore:
            return scene.restore("base");
        case Op::no_recovery:
            return scene.restore("base", {"--no-recovery"});
        case Op::selective:
            return scene.restore("base", {"--list-file", "user0001@" + list.string()});
        }
        return {};
    }

    // Files and directories that the run made below dir and that the
    // attacker can read or list (what the test itself planted aside).
    std::vector<std::string> readable_by_attacker(const fs::path &dir, const fs::path &planted) {
        std::vector<std::string> made;
        for (const std::string &name : tree_entries(dir)) {
            struct stat st {};
            const fs::path path = dir / name;
            if (planted == path || std::string(planted.string() + "/").starts_with(path.string() + "/"))
                continue;
            if (::lstat(path.c_str(), &st) == 0 && st.st_uid == 0 && !S_ISLNK(st.st_mode))
                made.push_back((dir / name).string());
        }
        std::vector<std::string> readable;
        for (const std::string &path : made) {
            if (as_attacker([&] {
                    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK);
                    return fd >= 0 && ::close(fd) == 0;
                }))
                readable.push_back(path);
        }
        return readable;
    }

    E2eScene scene;
    fs::path victim = scene.dir() / "victim";
    fs::path work = scene.dir() / "shared-work";
    fs::path area = scene.dir() / "shared-restore";
    fs::path base_work = scene.dir() / "base-work";
    // The selective restore's list: the one its base backup wrote, or a plant.
    fs::path list = base_work / "zarafa/user0001.lst";
    std::unique_ptr<LeasedSwap> lease;
};

TEST_P(AttackerMatrix, TheVictimStaysUntouchedAndUnreadAndNothingPlantedRuns) {
    const auto &[p, op] = GetParam();
    const bool restore_place = std::string(p.place).starts_with("%R");
    if (restore_place == is_backup(op) || (p.list && op != Op::selective))
        GTEST_SKIP() << "the plant is at a place this operation does not use";
    // The restores restore a save set made before the attack, in a tree of
    // root's own; the backups run in the shared work directory.
    if (!is_backup(op)) {
        scene.set_work(base_work);
        const HostRun base = scene.backup("base", {"--level", "FULL", "--job", "job"});
        ASSERT_EQ(base.exit_status(), 0) << base.describe();
        scene.set_into(area / "restored" / "into");
    }
    const fs::path at = place_of(p.place, op);
    if (p.list)
        list = place_of(p.list, op);
    fs::create_directories(at.parent_path());
    plant(p, at);
    const auto victim_before = victim_state(victim);

    const HostRun r = run(op);
    if (lease)
        RecordProperty("swapped", lease->swapped() ? "yes" : "no");

    EXPECT_EQ(victim_state(victim), victim_before);
    EXPECT_FALSE(fs::exists(scene.dir() / "PWNED")) << "a planted program ran";
    for (const fs::path &dir : {scene.store(), work, area, base_work})
        for (const std::string &name : tree_entries(dir))
            if (fs::is_regular_file(fs::symlink_status(dir / name))) {
                EXPECT_EQ(read_file(dir / name).find(kSecret), std::string::npos) << name << " holds the secret";
            }
    EXPECT_EQ(r.process.out.find(kSecret), std::string::npos);
    EXPECT_EQ(r.process.err.find(kSecret), std::string::npos);
    EXPECT_EQ(readable_by_attacker(work, at), std::vector<std::string>{});
    EXPECT_EQ(readable_by_attacker(scene.store(), at), std::vector<std::string>{});
    if (r.problem_mentions({"Error:"})) {
        // A refusal names the path the attacker planted (or one above it).
        bool named = false;
        for (fs::path up = at; !named && up != scene.dir(); up = up.parent_path())
            named = r.problem_mentions({"Error", up.string()});
        EXPECT_TRUE(named) << "no \"Error:\" names " << at << "\n" << r.describe();
    }
}

const Plant kPlants[] = {
    {"WorkTreeLink", "%W/zarafa", "link"},
    {"WorkTreeForeignDir", "%W/zarafa", "dir"},
    {"WorkTreeFifo", "%W/zarafa", "fifo"},
    {"WorkTreeForeignFile", "%W/zarafa", "file"},
    {"WorkTreeLooseEarlier", "%W/zarafa", "loose"},
    {"ExportDirOfTheAttacker", "%W/zarafa/%J", "owned"},
    {"ExportDirLooseEarlier", "%W/zarafa/%J", "loose"},
    {"RestoreTargetLink", "%R/restored", "link"},
    {"RestoreTargetForeignDir", "%R/restored", "dir"},
    {"RestoreTargetFifo", "%R/restored", "fifo"},
    {"RestoreTargetForeignFile", "%R/restored", "file"},
    {"RestoreTargetOwnedEarlier", "%R/restored", "owned"},
    {"RestoreTargetLooseEarlier", "%R/restored", "loose"},
    {"ListFileLink", "%R/user0001.lst", "filelink", "%R/user0001.lst"},
    {"ListFileFifo", "%R/user0001.lst", "fifo", "%R/user0001.lst"},
    {"ListFileForeignFile", "%R/user0001.lst", "file", "%R/user0001.lst"},
    {"ListFileInForeignDir", "%R/lists", "dir", "%R/lists/user0001.lst"},
    {"ListFileInDirOfTheAttacker", "%R/lists", "owned", "%R/lists/user0001.lst"},
    {"ListFileSwappedWhileOpened", "%R/user0001.lst", "lease", "%R/user0001.lst"},
    {"ListFileDirSwappedWhileOpened", "%R/lists", "leasedir", "%R/lists/user0001.lst"},
};

INSTANTIATE_TEST_SUITE_P(Plants, AttackerMatrix,
                         ::testing::Combine(::testing::ValuesIn(kPlants),
                                            ::testing::Values(Op::full, Op::incr, Op::copy, Op::restore,
                                                              Op::no_recovery, Op::selective)),
                         [](const auto &info) {
                             return std::string(std::get<0>(info.param).label) + op_name(std::get<1>(info.param));
                         });

} // namespace
