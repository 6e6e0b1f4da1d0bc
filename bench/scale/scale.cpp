// Scale benchmark: a FULL backup, an INCR backup and a full restore of N
// mailboxes through the backup host stand-in, against a server whose tools
// do almost nothing, next to a baseline that runs the same tool commands
// from a plain loop. Prints, for every N, the wall time of both, the host's
// own CPU time per mailbox (its children excluded) and the number of
// plug-in messages, then the ratios the plug-in is held to.
//
// usage: scale --dbhost BIN --plugin SO --tool BIN --self-cpu SO
//              [--sizes 1000,10000] [--dir BASE]
#include <dlfcn.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "system/process.h"

extern "C" char **environ;

// The plug-in binds its trace() to the process that loads it.
extern "C" void trace(const char *, ...) {}

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

struct Options {
    fs::path dbhost, plugin, tool, self_cpu, base;
    std::vector<long> sizes{1000, 10000};
};

[[noreturn]] void fail(const std::string &text) {
    std::cerr << "scale: " << text << "\n";
    std::exit(2);
}

// Runs argv in cwd with env, output to the given files; the exit status.
int run(const std::vector<std::string> &argv, const std::vector<std::string> &env, const fs::path &cwd,
        const fs::path &out = "/dev/null", const fs::path &err = "/dev/null") {
    ark::sys::Command command{.argv = argv, .cwd = cwd, .env = env};
    command.out = ark::sys::Output::to_file(out);
    command.err = ark::sys::Output::to_file(err);
    const ark::sys::Result result = ark::sys::run(command);
    if (!result.started())
        fail("can't start " + argv[0] + ": " + result.outcome());
    if (result.state == ark::sys::Result::State::unknown)
        fail("lost track of " + argv[0] + ": " + result.outcome());
    return result.state == ark::sys::Result::State::exited ? result.status : 128 + result.signal;
}

double seconds_since(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

// The environment of every child: the tools first on PATH, N accounts.
std::vector<std::string> child_env(const fs::path &tools, long users) {
    std::vector<std::string> env;
    for (char **e = environ; *e; ++e) {
        const std::string entry(*e);
        if (!entry.starts_with("PATH=") && !entry.starts_with("SCALE_") && !entry.starts_with("LD_PRELOAD="))
            env.push_back(entry);
    }
    const char *path = std::getenv("PATH");
    env.push_back("PATH=" + tools.string() + ":" + (path ? path : "/usr/bin:/bin"));
    env.push_back("SCALE_USERS=" + std::to_string(users));
    return env;
}

std::string user_name(long i) {
    char name[32];
    std::snprintf(name, sizeof name, "user%05ld", i);
    return name;
}

struct Measure {
    double wall = 0, self_cpu = 0, baseline = 0;
    long messages = 0;
};

// Plug-in messages in the host's log: lines the host did not write itself,
// and not what the plug-in and its tools printed on their own.
long plugin_messages(const fs::path &log) {
    std::ifstream in(log);
    long count = 0;
    for (std::string line; std::getline(in, line);) {
        const std::string text = line.size() > 20 ? line.substr(20) : "";
        if (!text.starts_with("dbhost: ") && !text.starts_with("trace: ") && !text.starts_with("stdout: ") &&
            !text.starts_with("stderr: "))
            ++count;
    }
    return count;
}

class Scene {
public:
    Scene(const Options &options, long users) : o_(options), users_(users) {
        dir_ = o_.base / ("scale-" + std::to_string(users));
        fs::remove_all(dir_);
        fs::create_directories(dir_ / "tools");
        for (const char *tool : {"zarafa-admin", "zarafa-backup", "zarafa-restore"})
            fs::create_symlink(o_.tool, dir_ / "tools" / tool);
        env_ = child_env(dir_ / "tools", users);
        for (long i = 1; i <= users; ++i)
            mailboxes_.push_back(user_name(i));
        mailboxes_.push_back("PUBLIC_FOLDER");
    }
    ~Scene() { fs::remove_all(dir_); }

    long mailboxes() const { return static_cast<long>(mailboxes_.size()); }

    // One run of the host; fails the benchmark when the host fails.
    Measure host(const std::string &label, std::vector<std::string> args) {
        const fs::path log = dir_ / (label + ".log"), cpu = dir_ / (label + ".cpu");
        std::vector<std::string> argv{o_.dbhost.string(), "--log", log.string()};
        argv.insert(argv.end(), args.begin(), args.end());
        std::vector<std::string> env = env_;
        env.push_back("LD_PRELOAD=" + o_.self_cpu.string());
        env.push_back("SCALE_SELF_CPU_OUT=" + cpu.string());
        const auto start = Clock::now();
        const int status = run(argv, env, dir_, dir_ / (label + ".out"), dir_ / (label + ".err"));
        Measure m;
        m.wall = seconds_since(start);
        if (status != 0)
            fail("dbhost " + label + " ended with status " + std::to_string(status) + "; see " +
                 (dir_ / (label + ".err")).string() + " (kept)");
        std::ifstream in(cpu);
        double user = 0, system = 0;
        if (!(in >> user >> system))
            fail("the host reported no CPU time for " + label);
        m.self_cpu = user + system;
        m.messages = plugin_messages(log);
        return m;
    }

    std::vector<std::string> common(const std::string &verb) const {
        return {verb, "--plugin", o_.plugin.string(), "--store", (dir_ / "store").string(), "--work-dir",
                (dir_ / "work").string()};
    }

    // A tool command, started from the tools directory as PATH finds it.
    void tool(std::vector<std::string> argv, const fs::path &cwd) {
        argv[0] = (dir_ / "tools" / argv[0]).string();
        run(argv, env_, cwd);
    }

    // The commands the plug-in runs when it sets up an operation.
    void baseline_setup() {
        tool({"zarafa-admin", "-l"}, dir_);
        for (long i = 1; i <= users_; ++i)
            tool({"zarafa-admin", "--details", user_name(i)}, dir_);
    }

    double baseline_backup() {
        const fs::path dir = dir_ / "baseline-export";
        fs::create_directories(dir);
        const auto start = Clock::now();
        baseline_setup();
        for (const auto &mailbox : mailboxes_)
            tool(mailbox == "PUBLIC_FOLDER" ? std::vector<std::string>{"zarafa-backup", "-p"}
                                            : std::vector<std::string>{"zarafa-backup", "-u", mailbox},
                 dir);
        return seconds_since(start);
    }

    // The restore scripts are written by the plug-in's own generator before
    // the clock starts; the loop then runs them as the restore does.
    double baseline_restore() {
        const fs::path dir = dir_ / "baseline-export";
        void *plugin = dlopen(o_.plugin.c_str(), RTLD_NOW);
        if (!plugin)
            fail(std::string("can't load the plug-in: ") + dlerror());
        using Generate = int (*)(const char *, const char *, char *);
        auto generate = reinterpret_cast<Generate>(dlsym(plugin, "utils_generate_full_rst_script"));
        if (!generate)
            fail("the plug-in has no utils_generate_full_rst_script");
        const fs::path cwd = fs::current_path();
        std::vector<std::string> scripts;
        for (const auto &mailbox : mailboxes_) {
            char name[256] = {};
            if (!generate((dir.string() + "/").c_str(), mailbox.c_str(), name))
                fail("can't write the restore script of " + mailbox);
            scripts.push_back(std::string("./") + name);
        }
        fs::current_path(cwd);
        const auto start = Clock::now();
        baseline_setup();
        for (const auto &script : scripts)
            run({script}, env_, dir);
        const double elapsed = seconds_since(start);
        dlclose(plugin);
        return elapsed;
    }

private:
    const Options &o_;
    long users_;
    fs::path dir_;
    std::vector<std::string> env_;
    std::vector<std::string> mailboxes_;
};

Options parse(int argc, char **argv) {
    Options o;
    o.base = fs::exists("/dev/shm") ? fs::path("/dev/shm") : fs::temp_directory_path();
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (i + 1 >= argc)
            fail("option " + arg + " needs a value");
        const std::string value = argv[++i];
        if (arg == "--dbhost")
            o.dbhost = fs::absolute(value);
        else if (arg == "--plugin")
            o.plugin = fs::absolute(value);
        else if (arg == "--tool")
            o.tool = fs::absolute(value);
        else if (arg == "--self-cpu")
            o.self_cpu = fs::absolute(value);
        else if (arg == "--dir")
            o.base = fs::absolute(value);
        else if (arg == "--sizes") {
            o.sizes.clear();
            std::stringstream list(value);
            for (std::string n; std::getline(list, n, ',');)
                o.sizes.push_back(std::stol(n));
        } else
            fail("unknown option " + arg);
    }
    if (o.dbhost.empty() || o.plugin.empty() || o.tool.empty() || o.self_cpu.empty() || o.sizes.empty())
        fail("usage: scale --dbhost BIN --plugin SO --tool BIN --self-cpu SO [--sizes N,N] [--dir BASE]");
    return o;
}

} // namespace

int main(int argc, char **argv) {
    const Options options = parse(argc, argv);
    const std::vector<std::string> runs{"FULL", "INCR", "restore"};
    std::map<std::pair<long, std::string>, Measure> results;
    std::map<long, long> mailboxes;
    for (const long n : options.sizes) {
        Scene scene(options, n);
        mailboxes[n] = scene.mailboxes();
        std::cerr << "scale: " << n << " accounts ...\n";
        Measure full = scene.host("full", [&] {
            auto a = scene.common("backup");
            a.insert(a.end(), {"--saveset", "full", "--level", "FULL", "--job", "scale"});
            return a;
        }());
        full.baseline = scene.baseline_backup();
        Measure incr = scene.host("incr", [&] {
            auto a = scene.common("backup");
            a.insert(a.end(), {"--saveset", "incr", "--level", "INCR", "--job", "scale"});
            return a;
        }());
        incr.baseline = scene.baseline_backup();
        Measure restore = scene.host("restore", [&] {
            auto a = scene.common("restore");
            a.insert(a.end(), {"--saveset", "full", "--into", "restored"});
            return a;
        }());
        restore.baseline = scene.baseline_restore();
        results[{n, "FULL"}] = full;
        results[{n, "INCR"}] = incr;
        results[{n, "restore"}] = restore;
    }

    std::printf("%8s %-8s %10s %11s %7s %15s %10s %13s\n", "accounts", "run", "host (s)", "baseline (s)",
                "ratio", "CPU/mailbox ms", "messages", "msgs/mailbox");
    for (const long n : options.sizes)
        for (const auto &kind : runs) {
            const Measure &m = results[{n, kind}];
            std::printf("%8ld %-8s %10.2f %11.2f %7.3f %15.4f %10ld %13.1f\n", n, kind.c_str(), m.wall,
                        m.baseline, m.wall / m.baseline, 1e3 * m.self_cpu / static_cast<double>(mailboxes[n]),
                        m.messages, static_cast<double>(m.messages) / static_cast<double>(mailboxes[n]));
        }

    bool met = true;
    const long small = options.sizes.front(), large = options.sizes.back();
    std::printf("\n");
    for (const auto &kind : runs) {
        const Measure &a = results[{small, kind}], &b = results[{large, kind}];
        const double cpu_ratio = (b.self_cpu / static_cast<double>(mailboxes[large])) /
                                 (a.self_cpu / static_cast<double>(mailboxes[small]));
        const double wall_ratio = b.wall / b.baseline;
        const bool ok = cpu_ratio <= 1.5 && wall_ratio <= 1.2;
        met = met && ok;
        std::printf("%-8s CPU per mailbox at %ld / at %ld: %.2f (at most 1.5); host / baseline at %ld: %.3f "
                    "(at most 1.2)  %s\n",
                    kind.c_str(), large, small, cpu_ratio, large, wall_ratio, ok ? "met" : "MISSED");
    }
    return met ? 0 : 1;
}
