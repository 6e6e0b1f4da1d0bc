#include "scene.h"

#include <dlfcn.h>
#include <errno.h>
#include <sys/resource.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <fstream>
#include <iostream>

#include "system/process.h"

extern "C" char **environ;

// The plug-in, loaded here for its script generator, binds its trace() to
// the process that loads it.
extern "C" void trace(const char *, ...) {}

namespace bench {

namespace {

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

double children_cpu() {
    struct rusage usage {};
    getrusage(RUSAGE_CHILDREN, &usage);
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

// Times what body runs, with the CPU time of the children it reaps.
template <typename Body> LoopRun timed(Body body) {
    const double cpu = children_cpu();
    const auto start = Clock::now();
    body();
    return {seconds_since(start), children_cpu() - cpu};
}

std::string user_name(long i) {
    char name[32];
    std::snprintf(name, sizeof name, "user%05ld", i);
    return name;
}

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

size_t first(size_t count, size_t size) { return count == 0 || count > size ? size : count; }

// Runs the commands in cwd in their order, at most at_once at a time; each
// must succeed.
void run_all(const std::vector<std::vector<std::string>> &commands, const std::vector<std::string> &env,
             const fs::path &cwd, size_t at_once) {
    std::deque<ark::sys::Child> running;
    auto end_oldest = [&] {
        const ark::sys::Result result = running.front().wait();
        if (!result.succeeded())
            fail("a tool command ended with " + result.outcome());
        running.pop_front();
    };
    for (const auto &argv : commands) {
        if (running.size() >= std::max<size_t>(at_once, 1))
            end_oldest();
        ark::sys::Command command{.argv = argv, .cwd = cwd, .env = env};
        command.out = ark::sys::Output::discard();
        command.err = ark::sys::Output::discard();
        running.emplace_back(command);
        if (!running.back().started())
            fail("can't start " + argv[0] + ": " + running.back().result().outcome());
    }
    while (!running.empty())
        end_oldest();
}

} // namespace

void fail(const std::string &text) {
    std::cerr << program_invocation_short_name << ": " << text << "\n";
    std::exit(2);
}

double seconds_since(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

Scene::Scene(const Programs &programs, fs::path dir, long users, std::vector<std::string> extra_env)
    : programs_(programs), dir_(std::move(dir)), users_(users) {
    fs::remove_all(dir_);
    fs::create_directories(dir_ / "tools");
    for (const char *tool : {"zarafa-admin", "zarafa-backup", "zarafa-restore"})
        fs::create_symlink(programs_.tool, dir_ / "tools" / tool);
    // The tools first on PATH, N accounts; no setting of the caller's own
    // reaches them.
    for (char **e = environ; *e; ++e) {
        const std::string entry(*e);
        if (!entry.starts_with("PATH=") && !entry.starts_with("SCALE_") && !entry.starts_with("LD_PRELOAD="))
            env_.push_back(entry);
    }
    const char *path = std::getenv("PATH");
    env_.push_back("PATH=" + (dir_ / "tools").string() + ":" + (path ? path : "/usr/bin:/bin"));
    env_.push_back("SCALE_USERS=" + std::to_string(users));
    env_.insert(env_.end(), extra_env.begin(), extra_env.end());
    for (long i = 1; i <= users; ++i)
        mailboxes_.push_back(user_name(i));
    mailboxes_.push_back("PUBLIC_FOLDER");
}

Scene::~Scene() { fs::remove_all(dir_); }

HostRun Scene::host(const std::string &label, const std::vector<std::string> &args,
                    const std::vector<std::string> &wrapper) {
    const fs::path log = dir_ / (label + ".log"), cpu = dir_ / (label + ".cpu");
    const fs::path out = dir_ / (label + ".out"), err = dir_ / (label + ".err");
    fs::remove(log);
    std::vector<std::string> argv = wrapper;
    argv.insert(argv.end(), {programs_.dbhost.string(), "--log", log.string()});
    argv.insert(argv.end(), args.begin(), args.end());
    std::vector<std::string> env = env_;
    if (wrapper.empty()) {
        env.push_back("LD_PRELOAD=" + programs_.self_cpu.string());
        env.push_back("SCALE_SELF_CPU_OUT=" + cpu.string());
    }
    const auto start = Clock::now();
    const int status = run(argv, env, dir_, out, err);
    HostRun r;
    r.wall = seconds_since(start);
    if (status != 0) {
        // Kept for a look: the scene's directory goes at the end.
        const fs::path kept = fs::temp_directory_path() / (std::string(program_invocation_short_name) + "-" + label);
        fs::remove_all(kept);
        fs::create_directories(kept);
        for (const fs::path &file : {log, out, err})
            if (fs::exists(file))
                fs::copy_file(file, kept / file.filename(), fs::copy_options::overwrite_existing);
        fail("dbhost " + label + " ended with status " + std::to_string(status) + "; its log and output are in " +
             kept.string());
    }
    r.messages = plugin_messages(log);
    if (!wrapper.empty())
        return r;
    std::ifstream in(cpu);
    double user = 0, system = 0;
    if (!(in >> user >> system))
        fail("the host reported no CPU time for " + label);
    r.self_cpu = user + system;
    return r;
}

std::vector<std::string> Scene::common(const std::string &verb, const fs::path &store, const fs::path &work) const {
    return {verb, "--plugin", programs_.plugin.string(), "--store", store.string(), "--work-dir", work.string()};
}

void Scene::tool(std::vector<std::string> argv, const fs::path &cwd) {
    argv[0] = (dir_ / "tools" / argv[0]).string();
    run(argv, env_, cwd);
}

LoopRun Scene::setup() {
    return timed([&] {
        tool({"zarafa-admin", "-l"}, dir_);
        for (long i = 1; i <= users_; ++i)
            tool({"zarafa-admin", "--details", user_name(i)}, dir_);
    });
}

LoopRun Scene::exports(const fs::path &dir, size_t count, size_t at_once) {
    fs::create_directories(dir);
    const std::string tool = (dir_ / "tools" / "zarafa-backup").string();
    std::vector<std::vector<std::string>> commands;
    for (size_t i = 0; i < first(count, mailboxes_.size()); ++i)
        commands.push_back(mailboxes_[i] == "PUBLIC_FOLDER" ? std::vector<std::string>{tool, "-p"}
                                                            : std::vector<std::string>{tool, "-u", mailboxes_[i]});
    return timed([&] { run_all(commands, env_, dir, at_once); });
}

std::vector<std::string> Scene::restore_scripts(const fs::path &dir, size_t count) {
    void *plugin = dlopen(programs_.plugin.c_str(), RTLD_NOW);
    if (!plugin)
        fail(std::string("can't load the plug-in: ") + dlerror());
    using Generate = int (*)(const char *, const char *, char *);
    auto generate = reinterpret_cast<Generate>(dlsym(plugin, "utils_generate_full_rst_script"));
    if (!generate)
        fail("the plug-in has no utils_generate_full_rst_script");
    // The generator works in the directory it writes to.
    const fs::path cwd = fs::current_path();
    std::vector<std::string> scripts;
    const size_t n = first(count, mailboxes_.size());
    for (size_t i = 0; i < n; ++i) {
        char name[256] = {};
        if (!generate((dir.string() + "/").c_str(), mailboxes_[i].c_str(), name))
            fail("can't write the restore script of " + mailboxes_[i]);
        scripts.push_back(std::string("./") + name);
    }
    fs::current_path(cwd);
    dlclose(plugin);
    return scripts;
}

LoopRun Scene::imports(const fs::path &dir, const std::vector<std::string> &scripts, size_t at_once) {
    std::vector<std::vector<std::string>> commands;
    for (const auto &script : scripts)
        commands.push_back({script});
    return timed([&] { run_all(commands, env_, dir, at_once); });
}

} // namespace bench
