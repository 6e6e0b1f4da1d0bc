// Exports that run ahead of delivery: with more than one worker, the
// exports of the next pending mailboxes start while the host stores the
// files of earlier ones. Each tool gets its directory from the spawn and its
// output is captured; at the mailbox's turn its held messages and its output
// are delivered, so that the log reads as a sequential run.
#pragma once

#include <deque>
#include <optional>
#include <string>
#include <vector>

#include "list.h"
#include "mailbox_export.h"
#include "messages.h"
#include "run_tool.h"
#include "system/process.h"
#include "tool_output.h"

namespace ark {

class ExportPipeline {
public:
    // Starts exports for the mailboxes at the head of pending, in list
    // order, until workers of them run or are ready ahead.
    void top_up(const LIST_INFO *pending, int workers);

    // At the turn of mailbox: true when its export ran ahead. Its held
    // messages and output are then delivered, its tool has ended, and e is
    // what prepare_export gave. Exports ahead that no longer match the
    // pending list are stopped.
    bool take(const std::string &mailbox, MailboxExport &e);

    // Stops every tool still running (SIGTERM, then SIGKILL after a short
    // grace), reaps it, and gives its mailbox's baseline back.
    void stop_all();

    bool empty() const { return ahead_.empty(); }

private:
    struct Ahead {
        MailboxExport e;
        HeldMessages held;
        std::vector<std::string> argv;
        sys::Child child;
        ToolOutput output;
    };
    std::deque<Ahead> ahead_;
};

ExportPipeline &export_pipeline();

} // namespace ark
