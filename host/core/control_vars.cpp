#include "control_vars.h"

#include <cstring>

namespace host {

void ControlVars::add(const std::string &entry) {
    texts_.push_back(entry);
    auto copy = std::make_unique<char[]>(entry.size() + 1);
    std::memcpy(copy.get(), entry.c_str(), entry.size() + 1);
    pointers_.insert(pointers_.end() - 1, copy.get());
    storage_.push_back(std::move(copy));
}

namespace {

void add_info_word(std::string &info, const std::string &word) {
    if (info.size() > std::strlen("INFO="))
        info += ' ';
    info += '"' + word + '"';
}

void add_common(ControlVars &vars, const OperationSettings &o) {
    vars.add("SAVESET=" + o.saveset.value_or(""));
    if (o.work_dir)
        vars.add("TMP_DIR=" + o.work_dir->string());
    for (const auto &name : o.databases)
        vars.add("DATABASE=" + name);
}

} // namespace

DB_OPERATION_LEVEL level_of(const std::string &word) {
    if (word == "FULL")
        return DB_LEVEL_FULL;
    if (word == "INCR")
        return DB_LEVEL_INCR;
    if (word == "DIFF")
        return DB_LEVEL_DIFF;
    return DB_LEVEL_COPY;
}

namespace {

// The option words of the plug-in's tools, backup and restore alike: how
// many may run at once, and how long each may run.
void add_tool_words(std::string &info, const OperationSettings &o) {
    if (o.workers) {
        add_info_word(info, "-w");
        add_info_word(info, std::to_string(*o.workers));
    }
    if (o.time_limit) {
        add_info_word(info, "-t");
        add_info_word(info, std::to_string(*o.time_limit));
    }
}

} // namespace

ControlVars backup_control_vars(const OperationSettings &o) {
    ControlVars vars;
    std::string info = "INFO=";
    if (o.level) {
        add_info_word(info, "-l");
        add_info_word(info, *o.level);
    }
    if (o.job) {
        add_info_word(info, "-j");
        add_info_word(info, *o.job);
    }
    if (o.exclude) {
        add_info_word(info, "-x");
        add_info_word(info, *o.exclude);
    }
    add_tool_words(info, o);
    vars.add(info);
    add_common(vars, o);
    for (const auto &var : o.vars)
        vars.add(var);
    return vars;
}

ControlVars restore_control_vars(const OperationSettings &o) {
    ControlVars vars;
    if (o.workers || o.time_limit) {
        std::string info = "INFO=";
        add_tool_words(info, o);
        vars.add(info);
    }
    add_common(vars, o);
    if (o.no_recovery)
        vars.add("RECOVERY=NO");
    for (const auto &var : o.vars)
        vars.add(var);
    return vars;
}

} // namespace host
