// Internal view of the index-file reader, shared with the list-file writer.
#pragma once

#include <cstddef>
#include <functional>
#include <string_view>

#include "system/line_reader.h"

namespace ark {

// A record key must fit the 100-character key buffers of the interface.
constexpr size_t kMaxRecordKey = 99;

enum class KeyStatus { none, found, too_long };

struct IndexKey {
    KeyStatus status = KeyStatus::none;
    std::string_view key; // points into the line; also set when too long
};

// The record key of one index line: field 5 of a line holding "M:", else
// field 7 of a line holding "C:", where runs of ":" separate fields (see
// fields.h) and a further field must follow the key.
IndexKey index_line_key(std::string_view line);

// Hands the record key of every further line of an index file to take, in
// order, until take returns false. lines_read is how many lines were read
// before (lines are numbered from 1 in messages); a key too long for its
// buffer is skipped with a warning naming the line and the file.
void read_index_keys(sys::LineReader &lines, int lines_read, const char *file_name,
                     const std::function<bool(std::string_view key)> &take);

} // namespace ark
