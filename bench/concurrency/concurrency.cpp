// Concurrency benchmark: a FULL backup and a full restore of N mailboxes
// through the backup host stand-in with the plug-in and "--workers W", for
// each W, against a busy server (each export and each import takes a fixed
// time more) and a slow store (the host pauses after each item it stored or
// wrote). Each run is set against three references:
//   - the pipeline limit: the operation's setup (the same zarafa-admin
//     commands from a plain loop) plus max(total export time / W, total
//     store time), for the restore max(total import time / W, total write
//     time). The export and import times per mailbox are those of a plain
//     loop that runs a sample of the same commands one after the other; the
//     store and write times are the host's pauses;
//   - the run with one worker ("-w 1");
//   - what the machine allows: the same, with the time per mailbox of a
//     plain loop that runs the sample W commands at a time. On a machine
//     with fewer cores than W, the tools' own CPU time can bound it.
// Every figure is measured in several rounds; the references are measured in
// each round, next to the runs, and the order of the worker counts turns from
// round to round. Reported are the median and the spread (lowest and highest
// round); ratios are taken per round. The benchmark exits 1 when a target is
// missed: at most 1.15 times the limit at every W; for the backup at 4
// workers, at least 3.5 times as fast as with one; the host's own CPU per
// mailbox no higher than with one worker (than its highest round).
//
// usage: concurrency --dbhost BIN --plugin SO --tool BIN --self-cpu SO
//                    [--accounts 1000] [--workers 1,2,4,8] [--rounds 3]
//                    [--export-ms 30] [--import-ms 60] [--store-ms 0.2]
//                    [--write-ms 0.2] [--sample 50] [--dir BASE]
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "../common/figures.h"
#include "../common/scene.h"

namespace {

namespace fs = std::filesystem;
using bench::Figure;
using bench::fixed;

struct Options {
    bench::Programs programs;
    fs::path base;
    long accounts = 1000;
    std::vector<int> workers{1, 2, 4, 8};
    int rounds = 3;
    double export_ms = 30, import_ms = 60, store_ms = 0.2, write_ms = 0.2;
    size_t sample = 50;
};

constexpr double kLimitFactor = 1.15;
constexpr double kSpeedUpAt4 = 3.5;

// The figures of one operation at one worker count.
struct Figures {
    Figure wall, limit, to_limit, machine, to_machine, speed_up, cpu_ms;
};

// The references of the rounds: the setup, the times per mailbox of the
// plain loops at each worker count, and the machine's load after each run.
struct References {
    Figure setup, import_cpu_ms, load;
    std::map<int, Figure> export_ms, import_ms;
};

double load_average() {
    std::ifstream in("/proc/loadavg");
    double one_minute = 0;
    in >> one_minute;
    return one_minute;
}

double cores() {
    const long n = sysconf(_SC_NPROCESSORS_ONLN);
    return n > 0 ? static_cast<double>(n) : 1.0;
}

std::string milliseconds(double ms) { return fixed(ms, 3); }

Options parse(int argc, char **argv) {
    Options o;
    o.base = fs::exists("/dev/shm") ? fs::path("/dev/shm") : fs::temp_directory_path();
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
            o.base = fs::absolute(value);
        else if (arg == "--accounts")
            o.accounts = std::stol(value);
        else if (arg == "--rounds")
            o.rounds = std::stoi(value);
        else if (arg == "--export-ms")
            o.export_ms = std::stod(value);
        else if (arg == "--import-ms")
            o.import_ms = std::stod(value);
        else if (arg == "--store-ms")
            o.store_ms = std::stod(value);
        else if (arg == "--write-ms")
            o.write_ms = std::stod(value);
        else if (arg == "--sample")
            o.sample = std::stoul(value);
        else if (arg == "--workers") {
            o.workers.clear();
            std::stringstream list(value);
            for (std::string n; std::getline(list, n, ',');)
                o.workers.push_back(std::stoi(n));
        } else
            bench::fail("unknown option " + arg);
    }
    const bench::Programs &p = o.programs;
    if (p.dbhost.empty() || p.plugin.empty() || p.tool.empty() || p.self_cpu.empty() || o.workers.empty() ||
        o.rounds < 1 || o.accounts < 1 || o.sample < 1 ||
        std::any_of(o.workers.begin(), o.workers.end(), [](int w) { return w < 1 || w > 64; }))
        bench::fail("usage: concurrency --dbhost BIN --plugin SO --tool BIN --self-cpu SO [--accounts N] "
                    "[--workers 1,2,4,8] [--rounds R] [--export-ms MS] [--import-ms MS] [--store-ms MS] "
                    "[--write-ms MS] [--sample N] [--dir BASE]");
    return o;
}

class Bench {
public:
    explicit Bench(const Options &o)
        : o_(o), scene_(o.programs, o.base / "concurrency", o.accounts,
                        {"SCALE_EXPORT_MS=" + fixed(o.export_ms, 3), "SCALE_IMPORT_MS=" + fixed(o.import_ms, 3)}) {}

    // The save set every restore reads, from a backup outside the figures.
    void make_source() {
        auto a = scene_.common("backup", source_, scene_.dir() / "source-work");
        const int most = *std::max_element(o_.workers.begin(), o_.workers.end());
        a.insert(a.begin(), "-q");
        a.insert(a.end(), {"--saveset", "full", "--level", "FULL", "--job", "source", "--workers",
                           std::to_string(most)});
        scene_.host("source", a);
    }

    void round(int number) {
        const double m = static_cast<double>(scene_.count());
        // The worker counts, starting at a different one each round.
        std::vector<int> order = o_.workers;
        std::rotate(order.begin(), order.begin() + (number - 1) % static_cast<int>(order.size()), order.end());

        // The references of this round: the loops one command at a time and
        // W at a time, each on a sample large enough that starting and
        // ending the loop weigh little.
        const double setup = scene_.setup().wall;
        refs_.setup.add(setup);
        std::vector<int> at_once = order;
        if (std::find(at_once.begin(), at_once.end(), 1) == at_once.end())
            at_once.insert(at_once.begin(), 1);
        const fs::path sample = scene_.dir() / "sample";
        fs::remove_all(sample);
        size_t most = 0;
        for (const int w : at_once)
            most = std::max(most, sample_size(w));
        scene_.exports(sample, most, 8);
        const std::vector<std::string> scripts = scene_.restore_scripts(sample, most);
        std::map<int, double> export_s, import_s;
        for (const int w : at_once) {
            const size_t n = std::min(sample_size(w), scripts.size());
            export_s[w] = scene_.exports(sample, n, static_cast<size_t>(w)).wall / static_cast<double>(n);
            const bench::LoopRun imported =
                scene_.imports(sample, {scripts.begin(), scripts.begin() + static_cast<long>(n)}, w);
            import_s[w] = imported.wall / static_cast<double>(n);
            refs_.export_ms[w].add(1e3 * export_s[w]);
            refs_.import_ms[w].add(1e3 * import_s[w]);
            if (w == 1)
                refs_.import_cpu_ms.add(1e3 * imported.children_cpu / static_cast<double>(n));
        }

        const double store = 2 * m * o_.store_ms / 1e3, write = 2 * m * o_.write_ms / 1e3;
        std::map<int, double> backup_wall, restore_wall;
        for (const int w : order) {
            std::fprintf(stderr, "concurrency: round %d, %d worker%s ...\n", number, w, w == 1 ? "" : "s");
            const bench::HostRun b = backup(w);
            const bench::HostRun r = restore(w);
            refs_.load.add(load_average());
            record(backup_[w], b, setup + std::max(m * export_s[1] / w, store), setup + std::max(m * export_s[w], store));
            record(restore_[w], r, setup + std::max(m * import_s[1] / w, write), setup + std::max(m * import_s[w], write));
            backup_wall[w] = b.wall;
            restore_wall[w] = r.wall;
        }
        if (backup_wall.count(1))
            for (const int w : order) {
                backup_[w].speed_up.add(backup_wall[1] / backup_wall[w]);
                restore_[w].speed_up.add(restore_wall[1] / restore_wall[w]);
            }
    }

    // Prints the tables and the targets; false when one is missed.
    bool report() const {
        const double m = static_cast<double>(scene_.count());
        std::printf("%ld mailboxes, 2 items each; %d rounds\n", scene_.count(), o_.rounds);
        std::printf("busy server: %s ms more per export, %s ms more per import; slow store: %s ms per stored item, "
                    "%s ms per written item\n",
                    fixed(o_.export_ms, 1).c_str(), fixed(o_.import_ms, 1).c_str(), milliseconds(o_.store_ms).c_str(),
                    milliseconds(o_.write_ms).c_str());
        std::printf("machine: %.0f cores, load average %s\n", cores(), refs_.load.text(1).c_str());
        std::printf("plain loops: setup %s s; per mailbox, running W at a time (ms):\n", refs_.setup.text(2).c_str());
        for (const auto &[w, f] : refs_.export_ms)
            std::printf("  W = %d: export %s, import %s\n", w, f.text(2).c_str(), refs_.import_ms.at(w).text(2).c_str());
        std::printf("  an import's processes use %s ms of CPU\n\n", refs_.import_cpu_ms.text(2).c_str());

        std::printf("%-8s %7s  %-22s %-22s %-22s %-22s %-22s %-22s %s\n", "run", "workers", "wall (s)", "limit (s)",
                    "wall / limit", "machine (s)", "wall / machine", "-w 1 / wall", "host CPU/mailbox (ms)");
        bool met = true;
        std::vector<std::string> misses;
        for (const auto &[name, table] : {std::pair{"backup", &backup_}, std::pair{"restore", &restore_}}) {
            const Figures *one = table->count(1) ? &table->at(1) : nullptr;
            for (const auto &[w, f] : *table) {
                std::printf("%-8s %7d  %-22s %-22s %-22s %-22s %-22s %-22s %s\n", name, w, f.wall.text(2).c_str(),
                            f.limit.text(2).c_str(), f.to_limit.text(3).c_str(), f.machine.text(2).c_str(),
                            f.to_machine.text(3).c_str(), f.speed_up.empty() ? "-" : f.speed_up.text(2).c_str(),
                            f.cpu_ms.text(4).c_str());
                const bool backup = std::string(name) == "backup";
                const bool near_limit = f.to_limit.median() <= kLimitFactor;
                const bool fast = !backup || w != 4 || !one || f.speed_up.median() >= kSpeedUpAt4;
                const bool frugal = !one || f.cpu_ms.median() <= one->cpu_ms.high();
                met = met && near_limit && fast && frugal;
                if (!near_limit)
                    misses.push_back(std::string(name) + " with " + std::to_string(w) + " workers took " +
                                     fixed(f.to_limit.median(), 3) + " times the limit (at most " +
                                     fixed(kLimitFactor, 2) + ")" +
                                     (f.to_machine.median() <= kLimitFactor
                                          ? ", but within " + fixed(kLimitFactor, 2) +
                                                " times what the machine allows (a plain loop running " +
                                                std::to_string(w) + " at a time)"
                                          : ""));
                if (!fast)
                    misses.push_back("backup with 4 workers was " + fixed(f.speed_up.median(), 2) +
                                     " times as fast as with one (at least " + fixed(kSpeedUpAt4, 1) + ")");
                if (!frugal)
                    misses.push_back(std::string(name) + " with " + std::to_string(w) + " workers used " +
                                     fixed(f.cpu_ms.median(), 4) + " ms of host CPU per mailbox, more than the " +
                                     fixed(one->cpu_ms.high(), 4) + " of its highest round with one");
            }
        }
        std::printf("(median and, in brackets, the lowest and highest round; ratios per round)\n");

        // A backup hands out mailbox k's export at its k-th item, as a
        // sequential run does, but its files as items 2k-1 and 2k: the
        // second half of the stores comes after the last export.
        std::printf("\nbackup, what the order of its items allows: setup + %ld * max(export / W, store) + %ld * store\n",
                    scene_.count(), scene_.count());
        for (const auto &[w, f] : backup_) {
            const double e = refs_.export_ms.at(1).median() / 1e3, s = o_.store_ms / 1e3;
            const double bound = refs_.setup.median() + m * std::max(e / w, s) + m * s;
            std::printf("  %d worker%s: %s s, wall / that %s\n", w, w == 1 ? "" : "s", fixed(bound, 2).c_str(),
                        fixed(f.wall.median() / bound, 3).c_str());
        }
        std::printf("\n");
        for (const auto &miss : misses)
            std::printf("MISSED: %s\n", miss.c_str());
        std::printf("%s\n", met ? "every target met" : "a target was MISSED");
        return met;
    }

private:
    bench::HostRun backup(int w) {
        const fs::path store = scene_.dir() / "store", work = scene_.dir() / "work";
        fs::remove_all(store);
        fs::remove_all(work);
        auto a = scene_.common("backup", store, work);
        a.insert(a.begin(), "-q");
        a.insert(a.end(), {"--saveset", "full", "--level", "FULL", "--job", "bench", "--workers", std::to_string(w)});
        if (o_.store_ms > 0)
            a.insert(a.end(), {"--test-store-delay", milliseconds(o_.store_ms)});
        return scene_.host("backup-" + std::to_string(w), a);
    }

    bench::HostRun restore(int w) {
        const fs::path into = scene_.dir() / "restored", work = scene_.dir() / "work";
        fs::remove_all(into);
        fs::remove_all(work);
        auto a = scene_.common("restore", source_, work);
        a.insert(a.begin(), "-q");
        a.insert(a.end(), {"--saveset", "full", "--into", into.string(), "--workers", std::to_string(w)});
        if (o_.write_ms > 0)
            a.insert(a.end(), {"--test-store-delay", milliseconds(o_.write_ms)});
        return scene_.host("restore-" + std::to_string(w), a);
    }

    void record(Figures &f, const bench::HostRun &run, double limit, double machine) const {
        f.wall.add(run.wall);
        f.limit.add(limit);
        f.to_limit.add(run.wall / limit);
        f.machine.add(machine);
        f.to_machine.add(run.wall / machine);
        f.cpu_ms.add(1e3 * run.self_cpu / static_cast<double>(scene_.count()));
    }

    size_t sample_size(int w) const { return std::max(o_.sample, 25 * static_cast<size_t>(w)); }

    const Options &o_;
    bench::Scene scene_;
    fs::path source_ = scene_.dir() / "source";
    References refs_;
    std::map<int, Figures> backup_, restore_;
};

} // namespace

int main(int argc, char **argv) {
    const Options options = parse(argc, argv);
    Bench bench(options);
    std::fprintf(stderr, "concurrency: the save set to restore ...\n");
    bench.make_source();
    for (int round = 1; round <= options.rounds; ++round)
        bench.round(round);
    return bench.report() ? 0 : 1;
}
