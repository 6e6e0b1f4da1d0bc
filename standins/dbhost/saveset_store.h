// The store: one directory per save set below the store directory, holding a
// manifest and the items' files under "data/" by their item names.
#pragma once

#include <cstdint>
#include <filesystem>
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
    fs::path item_file(const std::string &item_name) const { return dir / "data" / item_name; }
};

// Writes one save set. Without replace the save set must not exist yet
// (save sets are never changed once written). With replace the new save set
// is built beside the old one and takes its place only when the backup ends
// without failure.
class SaveSetWriter {
public:
    SaveSetWriter(const fs::path &store, const std::string &saveset, const std::string &level, const std::string &job,
                  bool replace);

    // Copies the file source into the save set as item name and records it
    // in the manifest once the copy is on disk. Throws StoreError or
    // std::system_error; the manifest then does not mention the item.
    Checked store_item(const std::string &name, const fs::path &source);

    // Writes the end line. With replace and complete, puts the new save set
    // in place of the old one and returns true.
    bool finish(bool complete);

    const fs::path &dir() const { return dir_; }

private:
    fs::path store_;
    fs::path final_;
    fs::path dir_; // where items are written: final_, or a staging directory
    std::string level_;
    bool replace_;
    Fd manifest_;
    std::set<std::string> held_;
};

// Reads a save set; throws StoreError when the store has none of that name.
SaveSet open_saveset(const fs::path &store, const std::string &saveset);

// Every save set of the store, sorted by name; a directory without a readable
// manifest is reported through problems.
std::vector<SaveSet> read_store(const fs::path &store, std::vector<std::string> &problems);

} // namespace dbhost
