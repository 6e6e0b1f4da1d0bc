// Strings in and out of the FIFO lists.
#include "fifo_strings.h"

#include <cstring>

namespace ark {

std::string_view item_text(const LIST_ITEM *item) {
    if (!item || !item->vpData || item->iDataSize <= 0)
        return {};
    const auto *data = static_cast<const char *>(item->vpData);
    return {data, strnlen(data, static_cast<size_t>(item->iDataSize))};
}

bool push_string(LIST_INFO *list, std::string_view text) {
    const std::string copy(text);
    return PushFIFOItem(list, copy.c_str(), static_cast<uint32_t>(copy.size() + 1)) == TRUE;
}

bool pull_string(LIST_INFO *list, std::string &out) {
    if (!list || !list->spFirstItem || list->spFirstItem->iDataSize < 0)
        return false;
    std::vector<char> buffer(static_cast<size_t>(list->spFirstItem->iDataSize) + 1, '\0');
    uint32_t size = 0;
    if (!PullFIFOItem(list, buffer.data(), &size))
        return false;
    out.assign(buffer.data(), strnlen(buffer.data(), size));
    return true;
}

std::vector<std::string> strings_of(const LIST_INFO *list) {
    std::vector<std::string> out;
    for (const LIST_ITEM *item = list ? list->spFirstItem : nullptr; item; item = item->spNextItem)
        out.emplace_back(item_text(item));
    return out;
}

} // namespace ark
