// Scale benchmark: a FULL backup, an INCR backup and a full restore of N
// mailboxes through the backup host stand-in, against a server whose tools
// do almost nothing, next to a baseline that runs the same tool commands
// from a plain loop, in two places: a directory on /dev/shm, where a sync
// costs nothing, and one on a disk (below /var/tmp unless --dir names one).
// Every figure is measured in several rounds; within a round each host run
// is paired with its baseline run, the pairs take turns at going first, and
// so do the two places, so that a change of the machine's load falls on
// both. Prints, for every N and place, the median and the spread (lowest and
// highest round) of the wall time of both, of their ratio per round, of the
// host's own CPU time per mailbox (its children excluded) and the number of
// plug-in messages. A separate round, never timed, runs the three under
// strace in the first place and counts the syncs (fsync, fdatasync, syncfs,
// sync, sync_file_range) per mailbox that the host process made on the
// plug-in's work directory and elsewhere (the host's store and restore
// target). Then the targets, from the medians.
//
// usage: scale --dbhost BIN --plugin SO --tool BIN --self-cpu SO
//              [--sizes 1000,5000] [--rounds 3] [--dir DISK] [--shm DIR]
//              [--places shm,disk] [--sync-counts yes|no]
#include <stdlib.h>
#include <sys/vfs.h>

#include <cstdio>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "../common/figures.h"
#include "../common/scene.h"
#include "support/sync_trace.h"

namespace {

using bench::Figure;
namespace fs = std::filesystem;

struct Place {
    std::string name; // "shm" or "disk"
    fs::path base;
};

struct Options {
    bench::Programs programs;
    fs::path shm, disk;
    std::vector<std::string> places{"shm", "disk"};
    std::vector<long> sizes{1000, 5000};
    int rounds = 3;
    bool sync_counts = true;
};

// The figures of one kind of run at one size in one place.
struct Figures {
    Figure host, baseline, ratio, cpu_ms, messages;
};

// Syncs per mailbox of one traced run.
struct Syncs {
    double plugin = 0, host = 0;
};

const std::vector<std::string> kKinds{"FULL", "INCR", "restore"};

std::vector<std::string> split(const std::string &value) {
    std::vector<std::string> parts;
    std::stringstream list(value);
    for (std::string part; std::getline(list, part, ',');)
        parts.push_back(part);
    return parts;
}

Options parse(int argc, char **argv) {
    Options o;
    o.shm = fs::exists("/dev/shm") ? fs::path("/dev/shm") : fs::temp_directory_path();
    o.disk = "/var/tmp";
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (i + 1 >= argc)
            bench::fail("option " + arg + " needs a value");
        const std::string value = argv[++i];
        if (arg == "--dbhost")
            o.programs.dbhost = fs::absolute(value);
        else if (arg == "--plugin")
            o.programs.plugin = fs::absolute(value);
        else if (arg == "--tool")
            o.programs.tool = fs::absolute(value);
        else if (arg == "--self-cpu")
            o.programs.self_cpu = fs::absolute(value);
        else if (arg == "--dir")
            o.disk = fs::absolute(value);
        else if (arg == "--shm")
            o.shm = fs::absolute(value);
        else if (arg == "--places")
            o.places = split(value);
        else if (arg == "--rounds")
            o.rounds = std::stoi(value);
        else if (arg == "--sync-counts")
            o.sync_counts = value != "no";
        else if (arg == "--sizes") {
            o.sizes.clear();
            for (const std::string &n : split(value))
                o.sizes.push_back(std::stol(n));
        } else
            bench::fail("unknown option " + arg);
    }
    const bench::Programs &p = o.programs;
    bool places_ok = !o.places.empty();
    for (const std::string &place : o.places)
        places_ok = places_ok && (place == "shm" || place == "disk");
    if (p.dbhost.empty() || p.plugin.empty() || p.tool.empty() || p.self_cpu.empty() || o.sizes.empty() ||
        o.rounds < 1 || !places_ok)
        bench::fail("usage: scale --dbhost BIN --plugin SO --tool BIN --self-cpu SO [--sizes N,N] [--rounds R] "
                    "[--dir DISK] [--shm DIR] [--places shm,disk] [--sync-counts yes|no]");
    return o;
}

// A disk directory on a file system held in memory measures nothing new.
void warn_if_in_memory(const Place &place) {
    struct statfs st {};
    fs::create_directories(place.base);
    constexpr long tmpfs_magic = 0x01021994, ramfs_magic = 0x858458f6;
    if (place.name == "disk" && statfs(place.base.c_str(), &st) == 0 &&
        (static_cast<long>(st.f_type) == tmpfs_magic || static_cast<long>(st.f_type) == ramfs_magic))
        std::fprintf(stderr, "scale: warning: the disk directory %s is held in memory; choose one with --dir\n",
                     place.base.c_str());
}

// A new directory of this run below base: others may run the benchmark on
// the same machine at the same time.
fs::path own_directory(const fs::path &base, long n) {
    std::string name = (base / ("scale-" + std::to_string(n) + "-XXXXXX")).string();
    if (!mkdtemp(name.data()))
        bench::fail("can't make a directory below " + base.string());
    return name;
}

std::vector<std::string> backup_args(bench::Scene &scene, const fs::path &store, const fs::path &work,
                                     const std::string &saveset, const std::string &level) {
    auto a = scene.common("backup", store, work);
    a.insert(a.end(), {"--saveset", saveset, "--level", level, "--job", "scale"});
    return a;
}

std::vector<std::string> restore_args(bench::Scene &scene, const fs::path &store, const fs::path &work) {
    auto a = scene.common("restore", store, work);
    a.insert(a.end(), {"--saveset", "full", "--into", (scene.dir() / "restored").string()});
    return a;
}

void clear(bench::Scene &scene) {
    for (const char *dir : {"store", "work", "restored"})
        fs::remove_all(scene.dir() / dir);
}

// One round at one size: each host run next to its baseline, the host first
// when host_first.
void one_round(bench::Scene &scene, bool host_first, std::map<std::string, Figures> &figures) {
    const fs::path store = scene.dir() / "store", work = scene.dir() / "work", exported = scene.dir() / "baseline";
    clear(scene);
    const double mailboxes = static_cast<double>(scene.count());

    auto pair = [&](const std::string &kind, const std::vector<std::string> &args, auto baseline) {
        bench::HostRun host;
        double base = 0;
        if (host_first) {
            host = scene.host(kind, args);
            base = baseline();
        } else {
            base = baseline();
            host = scene.host(kind, args);
        }
        Figures &f = figures[kind];
        f.host.add(host.wall);
        f.baseline.add(base);
        f.ratio.add(host.wall / base);
        f.cpu_ms.add(1e3 * host.self_cpu / mailboxes);
        f.messages.add(static_cast<double>(host.messages) / mailboxes);
    };
    auto baseline_backup = [&] { return scene.setup().wall + scene.exports(exported).wall; };
    pair("FULL", backup_args(scene, store, work, "full", "FULL"), baseline_backup);
    pair("INCR", backup_args(scene, store, work, "incr", "INCR"), baseline_backup);

    // The scripts are written by the plug-in's own generator before the
    // clock starts; the loop then runs them as the restore does.
    const std::vector<std::string> scripts = scene.restore_scripts(exported);
    pair("restore", restore_args(scene, store, work),
         [&] { return scene.setup().wall + scene.imports(exported, scripts).wall; });
}

// The same three runs under strace, untimed: the syncs per mailbox of the
// plug-in (on descriptors below the work directory) and of the host (the
// host process's others).
std::map<std::string, Syncs> traced_round(bench::Scene &scene) {
    const fs::path store = scene.dir() / "store", work = scene.dir() / "work";
    clear(scene);
    std::map<std::string, Syncs> syncs;
    const double mailboxes = static_cast<double>(scene.count());
    auto traced = [&](const std::string &kind, const std::vector<std::string> &args) {
        const fs::path trace = scene.dir() / (kind + ".trace");
        scene.host(kind + "-traced", args,
                   {"strace", "-f", "-y", "-qq", "-e", "trace=fsync,fdatasync,syncfs,sync,sync_file_range", "-o",
                    trace.string(), "--"});
        const arktest::SyncCounts counts =
            arktest::count_syncs(arktest::SyncTrace::read(trace), work, scene.dir() / "no-such-store");
        syncs[kind] = {static_cast<double>(counts.plugin) / mailboxes,
                       static_cast<double>(counts.host + counts.other) / mailboxes};
        fs::remove(trace);
    };
    traced("FULL", backup_args(scene, store, work, "full", "FULL"));
    traced("INCR", backup_args(scene, store, work, "incr", "INCR"));
    traced("restore", restore_args(scene, store, work));
    return syncs;
}

} // namespace

int main(int argc, char **argv) {
    const Options options = parse(argc, argv);
    std::vector<Place> places;
    for (const std::string &name : options.places)
        places.push_back({name, name == "shm" ? options.shm : options.disk});
    for (const Place &place : places)
        warn_if_in_memory(place);

    // By place, size and kind.
    std::map<std::string, std::map<long, std::map<std::string, Figures>>> results;
    std::map<std::string, std::map<long, std::map<std::string, Syncs>>> syncs;
    for (const long n : options.sizes) {
        std::vector<std::unique_ptr<bench::Scene>> scenes;
        for (const Place &place : places)
            scenes.push_back(std::make_unique<bench::Scene>(options.programs, own_directory(place.base, n), n));
        for (int round = 1; round <= options.rounds; ++round)
            for (size_t k = 0; k < places.size(); ++k) {
                // The places take turns at going first, as the pairs do.
                const size_t i = round % 2 == 1 ? k : places.size() - 1 - k;
                std::fprintf(stderr, "scale: %ld accounts on %s, round %d of %d ...\n", n, places[i].name.c_str(),
                             round, options.rounds);
                one_round(*scenes[i], round % 2 == 1, results[places[i].name][n]);
            }
        // The counts do not depend on the place; they are taken on the first.
        if (options.sync_counts) {
            std::fprintf(stderr, "scale: %ld accounts on %s, counting syncs ...\n", n, places[0].name.c_str());
            const auto counts = traced_round(*scenes[0]);
            for (const Place &place : places)
                syncs[place.name][n] = counts;
        }
    }

    std::printf("%8s %-8s %-5s %-22s %-22s %-22s %-25s %-8s %s\n", "accounts", "run", "place", "host (s)",
                "baseline (s)", "host / baseline", "host CPU/mailbox (ms)", "msgs/mb", "syncs/mailbox plug-in host");
    for (const long n : options.sizes)
        for (const auto &kind : kKinds)
            for (const Place &place : places) {
                const Figures &f = results[place.name][n][kind];
                std::string counts = "-";
                if (options.sync_counts) {
                    const Syncs &s = syncs[place.name][n][kind];
                    counts = bench::fixed(s.plugin, 3) + " " + bench::fixed(s.host, 3);
                }
                std::printf("%8ld %-8s %-5s %-22s %-22s %-22s %-25s %-8.1f %s\n", n, kind.c_str(),
                            place.name.c_str(), f.host.text(2).c_str(), f.baseline.text(2).c_str(),
                            f.ratio.text(3).c_str(), f.cpu_ms.text(4).c_str(), f.messages.median(), counts.c_str());
            }
    std::printf("(median and, in brackets, the lowest and highest of %d rounds; host / baseline per round; syncs "
                "from one untimed round under strace)\n",
                options.rounds);

    bool met = true;
    auto target = [&](bool ok, const std::string &text) {
        met = met && ok;
        std::printf("%s  %s\n", text.c_str(), ok ? "met" : "MISSED");
    };
    const long small = options.sizes.front(), large = options.sizes.back();
    std::printf("\n");
    for (const Place &place : places)
        for (const auto &kind : kKinds) {
            const Figures &a = results[place.name][small][kind], &b = results[place.name][large][kind];
            const double cpu_ratio = b.cpu_ms.median() / a.cpu_ms.median();
            target(cpu_ratio <= 1.5, kind + " on " + place.name + ": CPU per mailbox at " + std::to_string(large) +
                                         " / at " + std::to_string(small) + ": " + bench::fixed(cpu_ratio, 2) +
                                         " (at most 1.5)");
            // The backups are held to the cost of their syncs; the restore,
            // which stores nothing, to the earlier bound.
            const double bound = kind == "restore" ? 1.2 : place.name == "disk" ? 1.5 : 1.15;
            for (const long n : options.sizes) {
                const double ratio = results[place.name][n][kind].ratio.median();
                target(ratio <= bound, kind + " on " + place.name + ": host / baseline at " + std::to_string(n) +
                                           ": " + bench::fixed(ratio, 3) + " (at most " + bench::fixed(bound, 2) +
                                           ")");
            }
        }
    if (options.sync_counts)
        for (const long n : options.sizes)
            for (const char *kind : {"FULL", "INCR"}) {
                const Syncs &s = syncs[places[0].name][n][kind];
                target(s.plugin <= 1.0 / 8, std::string(kind) + " at " + std::to_string(n) +
                                                ": plug-in syncs per mailbox " + bench::fixed(s.plugin, 3) +
                                                " (at most 0.125)");
                target(s.host <= 1.0, std::string(kind) + " at " + std::to_string(n) + ": host syncs per mailbox " +
                                          bench::fixed(s.host, 3) + " (at most 1)");
            }
    return met ? 0 : 1;
}
