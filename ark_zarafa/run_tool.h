// Runs the server's tools and the generated scripts: always with an argument
// vector, never through shell text built from data.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "system/process.h"

namespace ark {

struct ToolRun {
    bool started = false;    // false: the program could not be started
    int exit_status = -1;    // when it exited normally
    int signal = 0;          // when a signal ended it
    std::string output;      // standard output, when captured
    std::string errors;      // standard error, when captured
    std::string start_error; // why it could not be started
    int start_errno = 0;     // and its error number
    int wait_errno = 0;      // started, but its end could not be learned
    bool succeeded() const { return started && wait_errno == 0 && signal == 0 && exit_status == 0; }
    // "exit status N", "signal N" or why the status is unknown, for warnings.
    std::string outcome() const;
};

struct ToolOptions {
    bool capture_output = false;      // else standard output is the host's
    bool output_to_stderr = false;    // send standard output to standard error
    std::optional<std::string> input{}; // standard input text; /dev/null when absent
    std::optional<std::string> cwd{};   // the tool's directory; the process's own when absent
    bool capture_errors = false;        // else standard error is the host's
    std::optional<int> cwd_fd{};        // the tool's directory by descriptor; wins over cwd
};

// The umask of every tool and script the plug-in runs: what they write
// (exported mail among it) is the backup account's alone.
constexpr mode_t kToolUmask = 077;

// Descriptors that every tool started from now on keeps (the operation's
// job lock); replaces the earlier set. An empty set ends the inheritance.
void set_inherited_by_tools(std::vector<int> fds);

// Run argv[0], searched on PATH, to its end: a layer over the system
// layer's process runner with the plug-in's conventions (umask kToolUmask,
// a PATH of absolute entries only, the inherited descriptors).
ToolRun run_tool(const std::vector<std::string> &argv, const ToolOptions &options = {});

// The same run, to be started by the caller (sys::Child), and its result in
// the plug-in's terms.
sys::Command tool_command(const std::vector<std::string> &argv, const ToolOptions &options = {});
ToolRun tool_run_of(const sys::Result &result);

// True when a word needs no quoting in a shell command line.
bool is_shell_safe(std::string_view word);

// The word as one shell word: unchanged when safe, else in single quotes.
std::string shell_quote(std::string_view word);

// The command line as a message shows it: words joined by blanks, each
// quoted only when it is not shell-safe.
std::string command_text(const std::vector<std::string> &argv);

// Warn, naming the command, when a tool ran but did not succeed. A run that
// concerns one mailbox names it at the end of the warning (" for mailbox
// NAME"), so that the host can tell which mailbox drew the warning.
void warn_if_failed(const std::vector<std::string> &argv, const ToolRun &run, std::string_view mailbox = {});

} // namespace ark
