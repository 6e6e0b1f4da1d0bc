#include "support/terminal_run.h"

#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <stdexcept>

namespace arktest {

ProcessResult run_on_terminal(const std::vector<std::string> &argv, const ProcessOptions &options,
                              unsigned short columns) {
    const int master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0)
        throw std::runtime_error("no pseudo-terminal");
    const std::string slave_name = ptsname(master);
    winsize size{};
    size.ws_row = 50;
    size.ws_col = columns;
    ioctl(master, TIOCSWINSZ, &size);

    const pid_t pid = fork();
    if (pid < 0)
        throw std::runtime_error("fork failed");
    if (pid == 0) {
        setsid();
        const int slave = open(slave_name.c_str(), O_RDWR);
        if (slave < 0)
            _exit(126);
        if (options.cwd && chdir(options.cwd->c_str()) != 0)
            _exit(126);
        for (const auto &[k, v] : options.env)
            setenv(k.c_str(), v.c_str(), 1);
        const int devnull = open("/dev/null", O_RDONLY);
        dup2(devnull, 0);
        dup2(slave, 1);
        dup2(slave, 2);
        std::vector<char *> args;
        for (const auto &a : argv)
            args.push_back(const_cast<char *>(a.c_str()));
        args.push_back(nullptr);
        execvp(args[0], args.data());
        _exit(127);
    }

    // The terminal reports an error once the last process holding it is gone.
    ProcessResult result;
    char buffer[4096];
    for (;;) {
        const ssize_t n = read(master, buffer, sizeof buffer);
        if (n > 0)
            result.out.append(buffer, static_cast<size_t>(n));
        else if (n < 0 && errno == EINTR)
            continue;
        else
            break;
    }
    close(master);
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    if (WIFEXITED(status))
        result.exit_status = WEXITSTATUS(status);
    else if (WIFSIGNALED(status))
        result.signal = WTERMSIG(status);
    return result;
}

} // namespace arktest
