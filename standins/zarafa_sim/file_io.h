// Whole-file reads and writes with errors that name the file and the reason.
#pragma once

#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

namespace zsim {

namespace fs = std::filesystem;

std::string read_file(const fs::path &path);

// Writes a hidden sibling first and renames it into place, so that a reader
// (or a crash) never sees half a file, and a directory listing of the
// export directory never shows the temporary name as a mailbox file.
void write_file_atomic(const fs::path &path, std::string_view content);

// Writes the file in place; used where a partial file is the point.
void write_file_direct(const fs::path &path, std::string_view content);

std::vector<std::string_view> split(std::string_view text, char separator);

// Lines without their "\n"; a last line without one is kept.
std::vector<std::string_view> split_lines(std::string_view text);

} // namespace zsim
