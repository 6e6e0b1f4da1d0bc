// Scale benchmark: a FULL backup, an INCR backup and a full restore of N
// mailboxes through the backup host stand-in, against a server whose tools
// do almost nothing, next to a baseline that runs the same tool commands
// from a plain loop. Every figure is measured in several rounds; within a
// round each host run is paired with its baseline run, and the pairs take
// turns at going first, so that a change of the machine's load falls on
// both. Prints, for every N, the median and the spread (lowest and highest
// round) of the wall time of both, of their ratio per round, of the host's
// own CPU time per mailbox (its children excluded) and the number of
// plug-in messages; then the ratios the plug-in is held to, from the medians.
//
// usage: scale --dbhost BIN --plugin SO --tool BIN --self-cpu SO
//              [--sizes 1000,10000] [--rounds 3] [--dir BASE]
#include <cstdio>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "../common/figures.h"
#include "../common/scene.h"

namespace {

using bench::Figure;
namespace fs = std::filesystem;

struct Options {
    bench::Programs programs;
    fs::path base;
    std::vector<long> sizes{1000, 10000};
    int rounds = 3;
};

// The figures of one kind of run at one size.
struct Figures {
    Figure host, baseline, ratio, cpu_ms, messages;
};

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
        else if (arg == "--rounds")
            o.rounds = std::stoi(value);
        else if (arg == "--sizes") {
            o.sizes.clear();
            std::stringstream list(value);
            for (std::string n; std::getline(list, n, ',');)
                o.sizes.push_back(std::stol(n));
        } else
            bench::fail("unknown option " + arg);
    }
    const bench::Programs &p = o.programs;
    if (p.dbhost.empty() || p.plugin.empty() || p.tool.empty() || p.self_cpu.empty() || o.sizes.empty() ||
        o.rounds < 1)
        bench::fail("usage: scale --dbhost BIN --plugin SO --tool BIN --self-cpu SO [--sizes N,N] [--rounds R] "
                    "[--dir BASE]");
    return o;
}

// One round at one size: each host run next to its baseline, the host first
// when host_first.
void one_round(bench::Scene &scene, bool host_first, std::map<std::string, Figures> &figures) {
    const fs::path store = scene.dir() / "store", work = scene.dir() / "work", exported = scene.dir() / "baseline";
    for (const fs::path &dir : {store, work, scene.dir() / "restored"})
        fs::remove_all(dir);
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
    auto backup = [&](const std::string &saveset, const std::string &level) {
        auto a = scene.common("backup", store, work);
        a.insert(a.end(), {"--saveset", saveset, "--level", level, "--job", "scale"});
        return a;
    };
    auto baseline_backup = [&] { return scene.setup().wall + scene.exports(exported).wall; };
    pair("FULL", backup("full", "FULL"), baseline_backup);
    pair("INCR", backup("incr", "INCR"), baseline_backup);

    auto restore = scene.common("restore", store, work);
    restore.insert(restore.end(), {"--saveset", "full", "--into", (scene.dir() / "restored").string()});
    // The scripts are written by the plug-in's own generator before the
    // clock starts; the loop then runs them as the restore does.
    const std::vector<std::string> scripts = scene.restore_scripts(exported);
    pair("restore", restore, [&] { return scene.setup().wall + scene.imports(exported, scripts).wall; });
}

} // namespace

int main(int argc, char **argv) {
    const Options options = parse(argc, argv);
    const std::vector<std::string> kinds{"FULL", "INCR", "restore"};
    std::map<long, std::map<std::string, Figures>> results;
    std::map<long, long> mailboxes;
    for (const long n : options.sizes) {
        bench::Scene scene(options.programs, options.base / ("scale-" + std::to_string(n)), n);
        mailboxes[n] = scene.count();
        for (int round = 1; round <= options.rounds; ++round) {
            std::fprintf(stderr, "scale: %ld accounts, round %d of %d ...\n", n, round, options.rounds);
            one_round(scene, round % 2 == 1, results[n]);
        }
    }

    std::printf("%8s %-8s %-22s %-22s %-22s %-25s %s\n", "accounts", "run", "host (s)", "baseline (s)",
                "host / baseline", "host CPU/mailbox (ms)", "msgs/mailbox");
    for (const long n : options.sizes)
        for (const auto &kind : kinds) {
            const Figures &f = results[n][kind];
            std::printf("%8ld %-8s %-22s %-22s %-22s %-25s %.1f\n", n, kind.c_str(), f.host.text(2).c_str(),
                        f.baseline.text(2).c_str(), f.ratio.text(3).c_str(), f.cpu_ms.text(4).c_str(),
                        f.messages.median());
        }
    std::printf("(median and, in brackets, the lowest and highest of %d rounds; host / baseline per round)\n",
                options.rounds);

    bool met = true;
    const long small = options.sizes.front(), large = options.sizes.back();
    std::printf("\n");
    for (const auto &kind : kinds) {
        const Figures &a = results[small][kind], &b = results[large][kind];
        const double cpu_ratio = b.cpu_ms.median() / a.cpu_ms.median();
        const double wall_ratio = b.ratio.median();
        const bool ok = cpu_ratio <= 1.5 && wall_ratio <= 1.2;
        met = met && ok;
        std::printf("%-8s CPU per mailbox at %ld / at %ld: %.2f (%.2f-%.2f; at most 1.5); host / baseline at %ld: "
                    "%.3f (at most 1.2)  %s\n",
                    kind.c_str(), large, small, cpu_ratio, b.cpu_ms.low() / a.cpu_ms.high(),
                    b.cpu_ms.high() / a.cpu_ms.low(), large, wall_ratio, ok ? "met" : "MISSED");
    }
    return met ? 0 : 1;
}
