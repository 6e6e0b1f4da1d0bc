// Whether an export of one mailbox is usable: its index file was written by
// this export, is complete as far as its text can tell, and its data file is
// there. Under FULL and INCR the index file of the job's previous export is
// the base of the next increment, so a failed export must not leave a
// damaged or unmatched index in its place (the baseline journal puts the
// previous one back).
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace ark {

// What an index file's text lacks to be the index of a complete export, or
// nothing. An index cut off exactly at a line end after its root line is not
// detectable: the format carries no count of its lines and no end mark.
std::optional<std::string> index_text_problem(std::string_view text);

// Why the index file at path is not that of a complete export, or nothing.
// Reads only its first two lines and its last byte, whatever its size.
std::optional<std::string> index_file_problem(const std::string &path);

// Why the export of mailbox in dir is not usable, or nothing. index_unchanged
// tells that the index file is still the one in place before the export.
std::optional<std::string> export_problem(std::string_view mailbox, const std::string &dir, bool index_unchanged);

} // namespace ark
