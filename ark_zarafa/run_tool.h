// Runs the server's tools and the generated scripts: always with an argument
// vector, never through shell text built from data.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace ark {

struct ToolRun {
    bool started = false;    // false: the program could not be started
    int exit_status = -1;    // when it exited normally
    int signal = 0;          // when a signal ended it
    std::string output;      // standard output, when captured
    std::string start_error; // why it could not be started
    int start_errno = 0;     // and its error number
    bool succeeded() const { return started && signal == 0 && exit_status == 0; }
    // "exit status N" or "signal N", for warnings.
    std::string outcome() const;
};

struct ToolOptions {
    bool capture_output = false;      // else standard output is the host's
    bool output_to_stderr = false;    // send standard output to standard error
    std::optional<std::string> input{}; // standard input text; /dev/null when absent
};

// Run argv[0], searched on PATH, to its end in the current directory.
ToolRun run_tool(const std::vector<std::string> &argv, const ToolOptions &options = {});

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
