// nv_rexec: executes a command on a remote client of the product.
//
// The tool parses its command line into a target ("host", "host|out" or
// "host|out|err") and a command string of quoted words, and leaves the remote
// execution, the logging and the signal set-up to the runtime library, which
// binds the globals below and SIGNAL_HANDLER by name.
#include "libnv.h"

#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

extern "C" {

str_log strLog{};
LANGUAGES eLang = LANG_EN;
char gcInterrupt = 'n';
char tmp_sc[NV_TMP_SC_LEN]{};
char gszRo[NV_GSZ_LEN]{};
char gszRw[NV_GSZ_LEN]{};
sFormat *strpAnfang = nullptr;
sFormat *strpEnde = nullptr;
sFormat *strpNext = nullptr;

// Records an interrupt for the runtime library's long-running operations; a
// second one ends the program. Runs as a signal handler: WRITE_TRACE, signal
// set-up and _exit are safe here, exit() (atexit handlers, stdio) is not.
void SIGNAL_HANDLER(int iSignal) {
    if (strLog.iFlg > 0)
        WRITE_TRACE(&strLog, "+++ SIGNAL_HANDLER %d", iSignal);
    if (gcInterrupt == 'y') {
        if (strLog.iFlg > 0)
            WRITE_TRACE(&strLog, "--- SIGNAL_HANDLER got signal twice so exit now with code 2");
        _exit(2);
    }
    if (iSignal == SIGINT || iSignal == SIGTERM) {
        gcInterrupt = 'y';
        struct sigaction action {};
        action.sa_handler = SIGNAL_HANDLER;
        sigemptyset(&action.sa_mask);
        sigaddset(&action.sa_mask, SIGINT);
        sigaddset(&action.sa_mask, SIGTERM);
        action.sa_flags = SA_RESTART;
        sigaction(SIGINT, &action, nullptr);
        if (strLog.iFlg > 0)
            WRITE_TRACE(&strLog, "--- SIGNAL_HANDLER got SIGINT gcInterrupt set to y");
    } else if (strLog.iFlg > 0) {
        WRITE_TRACE(&strLog, "--- SIGNAL_HANDLER returns");
    }
}

} // extern "C"

namespace {

constexpr const char *kRcsId = "$Id: nv_rexec.cpp,v 1.4 nv_rexec $";

// Host name, file names and command string are held in buffers of this size
// (terminator included) and handed to the runtime library as C strings.
constexpr std::size_t kArgBuf = 256;

enum ExitStatus { kExitOk = 0, kExitFailed = 2, kExitUsage = 3 };

void usage() {
    auto line = [](std::string_view text) {
        std::string padded(text);
        if (padded.size() < 80)
            padded.append(80 - padded.size(), ' ');
        std::puts(padded.c_str());
    };
    std::puts(kRcsId);
    line(std::string(80, '-'));
    line("");
    line(" Description:  Execute a command on a remote client");
    line("");
    line(" Syntax:");
    line(" nv_rexec -L <outfile> -E <errfile> <hostname> <command>");
    line("");
    line(" Example: nv_rexec -L STDOUT linux ark");
    line("");
    line("");
    line(std::string(80, '-'));
}

bool is_help(std::string_view arg) {
    return (!arg.empty() && arg.front() == '?') || arg == "-h" || arg == "-?" || arg == "/?";
}

// Copy an argument into one of main's buffers; false when it does not fit.
bool copy_arg(char (&buf)[kArgBuf], std::string_view text) {
    if (text.size() >= kArgBuf)
        return false;
    std::memcpy(buf, text.data(), text.size());
    buf[text.size()] = '\0';
    return true;
}

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

int refuse(const char *what) {
    std::fprintf(stderr, "Error: %s longer than %zu characters\n", what, kArgBuf - 1);
    usage();
    return kExitUsage;
}

// The runtime library's target joins host and file names with "|", so a
// name holding one would be split in the wrong place.
int refuse_bar(const char *what) {
    std::fprintf(stderr, "Error: %s must not contain \"|\"\n", what);
    usage();
    return kExitUsage;
}

bool has_bar(std::string_view text) { return text.find('|') != std::string_view::npos; }

} // namespace

int main(int argc, char *argv[]) {
    char szHost[kArgBuf] = {};
    char szCmd[kArgBuf] = {};
    char szMsg[NV_MSG_LEN] = {};
    char szOutFile[kArgBuf] = {};
    char szErrFile[kArgBuf] = {};

    v_set_log_main("nv_rexec.lgc", "NV_REXEC", &strLog);
    if (strLog.iFlg > 0)
        WRITE_TRACE(&strLog, "%s", kRcsId);

    if (argc == 2 && is_help(argv[1])) {
        usage();
        return kExitOk;
    }

    int opt;
    while ((opt = getopt(argc, argv, "+L:E:m:")) != -1) {
        switch (opt) {
        case 'L':
            if (!copy_arg(szOutFile, optarg))
                return refuse("output file name");
            if (has_bar(optarg))
                return refuse_bar("output file name");
            break;
        case 'E':
            if (!copy_arg(szErrFile, optarg))
                return refuse("error file name");
            if (has_bar(optarg))
                return refuse_bar("error file name");
            break;
        default: // -m and unknown letters: getopt has said what it had to
            break;
        }
    }

    if (optind >= argc - 1) {
        usage();
        return kExitUsage;
    }

    if (!copy_arg(szHost, argv[optind]))
        return refuse("host name");
    if (has_bar(szHost))
        return refuse_bar("host name");
    std::string cmd;
    for (int i = optind + 1; i < argc; ++i)
        append_word(cmd, argv[i]);
    if (!copy_arg(szCmd, cmd))
        return refuse("command");

    if (strLog.iFlg > 0)
        WRITE_TRACE(&strLog, "Host: %s, Command: %s", szHost, szCmd);

    const char *target = szHost;
    if (szOutFile[0] && szErrFile[0])
        target = str_chain(tmp_sc, 1, szHost, "|", szOutFile, "|", szErrFile, "");
    else if (szOutFile[0])
        target = str_chain(tmp_sc, 1, szHost, "|", szOutFile, "");

    const int iSts = REMOTE_CMD(target, szCmd, 1, szMsg, strLog);
    return iSts ? kExitOk : kExitFailed;
}
