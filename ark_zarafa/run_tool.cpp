// The plug-in's tool runs: the system layer's runner, with the host's
// standard output and error for the tool unless asked otherwise.
#include "run_tool.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "messages.h"
#include "system/process.h"

namespace ark {

std::string ToolRun::outcome() const {
    if (!started)
        return "not started";
    if (wait_errno)
        return "an exit status that could not be learned (" + std::string(std::strerror(wait_errno)) +
               (wait_errno == ECHILD ? ": SIGCHLD is ignored, or the tool was reaped elsewhere)" : ")");
    if (signal)
        return "signal " + std::to_string(signal);
    return "exit status " + std::to_string(exit_status);
}

namespace {

std::vector<int> &inherited_fds() {
    static std::vector<int> fds;
    return fds;
}

// The process's environment, unless its PATH has an empty or relative
// entry: then a copy with those left out, so that neither the search for
// the tool nor the tool's own searches run a program planted in a
// directory it works in.
std::optional<std::vector<std::string>> tool_environment() {
    const char *path = std::getenv("PATH");
    if (!path)
        return std::nullopt;
    const std::string clean = sys::absolute_path_entries(path);
    if (clean == path)
        return std::nullopt;
    return sys::environment_with({{"PATH", clean}});
}

} // namespace

void set_inherited_by_tools(std::vector<int> fds) { inherited_fds() = std::move(fds); }

sys::Command tool_command(const std::vector<std::string> &argv, const ToolOptions &options) {
    sys::Command command{.argv = argv, .env = tool_environment(), .input = options.input};
    if (options.cwd)
        command.cwd = *options.cwd;
    command.cwd_fd = options.cwd_fd;
    command.umask = kToolUmask;
    command.inherit_fds = inherited_fds();
    if (options.capture_output)
        command.out = sys::Output::capture();
    else if (options.output_to_stderr)
        command.out = sys::Output::to_stderr();
    if (options.capture_errors)
        command.err = sys::Output::capture();
    return command;
}

ToolRun tool_run_of(const sys::Result &result) {
    ToolRun run;
    switch (result.state) {
    case sys::Result::State::not_started:
        run.start_errno = result.error;
        run.start_error = std::strerror(result.error);
        return run;
    case sys::Result::State::exited:
        run.exit_status = result.status;
        break;
    case sys::Result::State::signalled:
        run.signal = result.signal;
        break;
    case sys::Result::State::unknown:
        run.wait_errno = result.error;
        run.start_error = std::strerror(result.error);
        break;
    }
    run.started = true;
    run.output = result.out;
    run.errors = result.err;
    return run;
}

ToolRun run_tool(const std::vector<std::string> &argv, const ToolOptions &options) {
    if (argv.empty()) {
        ToolRun run;
        run.start_error = "empty command";
        return run;
    }
    return tool_run_of(sys::run(tool_command(argv, options)));
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
