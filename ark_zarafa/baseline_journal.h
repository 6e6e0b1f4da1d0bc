// The baselines of FULL and INCR exports. A mailbox's index file in the
// job's export directory is what its next export leaves out, so it may only
// move forward once the host has stored every file of the export that wrote
// it. Until then the previous index is kept beside it under a hidden name
// (or a hidden marker says there was none):
//
//   .STEM.index.zbk.baseline     copy of the index the export started from
//   .STEM.index.zbk.nobaseline   the export started from no index
//   .ALL.export                  a whole-server export ran: every index file
//                                without a journal of its own is its new one
//
// A DIFF holds every change since the job's last FULL, so it starts from
// the index that FULL left, kept apart once the host has stored the FULL:
//
//   .STEM.index.zbk.full         the index of the job's last stored FULL
//
// Its export puts that index in place before the journal is written (none
// there: it exports everything), so that a DIFF never acknowledged leaves
// the FULL's index behind it, and the run after it still holds every change
// since the FULL. An INCR after a DIFF starts from the DIFF's index.
//
// The journal is written and synced before the tool runs and removed once
// the host has acknowledged the export's last file, so that a crash at any
// point leaves either the old baseline or one whose files are all stored.
// An export never acknowledged is undone at once when the host reports a
// failed item or the operation ends, else by recover() at the job's next
// FULL or INCR set-up.
#pragma once

#include <sys/stat.h>

#include <cstddef>
#include <deque>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "db_interface.h"

namespace ark {

// What an export starts from and leaves.
enum class ExportLevel {
    copy,         // a baseline of no job
    full,         // its index, once stored, is the DIFF baseline
    incremental,  // starts from the mailbox's last stored index
    differential, // starts from the DIFF baseline
};

// True when dir holds DIFF baselines, which only a job's FULL leaves (the
// journal is no sign of a job: a COPY keeps one while its tool runs).
bool holds_diff_baselines(const std::string &dir);

// Puts back the previous baseline of every export in dir that was never
// acknowledged, removes that export's files, and says so in one "Warning:"
// per mailbox. Returns the mailboxes concerned.
std::vector<std::string> recover_baselines(const std::string &dir);

// The journal of the current operation's exports.
class BaselineJournal {
public:
    using ExportId = std::size_t;

    // Before the tool exports mailbox into dir: keeps its baseline durably.
    // Nothing (after an "Error:" naming the mailbox) when that is not
    // possible; the export must then not run.
    std::optional<ExportId> begin(const std::string &mailbox, const std::string &dir,
                                  ExportLevel level = ExportLevel::incremental);

    // After the tool ended. A whole-server export journals the index files
    // it created, then drops its ".ALL.export" mark.
    void tool_ended(ExportId id);

    // True when the mailbox's index file is still the one the export started
    // from: the tool wrote nothing.
    bool index_unchanged(ExportId id) const;

    // The export is unusable and hands out nothing: its baseline comes back
    // at once, with a "Warning:" saying what was done with its index file.
    void abandon(ExportId id);

    // An export whose files are handed out without a baseline to keep
    // (COPY): the journal is dropped as soon as the export proved usable.
    void commit_now(ExportId id);

    // The files of the export that were queued for the host, in order. An
    // export that queued none is abandoned.
    void expect(ExportId id, const std::vector<std::string> &queued);

    // The host was handed path.
    void delivered(std::string_view path);

    // The host's result for the item last delivered. A failed item rolls its
    // export back; the export's files still queued are returned, for the
    // caller to take out of the queue. Success or a warning on the last
    // outstanding file commits the export.
    struct Outcome {
        bool rolled_back = false;
        std::vector<std::string> dropped;
    };
    Outcome acknowledged(DB_ITEM_RESULT result);

    // The operation ends: every export not acknowledged is rolled back.
    void close();

    bool active() const { return !exports_.empty(); }

private:
    struct Stem {
        std::string dir;
        std::string name; // "Public" for the public store
        std::string mailbox;
        int holders = 0;
        struct stat before {}; // of the index file when its journal was written
        bool had_index = false;
    };
    struct Export {
        std::string mailbox;
        std::string dir;
        ExportLevel level = ExportLevel::incremental;
        std::vector<std::string> stems; // keys into stems_
        std::vector<std::string> before; // whole server: the index stems there were
        std::vector<std::string> outstanding;
        bool done = false;
    };

    std::string take_stem(const std::string &dir, const std::string &name, const std::string &mailbox, bool &ok);
    void release(Export &e, bool commit);
    void finish(ExportId id, bool commit);

    std::map<std::string, Stem> stems_; // by "DIR/STEM"
    std::vector<Export> exports_;
    // Delivered paths, in order, with the export each came from.
    std::unordered_map<std::string, std::deque<ExportId>> queued_;
    std::optional<std::pair<std::string, ExportId>> last_delivered_;
};

// The journal of the plug-in's current operation.
BaselineJournal &baseline_journal();

} // namespace ark
