// The two ways the plug-in's text formats separate fields with ":". They
// differ on purpose, each is the rule of the reader it serves:
// - the record keys of an index file are read with runs of ":" as one
//   separator, so empty fields do not count (field_in_runs);
// - the root key of an index file's root line is read as "cut -d:" reads it
//   in the full-restore script, every ":" separating and empty fields
//   counting (cut_field), so that the plug-in judges an index as the script
//   will use it.
#pragma once

#include <cstddef>
#include <string_view>

namespace ark {

struct RunField {
    bool found = false;     // the line has field n
    bool followed = false;  // and a further field after it
    std::string_view text;  // field n, pointing into the line
};

// Field n (from 1) of a line whose fields are separated by runs of ":".
RunField field_in_runs(std::string_view line, size_t n);

// Field n (from 1) where every ":" separates; empty when the line has fewer
// fields.
std::string_view cut_field(std::string_view line, size_t n);

} // namespace ark
