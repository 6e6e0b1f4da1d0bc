#include "support/e2e_scene.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <stdexcept>
#include <system_error>

namespace arktest {

std::vector<std::string> HostRun::problems() const {
    std::vector<std::string> out;
    for (const std::string &line : lines_of(process.err))
        if (line.starts_with("Error:") || line.starts_with("Warning:"))
            out.push_back(line);
    return out;
}

bool HostRun::problem_mentions(const std::vector<std::string> &parts) const {
    for (const std::string &line : problems()) {
        bool all = true;
        for (const std::string &part : parts)
            all = all && line.find(part) != std::string::npos;
        if (all)
            return true;
    }
    return false;
}

std::string HostRun::describe() const {
    std::string text = "exit status " + std::to_string(process.exit_status) + ", signal " +
                       std::to_string(process.signal) + "\n--- stdout\n" + process.out + "--- problems\n";
    for (const std::string &line : problems())
        text += line + "\n";
    return text;
}

E2eScene::E2eScene() : work_(tmp_ / "work"), into_(tmp_ / "restored") { fs::create_directories(server()); }

std::map<std::string, std::string> E2eScene::env(const std::string &faults) const {
    const char *path = std::getenv("PATH");
    return {{"PATH", std::string(ARK_SIM_BIN_DIR) + ":" + (path ? path : "/usr/bin:/bin")},
            {"ZARAFA_SIM_STORE", server().string()},
            {"ZARAFA_SIM_FAULT", faults}};
}

ProcessResult E2eScene::tool(const std::vector<std::string> &argv, const std::string &faults) const {
    ProcessOptions options;
    options.cwd = dir();
    options.env = env(faults);
    std::vector<std::string> full = argv;
    full[0] = std::string(ARK_SIM_BIN_DIR) + "/" + argv[0];
    return run_process(full, options);
}

std::string E2eScene::tool_ok(const std::vector<std::string> &argv) const {
    const ProcessResult r = tool(argv);
    if (r.exit_status != 0) {
        std::string command;
        for (const auto &word : argv)
            command += word + " ";
        throw std::runtime_error(command + "failed: " + r.out + r.err);
    }
    return r.out;
}

void E2eScene::populate(int users, int folders, int messages, int seed) const {
    tool_ok({"zarafa-sim", "populate", "--users", std::to_string(users), "--folders", std::to_string(folders),
             "--messages", std::to_string(messages), "--seed", std::to_string(seed)});
}

void E2eScene::create_user(const std::string &login) const { tool_ok({"zarafa-sim", "create-user", login}); }

void E2eScene::delete_user(const std::string &login) const { tool_ok({"zarafa-sim", "delete-user", login}); }

std::string E2eScene::dump(const std::string &mailbox) const {
    if (mailbox == "PUBLIC_FOLDER")
        return tool_ok({"zarafa-sim", "dump", "-p"});
    return tool_ok({"zarafa-sim", "dump", "-u", mailbox});
}

std::string E2eScene::content(const std::string &mailbox) const {
    std::string text = dump(mailbox);
    const size_t at = text.find("\nroot ");
    if (at == std::string::npos)
        return text;
    const std::string root = text.substr(at + 6, text.find('\n', at + 1) - at - 6);
    for (size_t pos = text.find(root); pos != std::string::npos; pos = text.find(root, pos))
        text.replace(pos, root.size(), "ROOT");
    return text;
}

void E2eScene::lose_mailbox(const std::string &login) const {
    std::string fullname, email;
    for (const std::string &line : lines_of(dump(login))) {
        if (line.starts_with("fullname "))
            fullname = line.substr(9);
        if (line.starts_with("email "))
            email = line.substr(6);
    }
    delete_user(login);
    tool_ok({"zarafa-sim", "create-user", login, fullname, email});
}

void E2eScene::lose_public_store() const {
    const fs::path mailbox = server() / "public" / "mailbox";
    const std::vector<std::string> lines = lines_of(read_file(mailbox));
    if (lines.size() < 2)
        throw std::runtime_error(mailbox.string() + " has no root line");
    write_file(mailbox, lines[0] + "\n" + lines[1] + "\n");
}

HostRun E2eScene::dbhost(const std::vector<std::string> &args, const std::string &faults) const {
    return run_host({}, args, faults);
}

HostRun E2eScene::dbhost_under(const std::vector<std::string> &wrapper, const std::vector<std::string> &args) const {
    return run_host(wrapper, args, "", true);
}

HostRun E2eScene::run_host(const std::vector<std::string> &wrapper, const std::vector<std::string> &args,
                           const std::string &faults, bool traced) const {
    std::vector<std::string> argv = wrapper;
    argv.insert(argv.end(), {std::string(ARK_BIN_DIR) + "/dbhost", "--log", log().string()});
    argv.insert(argv.end(), args.begin(), args.end());
    ProcessOptions options;
    options.cwd = dir();
    options.env = env(faults);
    // The leak checker of a sanitizer build refuses to run under a tracer
    // and fails the traced program: a traced run goes without it.
    if (traced) {
        const char *asan = std::getenv("ASAN_OPTIONS");
        options.env["ASAN_OPTIONS"] = std::string(asan && *asan ? std::string(asan) + ":" : "") + "detect_leaks=0";
    }
    std::error_code ec;
    fs::remove(log(), ec);
    HostRun run{run_process(argv, options), {}};
    if (fs::exists(log()))
        run.log = read_file(log());
    return run;
}

std::vector<std::string> E2eScene::backup_args(const std::string &saveset,
                                               const std::vector<std::string> &extra) const {
    std::vector<std::string> args{"backup",  "--plugin",   ARK_PLUGIN_PATH, "--store", store().string(),
                                  "--saveset", saveset, "--work-dir", work().string()};
    args.insert(args.end(), extra.begin(), extra.end());
    return args;
}

HostRun E2eScene::backup(const std::string &saveset, const std::vector<std::string> &extra,
                         const std::string &faults) const {
    return dbhost(backup_args(saveset, extra), faults);
}

ark::sys::Child E2eScene::start_dbhost(const std::vector<std::string> &args, const fs::path &log,
                                       const std::string &faults) const {
    ark::sys::Command command{.argv = {std::string(ARK_BIN_DIR) + "/dbhost", "--log", log.string()}};
    command.argv.insert(command.argv.end(), args.begin(), args.end());
    command.cwd = dir();
    command.env = ark::sys::environment_with(env(faults));
    command.out = ark::sys::Output::capture();
    command.err = ark::sys::Output::capture();
    std::error_code ec;
    fs::remove(log, ec);
    ark::sys::Child host(command);
    if (!host.started())
        throw std::runtime_error("cannot start dbhost: " + host.result().outcome());
    return host;
}

HostRun E2eScene::finish(ark::sys::Child &host, const fs::path &log) {
    HostRun run{process_result(host.wait(), "dbhost"), {}};
    if (fs::exists(log))
        run.log = read_file(log);
    return run;
}

void E2eScene::make_hold() const {
    if (::mkfifo((server() / "hold").c_str(), 0600) != 0)
        throw std::runtime_error("mkfifo: " + std::string(std::strerror(errno)));
}

ark::sys::Fd E2eScene::at_hold() const {
    // Opening the FIFO for writing succeeds once the export opened it for
    // reading, that is, once it waits there; the limit only keeps a broken
    // run from hanging the test.
    const fs::path hold = server() / "hold";
    for (int tries = 0; tries < 60000; ++tries) {
        const int fd = ::open(hold.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
        if (fd >= 0)
            return ark::sys::Fd(fd);
        if (errno != ENXIO)
            throw std::runtime_error("open " + hold.string() + ": " + std::strerror(errno));
        ::usleep(1000);
    }
    throw std::runtime_error("no export came to " + hold.string());
}

HostRun E2eScene::restore(const std::string &saveset, const std::vector<std::string> &extra,
                          const std::string &faults) const {
    std::vector<std::string> args{"restore",   "--plugin", ARK_PLUGIN_PATH, "--store", store().string(),
                                  "--saveset", saveset,    "--into",        into().string()};
    args.insert(args.end(), extra.begin(), extra.end());
    return dbhost(args, faults);
}

HostRun E2eScene::restore_chain(const std::string &job, const std::vector<std::string> &extra) const {
    std::vector<std::string> args{"restore", "--plugin", ARK_PLUGIN_PATH, "--store", store().string(),
                                  "--job",     job,        "--into",        into().string()};
    args.insert(args.end(), extra.begin(), extra.end());
    return dbhost(args);
}

std::map<std::string, std::string> tree_snapshot(const fs::path &dir) {
    std::map<std::string, std::string> files;
    std::error_code ec;
    if (!fs::exists(dir, ec))
        return files;
    for (const auto &entry : fs::recursive_directory_iterator(dir))
        if (entry.is_regular_file())
            files[fs::relative(entry.path(), dir).string()] = read_file(entry.path());
    return files;
}

std::vector<std::string> paths_containing(const fs::path &dir, std::string_view part) {
    std::vector<std::string> found;
    std::error_code ec;
    if (!fs::exists(dir, ec))
        return found;
    for (const auto &entry : fs::recursive_directory_iterator(dir))
        if (entry.path().string().find(part) != std::string::npos)
            found.push_back(entry.path().string());
    return found;
}

} // namespace arktest
