// Content checksum of a message: what the export files and the mailbox
// listing use to show that a message came back unchanged.
#pragma once

#include <string>
#include <string_view>

namespace zsim {

// 64-bit FNV-1a as 16 lowercase hexadecimal digits.
std::string checksum(std::string_view bytes);

} // namespace zsim
