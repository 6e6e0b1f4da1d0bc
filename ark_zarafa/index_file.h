// Internal view of the index-file reader, shared with the list-file writer.
#pragma once

#include <cstddef>
#include <string_view>

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

} // namespace ark
