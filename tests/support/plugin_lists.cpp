#include "support/plugin_lists.h"

#include <gtest/gtest.h>

#include "support/plugin_host.h"

namespace arktest {

CtrlVars::CtrlVars(std::vector<std::string> entries) : text_(std::move(entries)) {
    for (auto &t : text_)
        ptrs_.push_back(t.data());
    ptrs_.push_back(nullptr);
}

StringList::StringList(std::initializer_list<std::string> items) : list_(ARK_FN(CreateFIFOList)()) {
    for (const auto &s : items)
        push(s);
}

StringList::~StringList() { ARK_FN(DestroyFIFOList)(list_); }

void StringList::push(const std::string &s) {
    ASSERT_TRUE(ARK_FN(PushFIFOItem)(list_, s.c_str(), static_cast<uint32_t>(s.size() + 1)));
}

std::vector<std::string> StringList::strings_of(const LIST_INFO *list) {
    std::vector<std::string> out;
    for (const LIST_ITEM *i = list ? list->spFirstItem : nullptr; i; i = i->spNextItem)
        out.emplace_back(static_cast<const char *>(i->vpData));
    return out;
}

} // namespace arktest
