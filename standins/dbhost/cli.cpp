#include "cli.h"

#include <algorithm>
#include <array>
#include <string_view>

namespace dbhost {
namespace {

using namespace std::string_literals;

// Which commands accept an option, whether it takes a value and may repeat.
struct OptionRule {
    std::string_view name;
    bool takes_value;
    bool repeatable;
    std::array<Command, 5> commands;
};

constexpr Command B = Command::backup, R = Command::restore, L = Command::list, I = Command::info,
                  S = Command::selftest, N = Command::none;

constexpr OptionRule rules[] = {
    {"--plugin", true, false, {B, R, I, S, N}},
    {"--store", true, false, {B, R, L, N, N}},
    {"--saveset", true, false, {B, R, L, N, N}},
    {"--level", true, false, {B, N, N, N, N}},
    {"--job", true, false, {B, R, N, N, N}},
    {"--work-dir", true, false, {B, R, N, N, N}},
    {"--mailbox", true, true, {B, R, N, N, N}},
    {"--exclude", true, false, {B, N, N, N, N}},
    {"--var", true, true, {B, R, N, N, N}},
    {"--replace", false, false, {B, N, N, N, N}},
    {"--into", true, false, {R, N, N, N, N}},
    {"--list-file", true, true, {R, N, N, N, N}},
    {"--no-recovery", false, false, {R, N, N, N, N}},
    {"--workers", true, false, {B, R, N, N, N}},
    {"--time-limit", true, false, {B, R, N, N, N}},
    {"--test-kill-after-call", true, false, {B, R, N, N, N}},
    {"--test-fail-item", true, false, {B, R, N, N, N}},
    {"--test-store-delay", true, false, {B, R, N, N, N}},
    {"--test-batch-items", true, false, {B, N, N, N, N}},
    {"--test-kill-before-commit", true, false, {B, N, N, N, N}},
    {"--test-fail-sync", true, false, {B, N, N, N, N}},
};

Command command_named(std::string_view word) {
    if (word == "backup")
        return Command::backup;
    if (word == "restore")
        return Command::restore;
    if (word == "list")
        return Command::list;
    if (word == "info")
        return Command::info;
    if (word == "selftest")
        return Command::selftest;
    throw UsageError("unknown command \"" + std::string(word) + "\"");
}

const OptionRule *rule_for(std::string_view name) {
    for (const auto &rule : rules)
        if (rule.name == name)
            return &rule;
    return nullptr;
}

bool is_blank(std::string_view text) {
    return text.find_first_not_of(" \t") == std::string_view::npos;
}

// The option words travel inside "INFO=", each enclosed in double quotes; the
// plug-in splits at every double quote and drops a word that is one blank, so
// such values would shift every later word.
std::string info_word(std::string_view option, std::string_view value) {
    if (is_blank(value))
        throw UsageError(std::string(option) + " needs a non-empty value");
    if (value.find('"') != std::string_view::npos)
        throw UsageError(std::string(option) + " must not contain a double-quote character");
    return std::string(value);
}

fs::path absolute_path(std::string_view option, std::string_view value) {
    if (value.empty())
        throw UsageError(std::string(option) + " needs a non-empty path");
    return fs::absolute(fs::path(value)).lexically_normal();
}

uint64_t positive_number(std::string_view option, const std::string &value) {
    uint64_t n = 0;
    if (value.empty() || value.size() > 18 || value.find_first_not_of("0123456789") != std::string::npos ||
        (n = std::stoull(value)) == 0)
        throw UsageError(std::string(option) + " needs a number from 1 on, not \"" + value + "\"");
    return n;
}

// Milliseconds with up to three decimals ("2", "0.25"), at most a minute.
std::chrono::microseconds milliseconds(std::string_view option, const std::string &value) {
    const size_t dot = value.find('.');
    const std::string whole = value.substr(0, dot);
    const std::string fraction = dot == std::string::npos ? "" : value.substr(dot + 1);
    const bool digits = !whole.empty() && whole.size() <= 5 && fraction.size() <= 3 &&
                        (dot == std::string::npos || !fraction.empty()) &&
                        whole.find_first_not_of("0123456789") == std::string::npos &&
                        fraction.find_first_not_of("0123456789") == std::string::npos;
    const long long us = digits ? std::stoll(whole) * 1000 + std::stoll((fraction + "000").substr(0, 3)) : -1;
    if (us < 0 || us > 60'000'000)
        throw UsageError(std::string(option) + " needs milliseconds from 0 to 60000, not \"" + value + "\"");
    return std::chrono::microseconds(us);
}

void apply(Options &o, std::string_view name, const std::string &value) {
    if (name == "--plugin")
        o.plugin = absolute_path(name, value);
    else if (name == "--store")
        o.store = absolute_path(name, value);
    else if (name == "--into")
        o.into = absolute_path(name, value);
    else if (name == "--work-dir")
        o.work_dir = absolute_path(name, value);
    else if (name == "--saveset") {
        if (value.empty())
            throw UsageError("--saveset needs a non-empty name");
        o.saveset = value;
    } else if (name == "--level") {
        if (value != "FULL" && value != "INCR" && value != "DIFF" && value != "COPY")
            throw UsageError("--level must be FULL, INCR, DIFF or COPY, not \"" + value + "\"");
        o.level = value;
    } else if (name == "--job")
        o.job = info_word(name, value);
    else if (name == "--exclude")
        o.exclude = info_word(name, value);
    else if (name == "--mailbox") {
        if (value.empty())
            throw UsageError("--mailbox needs a non-empty name");
        o.databases.push_back(value);
        o.mailboxes.push_back(value);
    } else if (name == "--list-file") {
        auto at = value.find('@');
        if (at == std::string::npos || at == 0 || at + 1 == value.size())
            throw UsageError("--list-file must have the form USER@FILE, not \"" + value + "\"");
        o.databases.push_back(value);
        o.mailboxes.push_back(value.substr(0, at));
    } else if (name == "--var") {
        auto eq = value.find('=');
        if (eq == std::string::npos || eq == 0)
            throw UsageError("--var must have the form KEY=VALUE, not \"" + value + "\"");
        o.vars.push_back(value);
    } else if (name == "--replace")
        o.replace = true;
    else if (name == "--no-recovery")
        o.no_recovery = true;
    else if (name == "--workers") {
        // Passed on as given: the plug-in judges the value and warns.
        o.workers = static_cast<int>(std::min<uint64_t>(positive_number(name, value), 1000));
    } else if (name == "--time-limit") {
        // Passed on as given: the plug-in judges the value.
        o.time_limit = positive_number(name, value);
    } else if (name == "--test-kill-after-call")
        o.test_kill_after_call = positive_number(name, value);
    else if (name == "--test-fail-item")
        o.test_fail_item = positive_number(name, value);
    else if (name == "--test-store-delay")
        o.test_store_delay = milliseconds(name, value);
    else if (name == "--test-batch-items")
        o.test_batch_items = positive_number(name, value);
    else if (name == "--test-kill-before-commit")
        o.test_kill_before_commit = positive_number(name, value);
    else if (name == "--test-fail-sync")
        o.test_fail_sync = positive_number(name, value);
}

void require(bool present, std::string_view option) {
    if (!present)
        throw UsageError("missing " + std::string(option));
}

} // namespace

Options parse_command_line(int argc, char **argv) {
    Options o;
    std::optional<fs::path> log_file;
    std::vector<std::string_view> seen;

    for (int i = 1; i < argc; ++i) {
        std::string_view arg = argv[i];
        if (arg == "-h" || arg == "--help") {
            o.help = true;
            return o;
        }
        if (arg == "-v" || arg == "--verbose") {
            o.verbose = true;
            continue;
        }
        if (arg == "-q" || arg == "--quiet") {
            o.quiet = true;
            continue;
        }
        std::string_view name = arg;
        std::optional<std::string> inline_value;
        if (auto eq = arg.find('='); arg.starts_with("--") && eq != std::string_view::npos) {
            name = arg.substr(0, eq);
            inline_value = std::string(arg.substr(eq + 1));
        }
        if (name == "--log") {
            std::string value;
            if (inline_value)
                value = *inline_value;
            else if (i + 1 < argc)
                value = argv[++i];
            else
                throw UsageError("--log needs a value");
            log_file = absolute_path("--log", value);
            continue;
        }
        if (!arg.starts_with("-")) {
            if (o.command != Command::none)
                throw UsageError("unexpected argument \"" + std::string(arg) + "\"");
            o.command = command_named(arg);
            continue;
        }
        const OptionRule *rule = rule_for(name);
        if (!rule)
            throw UsageError("unknown option \"" + std::string(name) + "\"");
        if (o.command == Command::none)
            throw UsageError("the command must come before " + std::string(name));
        if (std::find(rule->commands.begin(), rule->commands.end(), o.command) == rule->commands.end())
            throw UsageError(std::string(name) + " does not apply to this command");
        if (!rule->repeatable && std::find(seen.begin(), seen.end(), rule->name) != seen.end())
            throw UsageError(std::string(name) + " given twice");
        seen.push_back(rule->name);

        std::string value;
        if (rule->takes_value) {
            if (inline_value)
                value = *inline_value;
            else if (i + 1 < argc)
                value = argv[++i];
            else
                throw UsageError(std::string(name) + " needs a value");
        } else if (inline_value) {
            throw UsageError(std::string(name) + " takes no value");
        }
        apply(o, rule->name, value);
    }

    o.log_file = log_file ? *log_file : fs::absolute("dbhost.log");
    switch (o.command) {
    case Command::none:
        throw UsageError("no command given");
    case Command::backup:
        require(!o.plugin.empty(), "--plugin");
        require(!o.store.empty(), "--store");
        require(o.saveset.has_value(), "--saveset");
        break;
    case Command::restore:
        require(!o.plugin.empty(), "--plugin");
        require(!o.store.empty(), "--store");
        // One save set, or the job's chain: its last FULL and every later one.
        if (o.saveset && o.job)
            throw UsageError("restore takes --saveset or --job, not both");
        require(o.saveset || o.job, "--saveset (or --job)");
        require(!o.into.empty(), "--into");
        break;
    case Command::list:
        require(!o.store.empty(), "--store");
        break;
    case Command::info:
    case Command::selftest:
        require(!o.plugin.empty(), "--plugin");
        break;
    }
    return o;
}

std::string usage_text() {
    return "Usage: dbhost [-v] [-q] [--log FILE] COMMAND OPTIONS\n"
           "  dbhost backup --plugin SO --store DIR --saveset NAME [--level FULL|INCR|DIFF|COPY]\n"
           "         [--job NAME] [--work-dir DIR] [--mailbox NAME]... [--exclude P1,P2]\n"
           "         [--var KEY=VALUE]... [--replace] [--workers N] [--time-limit SECONDS]\n"
           "  dbhost restore --plugin SO --store DIR --saveset NAME | --job NAME --into DIR [--mailbox NAME]...\n"
           "         [--list-file USER@FILE]... [--no-recovery] [--work-dir DIR] [--var KEY=VALUE]...\n"
           "         [--workers N] [--time-limit SECONDS]\n"
           "  dbhost list --store DIR [--saveset NAME]\n"
           "  dbhost info --plugin SO\n"
           "  dbhost selftest --plugin SO\n"
           "Messages of the plug-in go to the log file (default ./dbhost.log); -v shows them too.\n"
           "Exit status: 0 success, 1 a failure during the operation, 2 usage or plug-in load error,\n"
           "3 the operation completed with warnings.\n";
}

} // namespace dbhost
