// Item names: the paths relative to "/" that a plug-in hands out and under
// which the store keeps the files.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace host {

// The longest item name that fits the plug-in's 256-character buffer.
inline constexpr size_t max_item_name = 255;

// Why a name cannot serve as an item name, or nothing when it can. Refused:
// empty names, absolute names, and names with an empty, "." or ".." component,
// so that an item always stays below the directory it is stored or restored in.
std::optional<std::string> item_name_problem(std::string_view name);

} // namespace host
