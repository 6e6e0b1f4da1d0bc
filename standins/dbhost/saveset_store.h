// The store: one directory per save set below the store directory, holding a
// manifest and the items' files under "data/" by their item names.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

#include "file_io.h"
#include "host_core.h"
#include "manifest.h"

namespace dbhost {

namespace fs = std::filesystem;

class StoreError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// The directory name of a save set: every byte other than letters, digits,
// "_", "-" and a "." that does not lead is written as %XX, so that "/", ".."
// or a hidden name can never leave the store or hide in it. Throws
// StoreError for names too long for a directory entry.
std::string saveset_directory_name(const std::string &saveset);

struct SaveSet {
    fs::path dir;
    Manifest manifest;
    // A --replace backup that is still running or was interrupted, in its
    // staging directory beside the save set it was to replace.
    bool staged = false;
    // Items stored after the last durable batch that settle_unconfirmed
    // found whole and kept.
    size_t checked_whole = 0;
    fs::path item_file(const std::string &item_name) const { return dir / "data" / item_name; }
};

// When the items of a save set are made durable together: after so many
// items or so many bytes since the last batch, whichever comes first, and
// before the operation is closed.
struct BatchLimits {
    uint64_t items = 128;
    uint64_t bytes = uint64_t{128} << 20;
};

// Test-only faults of the store's batches, counted from 1 over the batches
// of one backup (the last one made before the close included).
struct StoreFaults {
    // Dies by SIGKILL once the batch's files are flushed, before its synced
    // line is written.
    std::optional<uint64_t> kill_before_commit;
    // Takes the flush of that batch's files as failed (EIO).
    std::optional<uint64_t> fail_sync;
};

// Writes one save set. Without replace the save set must not exist yet
// (save sets are never changed once written). With replace the new save set
// is built beside the old one and takes its place only when the backup ends
// without failure; one that failed, or that an earlier run left unfinished,
// is kept as a save set of its own ("<name>.failed-<sequence>"), since the
// plug-in has moved its baselines for what it stored.
class SaveSetWriter {
public:
    SaveSetWriter(const fs::path &store, const std::string &saveset, const std::string &level, const std::string &job,
                  bool replace, BatchLimits limits = {}, StoreFaults faults = {});

    // Copies the file source into the save set as item name and records it
    // in the manifest once the copy is written (not yet durable: see
    // make_durable); a full batch is made durable on the way. Throws
    // StoreError or std::system_error; the manifest then does not mention
    // the item, or mentions it unconfirmed when only the batch's flush
    // failed. After a failed flush every later item is refused.
    Checked store_item(const std::string &name, const fs::path &source);

    // Makes every item stored so far durable, and the manifest say so: one
    // flush of the store's file system, then the synced line and a flush of
    // the manifest. Throws StoreError or std::system_error when that, or an
    // earlier batch, failed.
    void make_durable();

    // Writes the end line. With replace and complete, puts the new save set
    // in place of the old one and returns true; with replace and a failure,
    // keeps it under its own name (kept_as).
    bool finish(bool complete);

    // The name under which a failed replacement was kept; empty otherwise.
    const std::string &kept_as() const { return kept_as_; }

    const fs::path &dir() const { return dir_; }

private:
    void commit_batch();

    fs::path store_;
    fs::path final_;
    fs::path dir_; // where items are written: final_, or a staging directory
    std::string level_;
    bool replace_;
    Fd manifest_;
    BatchLimits limits_;
    StoreFaults faults_;
    uint64_t batches_ = 0; // batches made durable or tried
    uint64_t stored_ = 0;  // item lines written
    uint64_t unsynced_items_ = 0, unsynced_bytes_ = 0;
    bool dirty_ = true; // written since the last batch was made durable (the header at first)
    std::string sync_failure_; // why an earlier batch could not be made durable
    std::set<std::string> held_;
    std::string kept_as_;
};

// Turns the staging directory of a replacement that failed or was
// interrupted into an ordinary save set of its own name, and returns that
// name. Throws StoreError or std::system_error.
std::string keep_staged_saveset(const fs::path &store, const fs::path &staging);

// Settles the items of a save set that were stored after its last durable
// batch (a backup interrupted, or one whose last flush failed): each is kept
// when its stored file still matches its manifest line, and left out
// otherwise. Afterwards every item of set.manifest is confirmed. Returns the
// names left out.
std::vector<std::string> settle_unconfirmed(SaveSet &set);

// Reads a save set; throws StoreError when the store has none of that name.
SaveSet open_saveset(const fs::path &store, const std::string &saveset);

// Every save set of the store, sorted by name, with the staging directories
// of unfinished replacements (staged); a directory without a readable
// manifest is reported through problems.
std::vector<SaveSet> read_store(const fs::path &store, std::vector<std::string> &problems);

} // namespace dbhost
