#include "support/fixtures.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>

extern char **environ;

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
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    return lines;
}

void write_script(const fs::path &path, const std::string &body) {
    write_file(path, "#!/bin/sh\n" + body, fs::perms(0755));
}

namespace {

void drain(int fd, std::string &into) {
    char buf[4096];
    ssize_t n = read(fd, buf, sizeof buf);
    if (n > 0)
        into.append(buf, static_cast<size_t>(n));
}

} // namespace

ProcessResult run_process(const std::vector<std::string> &argv, const ProcessOptions &options) {
    int out_pipe[2], err_pipe[2], in_pipe[2];
    if (pipe2(out_pipe, O_CLOEXEC) || pipe2(err_pipe, O_CLOEXEC) || pipe2(in_pipe, O_CLOEXEC))
        throw std::runtime_error("pipe failed");
    pid_t pid = fork();
    if (pid < 0)
        throw std::runtime_error("fork failed");
    if (pid == 0) {
        if (options.cwd && chdir(options.cwd->c_str()) != 0)
            _exit(126);
        for (const auto &[k, v] : options.env)
            setenv(k.c_str(), v.c_str(), 1);
        if (options.input) {
            dup2(in_pipe[0], 0);
        } else {
            int devnull = open("/dev/null", O_RDONLY);
            dup2(devnull, 0);
        }
        dup2(out_pipe[1], 1);
        dup2(err_pipe[1], 2);
        std::vector<char *> args;
        for (const auto &a : argv)
            args.push_back(const_cast<char *>(a.c_str()));
        args.push_back(nullptr);
        execvp(args[0], args.data());
        _exit(127);
    }
    close(out_pipe[1]);
    close(err_pipe[1]);
    close(in_pipe[0]);
    if (options.input) {
        const std::string &text = *options.input;
        size_t off = 0;
        while (off < text.size()) {
            ssize_t n = write(in_pipe[1], text.data() + off, text.size() - off);
            if (n <= 0)
                break;
            off += static_cast<size_t>(n);
        }
    }
    close(in_pipe[1]);

    ProcessResult result;
    pollfd fds[2] = {{out_pipe[0], POLLIN, 0}, {err_pipe[0], POLLIN, 0}};
    int open_fds = 2;
    while (open_fds > 0) {
        if (poll(fds, 2, -1) < 0) {
            if (errno == EINTR)
                continue;
            break;
        }
        for (auto &p : fds) {
            if (p.fd < 0 || !(p.revents & (POLLIN | POLLHUP | POLLERR)))
                continue;
            std::string &sink = (p.fd == out_pipe[0]) ? result.out : result.err;
            size_t before = sink.size();
            drain(p.fd, sink);
            if (sink.size() == before) {
                close(p.fd);
                p.fd = -1;
                --open_fds;
            }
        }
    }
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    if (WIFEXITED(status))
        result.exit_status = WEXITSTATUS(status);
    else if (WIFSIGNALED(status))
        result.signal = WTERMSIG(status);
    return result;
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
