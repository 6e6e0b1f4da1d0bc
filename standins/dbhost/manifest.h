// The manifest of a save set: a text file, one record per line, fields
// separated by tabs, names percent-encoded so that no byte of a name can
// break a line:
//
//   dbhost-saveset 2
//   name     <save-set name>
//   level    <FULL|INCR|DIFF|COPY>
//   job      <job name>                     (only when one was given)
//   created  <seconds since 1970>
//   sequence <n>                          (order of the backups in the store)
//   item     <size> <sha256> <level> <seconds since 1970> <item name>
//   ...
//   synced   <n>                          (the n item lines above are whole on disk)
//   item     ...
//   synced   <n>
//   end      <seconds since 1970> <complete|failed>
//
// Item lines are appended once their file is written, and the items are made
// durable in batches: the files of a batch are flushed first, then a synced
// line names how many item lines above it are now whole, and that line is
// flushed in turn. Item lines after the last synced line belong to a batch
// that was never confirmed: their files may be missing or torn after a power
// loss. The end line is missing when the backup was interrupted.
//
// Version 1 manifests have no synced lines: their writer flushed each file
// before its item line, so every item line of them is confirmed.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace dbhost {

struct ManifestItem {
    std::string name;
    uint64_t size = 0;
    std::string sha256;
    std::string level;
    int64_t time = 0;
};

struct Manifest {
    std::string saveset;
    std::string level;
    std::string job;
    int64_t created = 0;
    uint64_t sequence = 0; // 0 in manifests written before it was kept
    std::vector<ManifestItem> items;
    // The first `confirmed` items are whole on disk; the others were stored
    // after the last batch that was made durable.
    size_t confirmed = 0;
    bool ended = false; // false: the backup was interrupted
    bool complete = false;
    int64_t ended_time = 0;
    std::vector<std::string> problems; // lines that could not be read
};

std::string manifest_header(std::string_view saveset, std::string_view level, std::string_view job, int64_t created,
                            uint64_t sequence = 0);
std::string manifest_item_line(const ManifestItem &item);
std::string manifest_end_line(int64_t time, bool complete);
std::string manifest_synced_line(size_t items);

Manifest parse_manifest(std::string_view text);

// Percent-encoding of control characters, blanks, "%" and bytes above 0x7e.
std::string encode_field(std::string_view text);
std::optional<std::string> decode_field(std::string_view text);

} // namespace dbhost
