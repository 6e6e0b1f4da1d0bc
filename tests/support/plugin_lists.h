// Helpers for the plug-in's C data in tests: control-variable arrays and
// FIFO lists of strings.
#pragma once

#include <initializer_list>
#include <string>
#include <vector>

#include "list.h"

namespace arktest {

// Writable control variables owned by the test, as a C host passes them.
class CtrlVars {
public:
    CtrlVars(std::initializer_list<std::string> entries) : CtrlVars(std::vector<std::string>(entries)) {}
    explicit CtrlVars(std::vector<std::string> entries);
    CtrlVars(const CtrlVars &) = delete;
    CtrlVars &operator=(const CtrlVars &) = delete;
    char **get() { return ptrs_.data(); }
    const std::vector<std::string> &text() const { return text_; }

private:
    std::vector<std::string> text_;
    std::vector<char *> ptrs_;
};

// A FIFO list created and destroyed through the plug-in.
class StringList {
public:
    StringList(std::initializer_list<std::string> items = {});
    ~StringList();
    StringList(const StringList &) = delete;
    StringList &operator=(const StringList &) = delete;
    LIST_INFO *get() const { return list_; }
    void push(const std::string &s);
    std::vector<std::string> items() const { return strings_of(list_); }
    static std::vector<std::string> strings_of(const LIST_INFO *list);

private:
    LIST_INFO *list_;
};

} // namespace arktest
