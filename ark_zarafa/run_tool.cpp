// Child processes of the plug-in: spawned with an argument vector, their
// output captured through a pipe, their exit status reported.
#include "run_tool.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "messages.h"

extern char **environ;

namespace ark {
namespace {

// A pipe whose ends close themselves.
struct Pipe {
    int fd[2] = {-1, -1};
    bool open() { return pipe2(fd, O_CLOEXEC) == 0; }
    void close_end(int i) {
        if (fd[i] >= 0)
            ::close(fd[i]);
        fd[i] = -1;
    }
    ~Pipe() {
        close_end(0);
        close_end(1);
    }
};

struct SpawnActions {
    posix_spawn_file_actions_t actions;
    SpawnActions() { posix_spawn_file_actions_init(&actions); }
    ~SpawnActions() { posix_spawn_file_actions_destroy(&actions); }
};

// Feed the input and collect the output without deadlocking on full pipes.
void exchange(int in_fd, const std::string *input, int out_fd, std::string *output) {
    size_t written = 0;
    pollfd fds[2];
    while (in_fd >= 0 || out_fd >= 0) {
        int n = 0;
        int in_slot = -1, out_slot = -1;
        if (in_fd >= 0) {
            fds[n] = {in_fd, POLLOUT, 0};
            in_slot = n++;
        }
        if (out_fd >= 0) {
            fds[n] = {out_fd, POLLIN, 0};
            out_slot = n++;
        }
        if (poll(fds, static_cast<nfds_t>(n), -1) < 0) {
            if (errno == EINTR)
                continue;
            return;
        }
        if (in_slot >= 0 && fds[in_slot].revents) {
            ssize_t k = (fds[in_slot].revents & POLLOUT)
                            ? ::write(in_fd, input->data() + written, input->size() - written)
                            : -1;
            if (k > 0)
                written += static_cast<size_t>(k);
            if (k < 0 || written == input->size()) {
                ::close(in_fd);
                in_fd = -1;
            }
        }
        if (out_slot >= 0 && fds[out_slot].revents) {
            char buffer[8192];
            ssize_t k = ::read(out_fd, buffer, sizeof buffer);
            if (k > 0) {
                output->append(buffer, static_cast<size_t>(k));
            } else if (k == 0 || errno != EINTR) {
                out_fd = -1;
            }
        }
    }
}

} // namespace

std::string ToolRun::outcome() const {
    if (!started)
        return "not started";
    if (signal)
        return "signal " + std::to_string(signal);
    return "exit status " + std::to_string(exit_status);
}

ToolRun run_tool(const std::vector<std::string> &argv, const ToolOptions &options) {
    ToolRun run;
    if (argv.empty()) {
        run.start_error = "empty command";
        return run;
    }
    Pipe in, out;
    SpawnActions spawn;
    if (options.input) {
        if (!in.open()) {
            run.start_error = std::strerror(errno);
            return run;
        }
        posix_spawn_file_actions_adddup2(&spawn.actions, in.fd[0], 0);
    } else {
        posix_spawn_file_actions_addopen(&spawn.actions, 0, "/dev/null", O_RDONLY, 0);
    }
    if (options.capture_output) {
        if (!out.open()) {
            run.start_error = std::strerror(errno);
            return run;
        }
        posix_spawn_file_actions_adddup2(&spawn.actions, out.fd[1], 1);
    } else if (options.output_to_stderr) {
        posix_spawn_file_actions_adddup2(&spawn.actions, 2, 1);
    }

    std::vector<char *> args;
    for (const auto &a : argv)
        args.push_back(const_cast<char *>(a.c_str()));
    args.push_back(nullptr);

    // The child starts with default signal handling whatever the host set.
    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    sigset_t defaults;
    sigemptyset(&defaults);
    sigaddset(&defaults, SIGPIPE);
    sigaddset(&defaults, SIGCHLD);
    sigaddset(&defaults, SIGINT);
    sigaddset(&defaults, SIGTERM);
    posix_spawnattr_setsigdefault(&attr, &defaults);
    sigset_t none;
    sigemptyset(&none);
    posix_spawnattr_setsigmask(&attr, &none);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);

    pid_t pid = -1;
    const int rc = posix_spawnp(&pid, args[0], &spawn.actions, &attr, args.data(), environ);
    posix_spawnattr_destroy(&attr);
    if (rc != 0) {
        run.start_errno = rc;
        run.start_error = std::strerror(rc);
        return run;
    }
    run.started = true;
    in.close_end(0);
    out.close_end(1);

    // Writing to a reader that went away must not kill the host.
    struct sigaction ignore{}, previous{};
    ignore.sa_handler = SIG_IGN;
    sigaction(SIGPIPE, &ignore, &previous);
    int in_fd = options.input ? in.fd[1] : -1;
    int out_fd = options.capture_output ? out.fd[0] : -1;
    exchange(in_fd, options.input ? &*options.input : nullptr, out_fd, &run.output);
    sigaction(SIGPIPE, &previous, nullptr);

    int status = 0;
    pid_t waited;
    while ((waited = waitpid(pid, &status, 0)) < 0 && errno == EINTR) {
    }
    if (waited < 0) {
        run.start_error = std::strerror(errno);
        run.exit_status = -1;
        return run;
    }
    if (WIFEXITED(status))
        run.exit_status = WEXITSTATUS(status);
    else if (WIFSIGNALED(status))
        run.signal = WTERMSIG(status);
    return run;
}

bool is_shell_safe(std::string_view word) {
    if (word.empty())
        return false;
    for (char c : word) {
        const bool safe = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                          std::strchr("_-./:@%+,=^", c) != nullptr;
        if (!safe || c == '\0')
            return false;
    }
    return true;
}

std::string shell_quote(std::string_view word) {
    if (is_shell_safe(word))
        return std::string(word);
    std::string quoted = "'";
    for (char c : word) {
        if (c == '\'')
            quoted += "'\\''";
        else
            quoted += c;
    }
    quoted += '\'';
    return quoted;
}

std::string command_text(const std::vector<std::string> &argv) {
    std::string text;
    for (const auto &word : argv) {
        if (!text.empty())
            text += ' ';
        text += shell_quote(word);
    }
    return text;
}

void warn_if_failed(const std::vector<std::string> &argv, const ToolRun &run, std::string_view mailbox) {
    if (!run.started || run.succeeded())
        return;
    if (mailbox.empty())
        msg("Warning: command [%s] ended with %s", command_text(argv).c_str(), run.outcome().c_str());
    else
        msg("Warning: command [%s] ended with %s for mailbox %.*s", command_text(argv).c_str(),
            run.outcome().c_str(), static_cast<int>(mailbox.size()), mailbox.data());
}

} // namespace ark
