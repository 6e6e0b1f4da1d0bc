// The export of one mailbox, in the steps every export takes: before the
// tool runs (the directory, the baseline journal), the tool, and after it
// (judging the files, the index dump, the list file). The sequential export
// and the exports that run ahead of delivery share them.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "baseline_journal.h"

namespace ark {

struct MailboxExport {
    std::string mailbox;
    std::string dir;
    int dir_fd = -1;     // the export directory, opened and checked (the work tree keeps it)
    std::optional<BaselineJournal::ExportId> journal;
    bool ready = false;  // the tool may run
    std::string source;  // what ark_zarafa_backup_user hands back as the export directory
};

// "zarafa-backup -u NAME", "-p" for the public store, "-a" for "ALL".
std::vector<std::string> export_command(const std::string &mailbox);

// Everything before the tool runs; ready says whether it may.
MailboxExport prepare_export(const std::string &mailbox);

// Everything after the tool ended: 0, or -1 after an "Error:" when the
// export is unusable (its baseline then comes back).
int complete_export(const MailboxExport &e);

} // namespace ark
