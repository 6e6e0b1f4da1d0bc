// The baselines of FULL and INCR exports. A mailbox's index file in the
// job's export directory is what its next export leaves out, so it may only
// move forward once the host has stored every file of the export that wrote
// it, durably. The host promises that for everything it acknowledged by the
// time it closes the operation, so the baselines move there, all at once.
//
// Until then the baseline each export starts from is kept in the journal of
// the operation, one hidden file per export directory:
//
//   .baselines.journal   records appended with a checksum: the index a
//                        mailbox's export starts from (or that it had none),
//                        and that a whole-server export ran (every index
//                        file without a record is then one it made)
//
// The records of the next pending mailboxes of the directory are written
// together and synced once, before the first of their tools runs, so that a
// batch of exports costs one sync. A record torn by a crash belongs to an
// export whose tool never ran; recovery ignores it and what follows it.
//
// A DIFF holds every change since the job's last FULL, so it starts from
// the index that FULL left, kept apart once the host has stored the FULL:
//
//   .STEM.index.zbk.full         the index of the job's last stored FULL
//
// Its record holds that index (none there: it exports everything), so that
// a DIFF never stored leaves the FULL's index behind it, and the run after
// it still holds every change since the FULL. An INCR after a DIFF starts
// from the DIFF's index.
//
// At the close of a backup the index files of the exports the host
// acknowledged (and a FULL's ".full" copies) are made durable with one sync
// of their file system, then the journal is removed and its directory
// synced. An export with a failed item is undone at once; one never
// acknowledged, or every export when the host says it could not store the
// save set, at the close; a crash before the journal is gone is undone
// whole by recover_baselines() at the job's next FULL or INCR set-up.
//
// The previous version kept its journal in per-stem files, which recovery
// still reads: ".STEM.index.zbk.baseline" (a copy of the index the export
// started from), ".STEM.index.zbk.nobaseline" (it started from none) and
// ".ALL.export" (a whole-server export ran).
#pragma once

#include <sys/stat.h>

#include <cstddef>
#include <cstdint>
#include <deque>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "db_interface.h"
#include "system/fd.h"

namespace ark {

// What an export starts from and leaves.
enum class ExportLevel {
    copy,         // a baseline of no job
    full,         // its index, once stored, is the DIFF baseline
    incremental,  // starts from the mailbox's last stored index
    differential, // starts from the DIFF baseline
};

// The name of the journal in an export directory.
inline constexpr const char *kBaselineJournalName = ".baselines.journal";

// How many pending mailboxes one journal sync covers.
inline constexpr size_t kJournalBatch = 48;

// True when dir holds DIFF baselines, which only a job's FULL leaves (the
// journal is no sign of a job: a COPY keeps one while it runs).
bool holds_diff_baselines(const std::string &dir);

// Puts back the previous baseline of every export in dir that the journal
// left by an earlier operation (of this version or the previous one) holds,
// removes that export's files, and says so in one "Warning:" per mailbox.
// Returns the mailboxes concerned.
std::vector<std::string> recover_baselines(const std::string &dir);

// The journal of the current operation's exports.
class BaselineJournal {
public:
    using ExportId = std::size_t;

    // Before the tool exports mailbox into dir: keeps its baseline durably,
    // and those of the mailboxes in ahead (the next pending ones) in the same
    // sync. Nothing (after an "Error:" naming the mailbox) when that is not
    // possible; the export must then not run.
    std::optional<ExportId> begin(const std::string &mailbox, const std::string &dir,
                                  ExportLevel level = ExportLevel::incremental,
                                  const std::vector<std::string> &ahead = {});

    // After the tool ended. A whole-server export puts back every other
    // mailbox's index at once and removes the index files it made for them.
    void tool_ended(ExportId id);

    // True when the mailbox's index file is still the one the export started
    // from: the tool wrote nothing.
    bool index_unchanged(ExportId id) const;

    // The export is unusable and hands out nothing: its baseline comes back
    // at once, with a "Warning:" saying what was done with its index file.
    void abandon(ExportId id);

    // An export whose files are handed out without a baseline to keep
    // (COPY): nothing of it is undone from now on.
    void commit_now(ExportId id);

    // The files of the export that were queued for the host, in order. An
    // export that queued none is abandoned.
    void expect(ExportId id, const std::vector<std::string> &queued);

    // The host was handed path.
    void delivered(std::string_view path);

    // The host's result for the item last delivered. A failed item rolls its
    // export back; the export's files still queued are returned, for the
    // caller to take out of the queue. Success or a warning on the last
    // outstanding file makes the export one to commit at the close.
    struct Outcome {
        bool rolled_back = false;
        std::vector<std::string> dropped;
    };
    Outcome acknowledged(DB_ITEM_RESULT result);

    // The close of a backup: with stored, the exports whose every file was
    // acknowledged move their baselines forward, durably, and the rest are
    // rolled back; without (the host could not store the save set), every
    // export is rolled back with a "Warning:" per mailbox.
    void commit(bool stored);

    // The operation ends: every export not committed is rolled back.
    void close();

    bool active() const { return !exports_.empty(); }

private:
    // Where a stem's baseline is in its directory's journal.
    struct Record {
        bool had_index = false;
        uint64_t offset = 0; // of the index content
        uint64_t size = 0;
    };
    struct Journal {
        std::string dir;
        sys::Fd dirfd;
        sys::Fd file; // open for appending and reading
        uint64_t end = 0;
        bool broken = false; // a write failed part-way: nothing more is added
        // A COPY's journal only serves its own operation (nothing recovers
        // a directory without a job): it is unlinked at once and never
        // synced, and the directory empties as its files are stored.
        bool durable = true;
        std::map<std::string, Record> records; // by stem, the first one of each
    };
    struct Stem {
        std::string dir;
        std::string name; // "Public" for the public store
        std::string mailbox;
        int holders = 0;
        struct stat before {}; // of the index file when its export began
        bool had_index = false;
        std::optional<Record> record; // none: a whole-server export made it
    };
    enum class State { running, acknowledged, committed, rolled_back };
    struct Export {
        std::string mailbox;
        std::string dir;
        ExportLevel level = ExportLevel::incremental;
        std::vector<std::string> stems; // keys into stems_
        std::vector<std::string> before; // whole server: the index stems there were
        std::vector<std::string> outstanding;
        bool expected = false;
        State state = State::running;
        bool done() const { return state == State::committed || state == State::rolled_back; }
    };

    Journal *journal_of(const std::string &dir, ExportLevel level, std::string &error);
    bool record(Journal &j, const std::vector<std::string> &stems, ExportLevel level, bool whole_server,
                std::string &error);
    std::string take_stem(Journal &j, const std::string &name, const std::string &mailbox);
    void undo(const Stem &stem, ExportLevel level, bool say);
    void release(Export &e, bool commit);
    void finish(ExportId id, bool commit);
    void make_durable_and_drop();

    std::map<std::string, Journal> journals_; // by directory
    std::map<std::string, Stem> stems_;       // by "DIR/STEM"
    std::vector<Export> exports_;
    // Delivered paths, in order, with the export each came from.
    std::unordered_map<std::string, std::deque<ExportId>> queued_;
    std::optional<std::pair<std::string, ExportId>> last_delivered_;
};

// The journal of the plug-in's current operation.
BaselineJournal &baseline_journal();

} // namespace ark
