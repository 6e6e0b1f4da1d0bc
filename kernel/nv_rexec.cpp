// nv_rexec: executes a command on a remote client of the product.
//
// The tool parses its command line into a target ("host", "host|out" or
// "host|out|err") and a command string of quoted words, and leaves the remote
// execution, the logging and the signal set-up to the runtime library, which
// binds the globals below and SIGNAL_HANDLER by name.
#include "libnv.h"
#include "rexec_args.h"

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

using nvrexec::kArgBuf;

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

// Copy a checked argument into one of main's buffers.
void copy_arg(char (&buf)[kArgBuf], const std::string &text) {
    const std::size_t length = text.size() < kArgBuf ? text.size() : kArgBuf - 1;
    std::memcpy(buf, text.data(), length);
    buf[length] = '\0';
}

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

    const nvrexec::CommandLine line = nvrexec::parse_command_line(argc, argv);
    switch (line.action) {
    case nvrexec::Action::help:
        usage();
        return kExitOk;
    case nvrexec::Action::usage:
        usage();
        return kExitUsage;
    case nvrexec::Action::refuse:
        std::fprintf(stderr, "%s\n", line.error.c_str());
        usage();
        return kExitUsage;
    case nvrexec::Action::run:
        break;
    }
    copy_arg(szHost, line.host);
    copy_arg(szCmd, line.command);
    copy_arg(szOutFile, line.out_file);
    copy_arg(szErrFile, line.err_file);

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
