// The command line of nv_rexec: options, target names and the quoted
// command string, checked against the fixed buffers they are handed over in.
#pragma once

#include <cstddef>
#include <string>

namespace nvrexec {

// Host name, file names and command string travel in buffers of this size
// (terminator included).
constexpr std::size_t kArgBuf = 256;

enum class Action {
    help,   // a help argument alone: show the usage screen, succeed
    usage,  // too few operands: show the usage screen, fail
    refuse, // an argument does not fit or holds "|": message, usage screen, fail
    run,    // run the command
};

struct CommandLine {
    Action action = Action::usage;
    std::string error;    // the "Error: ..." line of a refusal
    std::string host;     // each of these fits kArgBuf with its terminator
    std::string out_file; // empty when -L was not given
    std::string err_file; // empty when -E was not given
    std::string command;  // the operands after the host, each quoted and followed by a blank
};

// Parse argv as nv_rexec does. Uses getopt, whose diagnostics for unknown
// letters go to standard error unless opterr is 0; the scan is restarted on
// every call, so the function may be called more than once per process.
CommandLine parse_command_line(int argc, char *argv[]);

} // namespace nvrexec
