// backup: level 0 a FULL, level 1 a DIFF of the job named by the disk-list
// entry; the items as a pax archive on standard output, one index line per
// mailbox on descriptor 4, the messages on descriptor 3.
#include <signal.h>

#include "amanda_lines.h"
#include "backup_loop.h"
#include "commands.h"
#include "mailbox_outcomes.h"
#include "message_log.h"
#include "pax_store.h"
#include "printable.h"

namespace amanda_app {
namespace {

void on_broken_pipe(int) {}

// A dumper that goes away must break the stream with EPIPE, not end the
// application before the plug-in has heard of it.
void survive_closed_stream() {
    struct sigaction action {};
    action.sa_handler = on_broken_pipe;
    sigemptyset(&action.sa_mask);
    sigaction(SIGPIPE, &action, nullptr);
}

// Plug-in errors and warnings are strange lines, so that the report names
// them; the rest of what the plug-in says stays in the log file.
void echo_to_amanda(host::Shown kind, std::string_view line) {
    if (kind == host::Shown::error || kind == host::Shown::warning)
        backup_strange(line);
    else if (kind == host::Shown::notice)
        backup_normal(line);
}

// An index line names a mailbox as a file at the top of the dump, the way
// amrecover shows and selects it.
std::string index_line(const std::string &mailbox) { return "/" + host::printable(mailbox); }

} // namespace

int run_backup(const AppOptions &o) {
    survive_closed_stream();
    HeldMessages held;
    host::MessageLog::set_echo(echo_to_amanda);
    const int level = o.levels.empty() ? 0 : o.levels.front();
    if (level > 1) {
        backup_error("level " + std::to_string(level) + " is not supported: the highest level is 1 (a differential)");
        return 1;
    }
    AppSettings s;
    try {
        s = settings_of(o);
        prepare_session(s);
    } catch (const std::exception &e) {
        backup_error(e.what());
        return 1;
    }
    if (auto problem = job_name_problem(s.job)) {
        backup_error("the job name \"" + host::printable(s.job) + "\" is not usable (" + *problem +
                     "); set the property JOB");
        return 1;
    }
    if (auto problem = work_dir_problem(s.work_dir)) {
        backup_error("work directory (property TMP-DIR): " + *problem);
        return 1;
    }
    std::unique_ptr<host::Plugin> plugin = load_plugin(s);
    if (!plugin) {
        backup_error(host::MessageLog::get().last_error() + "; set the property PLUGIN");
        return 1;
    }

    host::OperationSettings op;
    op.level = level_word(level);
    op.job = s.job;
    op.saveset = s.job;
    op.exclude = s.exclude;
    op.workers = s.workers;
    if (s.tool_timeout)
        op.time_limit = static_cast<uint64_t>(*s.tool_timeout);
    op.work_dir = s.work_dir;
    op.databases = s.mailboxes;
    host::ControlVars vars = host::backup_control_vars(op);
    for (const auto &entry : vars.entries())
        host::MessageLog::get().note("control variable " + host::printable(entry));
    backup_normal(std::string("amarkzarafa: ") + (level == 0 ? "FULL" : "DIFF") + " backup of job " +
                  host::printable(s.job));

    host::RunSummary summary;
    PaxStore store(amanda_out());
    const host::OperationCalls calls =
        host::run_backup_operation(plugin->db(), host::level_of(*op.level), vars, store, summary);
    const bool stream_whole = store.finish();
    host::MessageLog::get().settle();

    if (o.index)
        for (const std::string &mailbox : store.mailboxes())
            write_line(index_fd, index_line(mailbox));
    for (const host::MailboxOutcome &outcome : host::MailboxOutcomes::get().outcomes())
        if (outcome.failed)
            backup_strange("mailbox " + host::printable(outcome.mailbox) +
                           " is not wholly in this dump: " + outcome.reason);
    if (!calls.init || !calls.close || !stream_whole) {
        const std::string why = !stream_whole ? "the backup stream is not complete"
                                : !calls.init ? "the plug-in could not start the backup"
                                              : "the plug-in could not end the backup";
        const std::string &last = host::MessageLog::get().last_error();
        backup_error(why + (last.empty() ? "" : ": " + last));
        return 1;
    }
    write_line(message_fd, "sendbackup: size " + std::to_string((store.bytes() + 1023) / 1024));
    return 0;
}

} // namespace amanda_app
