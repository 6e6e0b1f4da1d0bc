#include "support/ssh_child.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

namespace arktest {

namespace {

int open_or_null(const fs::path &path, int flags) {
    if (path.empty())
        return open("/dev/null", flags);
    return open(path.c_str(), flags | O_CREAT | O_TRUNC, 0644);
}

ProcessResult decode(int status) {
    ProcessResult r;
    if (WIFEXITED(status))
        r.exit_status = WEXITSTATUS(status);
    else if (WIFSIGNALED(status))
        r.signal = WTERMSIG(status);
    return r;
}

} // namespace

Child::Child(const std::vector<std::string> &argv, const ChildOptions &options)
    : group_(options.own_process_group) {
    if (argv.empty())
        throw std::invalid_argument("Child: empty argv");
    int status_pipe[2];
    if (pipe2(status_pipe, O_CLOEXEC) != 0)
        throw std::runtime_error("pipe failed");
    pid_ = fork();
    if (pid_ < 0)
        throw std::runtime_error("fork failed");
    if (pid_ == 0) {
        close(status_pipe[0]);
        if (options.own_process_group)
            setpgid(0, 0);
        // The test process may have interrupts blocked or ignored; the child
        // starts from the defaults, as a program run from a shell does.
        sigset_t none;
        sigemptyset(&none);
        sigprocmask(SIG_SETMASK, &none, nullptr);
        ::signal(SIGINT, SIG_DFL);
        ::signal(SIGTERM, SIG_DFL);
        if (options.cwd && chdir(options.cwd->c_str()) != 0)
            _exit(126);
        for (const auto &[k, v] : options.env)
            setenv(k.c_str(), v.c_str(), 1);
        int in = open("/dev/null", O_RDONLY);
        int out = open_or_null(options.out_file, O_WRONLY);
        int err = open_or_null(options.err_file, O_WRONLY);
        if (in < 0 || out < 0 || err < 0)
            _exit(126);
        dup2(in, 0);
        dup2(out, 1);
        dup2(err, 2);
        std::vector<char *> args;
        for (const auto &a : argv)
            args.push_back(const_cast<char *>(a.c_str()));
        args.push_back(nullptr);
        execvp(args[0], args.data());
        int e = errno;
        (void)!write(status_pipe[1], &e, sizeof e);
        _exit(127);
    }
    close(status_pipe[1]);
    int child_errno = 0;
    ssize_t n;
    while ((n = read(status_pipe[0], &child_errno, sizeof child_errno)) < 0 && errno == EINTR) {
    }
    close(status_pipe[0]);
    if (group_)
        setpgid(pid_, pid_); // also here, so that signal_group works at once
    if (n == static_cast<ssize_t>(sizeof child_errno)) {
        int status;
        waitpid(pid_, &status, 0);
        pid_ = -1;
        throw std::runtime_error("cannot start " + argv[0] + ": " + std::strerror(child_errno));
    }
}

Child::~Child() {
    if (pid_ < 0 || result_)
        return;
    if (group_)
        kill(-pid_, SIGKILL);
    kill(pid_, SIGKILL);
    int status;
    while (waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
    }
}

void Child::signal(int signo) const {
    if (pid_ > 0 && !result_)
        kill(pid_, signo);
}

void Child::signal_group(int signo) const {
    if (pid_ > 0 && group_)
        kill(-pid_, signo);
}

std::optional<ProcessResult> Child::wait_for(std::chrono::milliseconds limit) {
    if (result_ || pid_ < 0)
        return result_;
    const auto deadline = std::chrono::steady_clock::now() + limit;
    for (;;) {
        int status = 0;
        pid_t r = waitpid(pid_, &status, WNOHANG);
        if (r == pid_) {
            result_ = decode(status);
            return result_;
        }
        if (r < 0 && errno != EINTR)
            throw std::runtime_error("waitpid failed");
        if (std::chrono::steady_clock::now() >= deadline)
            return std::nullopt;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

bool wait_until(const std::function<bool()> &ready, std::chrono::milliseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    for (;;) {
        if (ready())
            return true;
        if (std::chrono::steady_clock::now() >= deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

ProcessResult run_bounded(const std::vector<std::string> &argv, const ChildOptions &options,
                          std::chrono::milliseconds limit) {
    TempDir capture;
    ChildOptions opts = options;
    opts.out_file = capture / "stdout";
    opts.err_file = capture / "stderr";
    ProcessResult result;
    {
        Child child(argv, opts);
        if (auto r = child.wait_for(limit)) {
            result = *r;
        } else {
            result.exit_status = -1;
            result.signal = SIGKILL; // the destructor kills it
        }
    }
    result.out = read_file_or_empty(capture / "stdout");
    result.err = read_file_or_empty(capture / "stderr");
    return result;
}

std::string read_file_or_empty(const fs::path &path) {
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return {};
    std::ostringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

} // namespace arktest
