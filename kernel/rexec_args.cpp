// Parsing nv_rexec's command line.
#include "rexec_args.h"

#include <unistd.h>

#include <cstdio>
#include <string_view>

namespace nvrexec {
namespace {

bool is_help(std::string_view arg) {
    return (!arg.empty() && arg.front() == '?') || arg == "-h" || arg == "-?" || arg == "/?";
}

bool has_bar(std::string_view text) { return text.find('|') != std::string_view::npos; }

CommandLine refused(std::string error) {
    CommandLine line;
    line.action = Action::refuse;
    line.error = std::move(error);
    return line;
}

CommandLine too_long(const char *what) {
    char text[128];
    std::snprintf(text, sizeof text, "Error: %s longer than %zu characters", what, kArgBuf - 1);
    return refused(text);
}

// The runtime library's target joins host and file names with "|", so a
// name holding one would be split in the wrong place.
CommandLine with_bar(const char *what) { return refused(std::string("Error: ") + what + " must not contain \"|\""); }

// One word of the remote command: in double quotes, followed by a blank.
// Inside the quotes the characters the remote shell would still interpret
// ("\"", "\\", "$", "`") are escaped, so that every word arrives as exactly
// that word and cannot end its quoting or run a substitution.
void append_word(std::string &cmd, std::string_view word) {
    cmd += '"';
    for (char c : word) {
        if (c == '"' || c == '\\' || c == '$' || c == '`')
            cmd += '\\';
        cmd += c;
    }
    cmd += "\" ";
}

} // namespace

CommandLine parse_command_line(int argc, char *argv[]) {
    CommandLine line;
    if (argc == 2 && is_help(argv[1])) {
        line.action = Action::help;
        return line;
    }

    optind = 0; // a full restart of getopt's scan
    int opt;
    while ((opt = getopt(argc, argv, "+L:E:m:")) != -1) {
        switch (opt) {
        case 'L':
            line.out_file = optarg;
            if (line.out_file.size() >= kArgBuf)
                return too_long("output file name");
            if (has_bar(line.out_file))
                return with_bar("output file name");
            break;
        case 'E':
            line.err_file = optarg;
            if (line.err_file.size() >= kArgBuf)
                return too_long("error file name");
            if (has_bar(line.err_file))
                return with_bar("error file name");
            break;
        default: // -m and unknown letters: getopt has said what it had to
            break;
        }
    }

    if (optind >= argc - 1) {
        line.action = Action::usage;
        return line;
    }

    line.host = argv[optind];
    if (line.host.size() >= kArgBuf)
        return too_long("host name");
    if (has_bar(line.host))
        return with_bar("host name");
    for (int i = optind + 1; i < argc; ++i)
        append_word(line.command, argv[i]);
    if (line.command.size() >= kArgBuf)
        return too_long("command");
    line.action = Action::run;
    return line;
}

} // namespace nvrexec
