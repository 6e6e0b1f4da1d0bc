// Text encodings used by the simulator's files: hexadecimal for fields of the
// ":"-separated export files, backslash escapes for the store's own files,
// and the record-key format.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace zsim {

std::string hex_encode(std::string_view bytes);
std::optional<std::string> hex_decode(std::string_view hex);

// A text as one field of an export file: "t" followed by lowercase hex, so a
// field is never empty and never holds ":" nor an upper-case letter.
std::string encode_field(std::string_view text);
std::optional<std::string> decode_field(std::string_view field);

// Backslash escapes for TAB, newline, carriage return and backslash, so that
// any text fits on one line of a store file.
std::string escape_text(std::string_view text);
std::optional<std::string> unescape_text(std::string_view text);

// Record keys are exactly 12 lowercase hexadecimal digits.
inline constexpr std::size_t record_key_length = 12;
bool is_record_key(std::string_view text);
std::string format_record_key(std::uint64_t value);

// Quotes a name for a message when it holds anything but plain characters.
std::string printable(std::string_view text);

} // namespace zsim
