#include "support/fixtures.h"

#include <grp.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>

#include "system/line_reader.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace arktest {

TempDir::TempDir() {
    const char *base = std::getenv("TMPDIR");
    std::string templ = std::string(base && *base ? base : "/tmp") + "/arktest.XXXXXX";
    if (!mkdtemp(templ.data()))
        throw std::runtime_error("mkdtemp: " + std::string(std::strerror(errno)));
    path_ = fs::path(templ);
}

TempDir::~TempDir() {
    std::error_code ec;
    fs::permissions(path_, fs::perms::owner_all, fs::perm_options::add, ec);
    fs::remove_all(path_, ec);
}

void write_file(const fs::path &path, const std::string &text, fs::perms mode) {
    fs::create_directories(path.parent_path());
    {
        std::ofstream out(path, std::ios::binary | std::ios::trunc);
        if (!out)
            throw std::runtime_error("cannot write " + path.string());
        out << text;
    }
    fs::permissions(path, mode);
}

bool as_attacker(const std::function<bool()> &fn) {
    const pid_t pid = ::fork();
    if (pid == 0) {
        const bool dropped = ::setgroups(0, nullptr) == 0 &&
                             ::setresgid(kAttackerUid, kAttackerUid, kAttackerUid) == 0 &&
                             ::setresuid(kAttackerUid, kAttackerUid, kAttackerUid) == 0;
        ::_exit(dropped && fn() ? 0 : 1);
    }
    int status = 0;
    return pid > 0 && ::waitpid(pid, &status, 0) == pid && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

std::vector<std::string> tree_entries(const fs::path &dir) {
    std::vector<std::string> out;
    std::error_code ec;
    for (auto it = fs::recursive_directory_iterator(dir, ec); !ec && it != fs::recursive_directory_iterator();
         it.increment(ec))
        out.push_back(it->path().lexically_relative(dir).string());
    std::sort(out.begin(), out.end());
    return out;
}

std::string read_file(const fs::path &path) {
    std::ifstream in(path, std::ios::binary);
    if (!in)
        throw std::runtime_error("cannot read " + path.string());
    std::ostringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

std::vector<std::string> lines_of(const std::string &text) {
    std::vector<std::string> lines;
    ark::sys::TextLines in(text);
    for (std::string_view line; in.next(line);)
        lines.emplace_back(ark::sys::chomp(line));
    return lines;
}

void write_script(const fs::path &path, const std::string &body) {
    write_file(path, "#!/bin/sh\n" + body, fs::perms(0755));
}

ProcessResult process_result(const ark::sys::Result &result, const std::string &program) {
    ProcessResult r;
    r.out = result.out;
    r.err = result.err;
    switch (result.state) {
    case ark::sys::Result::State::exited:
        r.exit_status = result.status;
        break;
    case ark::sys::Result::State::signalled:
        r.signal = result.signal;
        break;
    case ark::sys::Result::State::not_started:
        // As a shell reports a program it cannot run.
        r.exit_status = 127;
        r.err += "cannot start " + program + ": " + std::strerror(result.error) + "\n";
        break;
    case ark::sys::Result::State::unknown:
        throw std::runtime_error("the end of " + program + " is unknown: " + result.outcome());
    }
    return r;
}

ProcessResult run_process(const std::vector<std::string> &argv, const ProcessOptions &options) {
    ark::sys::Command command{.argv = argv, .cwd = options.cwd, .input = options.input};
    if (!options.env.empty())
        command.env = ark::sys::environment_with(options.env);
    command.out = ark::sys::Output::capture();
    command.err = ark::sys::Output::capture();
    // A test sees all that the program and its descendants (a logger, say)
    // wrote, not only what was written by the program's exit.
    command.output_to_its_end = true;
    return process_result(ark::sys::run(command), argv.empty() ? std::string() : argv[0]);
}

ScopedEnv::ScopedEnv(const std::string &name, const std::string &value) : name_(name) {
    if (const char *old = std::getenv(name.c_str()))
        old_ = old;
    setenv(name.c_str(), value.c_str(), 1);
}

ScopedEnv::~ScopedEnv() {
    if (old_)
        setenv(name_.c_str(), old_->c_str(), 1);
    else
        unsetenv(name_.c_str());
}

namespace {
std::string prefixed_path(const fs::path &dir) {
    const char *old = std::getenv("PATH");
    return dir.string() + ":" + (old ? old : "/usr/bin:/bin");
}
} // namespace

ScopedPathPrefix::ScopedPathPrefix(const fs::path &dir) : env_("PATH", prefixed_path(dir)) {}

ScopedCwd::ScopedCwd() : saved_(fs::current_path()) {}
ScopedCwd::~ScopedCwd() {
    std::error_code ec;
    fs::current_path(saved_, ec);
}

} // namespace arktest
