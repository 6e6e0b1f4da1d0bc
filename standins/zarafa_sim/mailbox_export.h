// Export of one mailbox into "PREFIX.data.zbk" and "PREFIX.index.zbk" in a
// directory. When an index file of the mailbox is already there (a job's
// earlier run), only the messages it does not list go into the new data
// file, and the new index keeps every record of the old one.
#pragma once

#include "faults.h"
#include "store.h"

#include <cstdint>
#include <filesystem>

namespace zsim {

struct ExportResult {
    bool wrote_files = false;
    std::uint64_t generation = 0;
    std::size_t folders = 0;      // records in the index
    std::size_t messages = 0;     // records in the index
    std::size_t new_messages = 0; // in the data file
};

// Faults of the backup-* family change what is written; backup-half-data
// ends the process, as a crash in the middle of the data file would.
ExportResult export_mailbox(const Store &store, const MailboxId &id, const std::filesystem::path &dir,
                            const Faults &faults);

} // namespace zsim
