// The manifest of a save set: a text file, one record per line, fields
// separated by tabs, names percent-encoded so that no byte of a name can
// break a line:
//
//   dbhost-saveset 1
//   name     <save-set name>
//   level    <FULL|INCR|DIFF|COPY>
//   job      <job name>                     (only when one was given)
//   created  <seconds since 1970>
//   sequence <n>                          (order of the backups in the store)
//   item     <size> <sha256> <level> <seconds since 1970> <item name>
//   ...
//   end      <seconds since 1970> <complete|failed>
//
// Item lines are appended only after their file is on disk; the end line is
// missing when the backup was interrupted.
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
    bool ended = false; // false: the backup was interrupted
    bool complete = false;
    int64_t ended_time = 0;
    std::vector<std::string> problems; // lines that could not be read
};

std::string manifest_header(std::string_view saveset, std::string_view level, std::string_view job, int64_t created,
                            uint64_t sequence = 0);
std::string manifest_item_line(const ManifestItem &item);
std::string manifest_end_line(int64_t time, bool complete);

Manifest parse_manifest(std::string_view text);

// Percent-encoding of control characters, blanks, "%" and bytes above 0x7e.
std::string encode_field(std::string_view text);
std::optional<std::string> decode_field(std::string_view text);

} // namespace dbhost
