#include "app_options.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <set>

#ifndef ARK_PLUGIN_FROM_APPLICATION
#define ARK_PLUGIN_FROM_APPLICATION "../../norva/plugins/ark_zarafa.so"
#endif
#ifndef ARK_DEFAULT_WORK_DIR
#define ARK_DEFAULT_WORK_DIR "/var/lib/amanda/amarkzarafa"
#endif

namespace amanda_app {
namespace {

// Amanda's options that take no value.
const std::set<std::string> flags = {"record", "calcsize"};

std::string normalised(std::string name) {
    for (char &c : name)
        c = c == '_' ? '-' : static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return name;
}

int number(const std::string &property, const std::string &text, int low, int high) {
    int value = 0;
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (ec != std::errc() || end != text.data() + text.size() || value < low || value > high)
        throw UsageError("property " + property + " is \"" + text + "\"; it must be a number from " +
                         std::to_string(low) + " to " + std::to_string(high));
    return value;
}

fs::path absolute_property(const std::string &property, const std::string &text) {
    fs::path path(text);
    if (text.empty() || !path.is_absolute())
        throw UsageError("property " + property + " is \"" + text + "\"; it must be an absolute path");
    return path;
}

// The installed plug-in, found from the application's own directory.
std::string default_plugin() {
    std::error_code ec;
    const fs::path self = fs::read_symlink("/proc/self/exe", ec);
    if (ec)
        return "/usr/lib/norva/plugins/ark_zarafa.so";
    return (self.parent_path() / ARK_PLUGIN_FROM_APPLICATION).lexically_normal().string();
}

} // namespace

const std::vector<std::string> &AppOptions::values(const std::string &name) const {
    static const std::vector<std::string> none;
    auto found = properties.find(normalised(name));
    return found == properties.end() ? none : found->second;
}

std::optional<std::string> AppOptions::value(const std::string &name) const {
    const auto &all = values(name);
    if (all.empty())
        return std::nullopt;
    return all.back();
}

AppOptions parse_app_options(int argc, char **argv) {
    AppOptions o;
    if (argc < 2)
        throw UsageError("no command given (support, selfcheck, estimate, backup, restore or validate)");
    o.command = argv[1];
    for (int i = 2; i < argc; ++i) {
        std::string arg = argv[i];
        if (!arg.starts_with("--") || arg == "--") {
            if (arg == "--") {
                for (++i; i < argc; ++i)
                    o.names.push_back(argv[i]);
                break;
            }
            o.names.push_back(arg);
            continue;
        }
        std::string name = arg.substr(2), value;
        bool has_value = false;
        if (auto eq = name.find('='); eq != std::string::npos) {
            value = name.substr(eq + 1);
            name = name.substr(0, eq);
            has_value = true;
        }
        name = normalised(name);
        if (!has_value && !flags.count(name)) {
            if (i + 1 >= argc)
                throw UsageError("option --" + name + " needs a value");
            value = argv[++i];
        }
        if (name == "config")
            o.config = value;
        else if (name == "host")
            o.host = value;
        else if (name == "disk")
            o.disk = value;
        else if (name == "device")
            o.device = value;
        else if (name == "level")
            o.levels.push_back(number("--level", value, 0, 99));
        else if (name == "index")
            o.index = true;
        else if (name == "message")
            o.message = true;
        else if (name == "include-list")
            o.include_list = value;
        else if (name == "target" || name == "directory")
            o.target = value;
        else if (!flags.count(name))
            o.properties[name].push_back(value);
    }
    return o;
}

std::optional<std::string> job_name_problem(const std::string &name) {
    if (name.empty())
        return "it is empty";
    if (name.size() > 100)
        return "it is longer than 100 characters";
    if (name.front() == '.' || name.front() == '-')
        return "it begins with \"" + std::string(1, name.front()) + "\"";
    for (unsigned char c : name)
        if (!std::isalnum(c) && c != '.' && c != '_' && c != '-')
            return "it holds a character other than letters, digits, \".\", \"_\" and \"-\"";
    return std::nullopt;
}

AppSettings settings_of(const AppOptions &o) {
    AppSettings s;
    s.plugin = absolute_property("PLUGIN", o.value("plugin").value_or(default_plugin()));
    s.work_dir = absolute_property("TMP-DIR", o.value("tmp-dir").value_or(ARK_DEFAULT_WORK_DIR));
    if (auto job = o.value("job"))
        s.job = *job;
    else if (o.disk)
        s.job = *o.disk;
    else if (o.device)
        s.job = *o.device;
    s.mailboxes = o.values("mailbox");
    if (s.mailboxes.empty())
        s.mailboxes = {"ALL", "PUBLIC_FOLDER"};
    for (const auto &m : s.mailboxes)
        if (m.empty() || m.find('@') != std::string::npos)
            throw UsageError("property MAILBOX \"" + m + "\" is not a mailbox name (a list file goes in LIST-FILE)");
    if (!o.values("exclude").empty()) {
        if (o.values("exclude").size() > 1)
            throw UsageError("property EXCLUDE is given more than once; join the patterns with \"|\"");
        s.exclude = o.values("exclude").front();
    }
    if (auto w = o.value("workers"))
        s.workers = number("WORKERS", *w, 1, 64);
    if (auto t = o.value("tool-timeout"))
        s.tool_timeout = number("TOOL-TIMEOUT", *t, 1, 7 * 24 * 3600);
    s.list_files = o.values("list-file");
    for (const auto &l : s.list_files)
        if (l.find('@') == std::string::npos)
            throw UsageError("property LIST-FILE \"" + l + "\" must be USER@FILE");
    if (auto r = o.value("recovery")) {
        std::string v = normalised(*r);
        if (v != "no" && v != "yes")
            throw UsageError("property RECOVERY is \"" + *r + "\"; it must be YES or NO");
        s.no_recovery = v == "no";
    }
    for (const auto &e : o.values("env")) {
        auto eq = e.find('=');
        if (eq == std::string::npos || eq == 0)
            throw UsageError("property ENV \"" + e + "\" must be NAME=VALUE");
        s.env.push_back(e);
    }
    if (auto l = o.value("log-file"))
        s.log_file = absolute_property("LOG-FILE", *l);
    return s;
}

} // namespace amanda_app
