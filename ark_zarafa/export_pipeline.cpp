#include "export_pipeline.h"

#include <chrono>
#include <cstdio>
#include <iterator>

#include "fifo_strings.h"
#include "mailbox_files.h"

namespace ark {

namespace {

constexpr std::chrono::milliseconds kStopGrace{1000};

// True when no mailbox before item in the pending list shares its stem.
bool runs_alone_ahead(const LIST_INFO *pending, const LIST_ITEM *item) {
    const std::string stem = mailbox_file_stem(item_text(item));
    for (const LIST_ITEM *before = pending->spFirstItem; before && before != item; before = before->spNextItem)
        if (item_text(before) == "ALL" || mailbox_file_stem(item_text(before)) == stem)
            return false;
    return true;
}

} // namespace

void ExportPipeline::top_up(const LIST_INFO *pending, int workers) {
    if (workers <= 1 || !pending)
        return;
    const LIST_ITEM *item = pending->spFirstItem;
    for (size_t skipped = 0; item && skipped < ahead_.size(); ++skipped)
        item = item->spNextItem;
    for (; item && static_cast<int>(ahead_.size()) < workers; item = item->spNextItem) {
        const std::string mailbox(item_text(item));
        // The whole-server export rewrites every mailbox's files, and two
        // mailboxes of one stem write the same files: such an export waits
        // for its turn, and so does everything after it.
        if (mailbox == "ALL" || !runs_alone_ahead(pending, item))
            return;
        Ahead &a = ahead_.emplace_back();
        {
            HeldMessages::Scope hold(a.held);
            a.e = prepare_export(mailbox);
            if (!a.e.ready)
                continue;
            a.argv = export_command(mailbox);
            msg("Start export: [%s]", command_text(a.argv).c_str());
        }
        ToolOptions options;
        options.cwd_fd = a.e.dir_fd;
        options.capture_output = true;
        options.capture_errors = true;
        // Its own process group, so that stopping it stops what it started.
        sys::Command command = tool_command(a.argv, options);
        command.own_process_group = true;
        a.child = sys::Child(command);
    }
}

bool ExportPipeline::take(const std::string &mailbox, MailboxExport &e) {
    if (ahead_.empty())
        return false;
    if (ahead_.front().e.mailbox != mailbox) {
        // The pending list was changed behind the pipeline's back: what ran
        // ahead no longer matches, so it is undone and this one runs alone.
        stop_all();
        return false;
    }
    Ahead a = std::move(ahead_.front());
    ahead_.pop_front();
    a.held.deliver();
    e = a.e;
    if (!a.e.ready)
        return true;
    const ToolRun run = tool_run_of(a.child.started() ? a.child.wait() : a.child.result());
    HeldMessages output;
    output.hold_output(run.output, run.errors);
    output.deliver();
    if (!run.started)
        msg("Warning: can't run [%s]: %s", command_text(a.argv).c_str(), run.start_error.c_str());
    warn_if_failed(a.argv, run, mailbox);
    return true;
}

void ExportPipeline::stop_all() {
    std::deque<Ahead> ahead = std::move(ahead_);
    ahead_.clear();
    for (Ahead &a : ahead) {
        if (a.child.running())
            a.child.stop(kStopGrace);
        if (a.e.journal) {
            msg("Warning: the export of mailbox %s that ran ahead is stopped and undone; its baseline is kept",
                a.e.mailbox.c_str());
            baseline_journal().abandon(*a.e.journal);
        }
    }
}

ExportPipeline &export_pipeline() {
    static ExportPipeline pipeline;
    return pipeline;
}

} // namespace ark
