#include "support/fixtures.h"

#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <signal.h>
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

namespace {

bool drop_to_attacker() {
    return ::setgroups(0, nullptr) == 0 && ::setresgid(kAttackerUid, kAttackerUid, kAttackerUid) == 0 &&
           ::setresuid(kAttackerUid, kAttackerUid, kAttackerUid) == 0;
}

// The attacker's side of a LeasedSwap; reports on fd and never returns.
[[noreturn]] void lease_and_swap(int fd, const fs::path &path, const std::string &text,
                                 const std::function<bool()> &swap) {
    auto report = [fd](char what) { return ::write(fd, &what, 1) == 1; };
    sigset_t lease_break;
    sigemptyset(&lease_break);
    sigaddset(&lease_break, SIGIO);
    // Blocked before the lease exists, so the break is waited for, not missed.
    if (!drop_to_attacker() || ::sigprocmask(SIG_BLOCK, &lease_break, nullptr) != 0) {
        report('F');
        ::_exit(1);
    }
    const int out = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW, 0644);
    const bool written = out >= 0 && ::write(out, text.data(), text.size()) == static_cast<ssize_t>(text.size()) &&
                         ::close(out) == 0;
    // A write lease needs the only open descriptor of the file: this one.
    const int leased = written ? ::open(path.c_str(), O_RDONLY | O_NOFOLLOW) : -1;
    if (leased < 0 || ::fcntl(leased, F_SETLEASE, F_WRLCK) != 0) {
        report('F');
        ::_exit(1);
    }
    report('L');
    const struct timespec limit {120, 0};
    if (::sigtimedwait(&lease_break, nullptr, &limit) != SIGIO)
        ::_exit(2);
    const bool swapped = swap();
    report(swapped ? 'S' : 'F');
    ::fcntl(leased, F_SETLEASE, F_UNLCK);
    ::_exit(swapped ? 0 : 1);
}

} // namespace

bool as_attacker(const std::function<bool()> &fn) {
    const pid_t pid = ::fork();
    if (pid == 0)
        ::_exit(drop_to_attacker() && fn() ? 0 : 1);
    int status = 0;
    return pid > 0 && ::waitpid(pid, &status, 0) == pid && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

LeasedSwap::LeasedSwap(const fs::path &path, const std::string &text, std::function<bool()> swap) {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0)
        throw std::runtime_error("pipe: " + std::string(std::strerror(errno)));
    pid_ = ::fork();
    if (pid_ == 0) {
        ::close(fds[0]);
        lease_and_swap(fds[1], path, text, swap);
    }
    ::close(fds[1]);
    report_ = fds[0];
    char first = 0;
    ready_ = pid_ > 0 && ::read(report_, &first, 1) == 1 && first == 'L';
    if (!ready_)
        error_ = "the attacker could not lease " + path.string();
}

bool LeasedSwap::swapped() {
    if (pid_ <= 0)
        return false;
    // A swap that ran has been reported before the lease was let go, so
    // before the opener went on: nothing read here is still to come.
    char last = 0;
    struct pollfd ready {report_, POLLIN, 0};
    const bool done = ::poll(&ready, 1, 0) == 1 && ::read(report_, &last, 1) == 1 && last == 'S';
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, nullptr, 0);
    pid_ = -1;
    return done;
}

LeasedSwap::~LeasedSwap() {
    swapped();
    if (report_ >= 0)
        ::close(report_);
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
