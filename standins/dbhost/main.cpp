// dbhost: a backup host for the shell. It loads a DB_ plug-in, drives it
// through a backup or a restore, and keeps the items in a store of save sets.
#include <csignal>
#include <iostream>

#include "backup.h"
#include "cli.h"
#include "exit_status.h"
#include "help.h"
#include "host_core.h"
#include "info.h"
#include "listing.h"
#include "message_log.h"
#include "output_capture.h"
#include "restore.h"
#include "selftest.h"
#include "terminal.h"

using namespace dbhost;

namespace {

void on_broken_pipe(int) {}

// A reader that goes away (dbhost ... | head) must not end a backup half-way.
// A handler rather than SIG_IGN, so that the plug-in's child processes still
// start with the default disposition.
void survive_closed_output() {
    struct sigaction action {};
    action.sa_handler = on_broken_pipe;
    sigemptyset(&action.sa_mask);
    sigaction(SIGPIPE, &action, nullptr);
}

} // namespace

int main(int argc, char **argv) {
    survive_closed_output();
    MessageLog::set_echo([](Shown, std::string_view line) { terminal::err() << line << std::endl; });
    Options options;
    try {
        options = parse_command_line(argc, argv);
    } catch (const UsageError &e) {
        std::cerr << "Error: " << e.what() << "\n" << usage_text();
        return exit_usage;
    }
    if (options.help) {
        std::cout << help_text();
        return exit_ok;
    }
    try {
        // Listing only reads the store; it keeps no log.
        if (options.command != Command::list)
            MessageLog::open(options.log_file, options.verbose);
        // What the plug-in and its tools write on their own goes to the log
        // during an operation; info and selftest show it, it is what they
        // are for.
        std::unique_ptr<OutputCapture> capture;
        if (options.command == Command::backup || options.command == Command::restore)
            capture = OutputCapture::start(MessageLog::get().descriptor(), options.verbose);
        switch (options.command) {
        case Command::backup:
            return run_backup(options);
        case Command::restore:
            return run_restore(options);
        case Command::list:
            return run_list(options);
        case Command::info:
            return run_info(options);
        case Command::selftest:
            return run_selftest(options);
        case Command::none:
            break;
        }
    } catch (const std::exception &e) {
        MessageLog::get().error(e.what());
        return exit_failed;
    }
    return exit_usage;
}
