#include "item_name.h"

namespace host {

std::optional<std::string> item_name_problem(std::string_view name) {
    if (name.empty())
        return "the item name is empty";
    if (name.size() > max_item_name)
        return "the item name is longer than " + std::to_string(max_item_name) + " characters";
    if (name.front() == '/')
        return "the item name is an absolute path";
    size_t start = 0;
    for (;;) {
        size_t end = name.find('/', start);
        std::string_view part = name.substr(start, end == std::string_view::npos ? end : end - start);
        if (part == "..")
            return "the item name leads out of its directory (\"..\")";
        if (part.empty() || part == ".")
            return "the item name is not a plain relative path";
        if (end == std::string_view::npos)
            return std::nullopt;
        start = end + 1;
    }
}

} // namespace host
