// v_set_log_main: a program's logging set-up from its log configuration
// file, and the binding of the program's runtime globals and signal handler.
#include "libnv.h"
#include "nv_internal.h"

#include <fcntl.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

namespace {

namespace fs = std::filesystem;
using nv::detail::copy_bounded;

struct LogConfig {
    int level = 0;
    std::string log_file;
    LANGUAGES language = LANG_EN;
    bool usable = true; // false after an error that turns tracing off
};

std::string_view trim(std::string_view s) {
    const char *blanks = " \t\r\n";
    auto first = s.find_first_not_of(blanks);
    if (first == std::string_view::npos)
        return {};
    auto last = s.find_last_not_of(blanks);
    return s.substr(first, last - first + 1);
}

std::string upper(std::string_view s) {
    std::string out(s);
    for (char &c : out)
        if (c >= 'a' && c <= 'z')
            c = static_cast<char>(c - 'a' + 'A');
    return out;
}

std::optional<int> parse_level(std::string_view text) {
    if (text.empty() || text.size() > 6)
        return std::nullopt;
    int value = 0;
    for (char c : text) {
        if (c < '0' || c > '9')
            return std::nullopt;
        value = value * 10 + (c - '0');
    }
    return value;
}

std::optional<LANGUAGES> parse_language(std::string_view text) {
    static constexpr std::array<std::pair<std::string_view, LANGUAGES>, 7> names{{
        {"EN", LANG_EN}, {"ES", LANG_ES}, {"DE", LANG_DE}, {"BY", LANG_BY},
        {"FR", LANG_FR}, {"HR", LANG_HR}, {"PT", LANG_PT},
    }};
    const std::string key = upper(text);
    for (const auto &[name, lang] : names)
        if (key == name)
            return lang;
    return std::nullopt;
}

fs::path config_path(const char *name) {
    const char *dir = std::getenv("NV_CONFIG_DIR");
    if (dir && *dir)
        return fs::path(dir) / name;
    return fs::path(name);
}

// Read the configuration; every problem is reported once on standard error.
LogConfig read_config(const fs::path &path) {
    LogConfig cfg;
    std::error_code ec;
    if (!fs::exists(path, ec)) {
        cfg.usable = false;
        return cfg;
    }
    const std::string shown = path.string();
    std::ifstream in(path);
    if (!in || fs::is_directory(path, ec)) {
        std::fprintf(stderr, "Warning: cannot read log configuration %s; tracing off\n", shown.c_str());
        cfg.usable = false;
        return cfg;
    }

    std::string raw;
    for (int lineno = 1; std::getline(in, raw); ++lineno) {
        std::string_view line = trim(raw);
        if (line.empty() || line.front() == '#')
            continue;
        auto eq = line.find('=');
        if (eq == std::string_view::npos) {
            std::fprintf(stderr, "Warning: %s line %d: no \"=\" in \"%.*s\"; line ignored\n", shown.c_str(), lineno,
                         static_cast<int>(line.size()), line.data());
            continue;
        }
        const std::string key = upper(trim(line.substr(0, eq)));
        const std::string_view value = trim(line.substr(eq + 1));
        if (key == "TRACE_LEVEL") {
            if (auto level = parse_level(value)) {
                cfg.level = *level;
            } else {
                std::fprintf(stderr, "Warning: %s line %d: bad TRACE_LEVEL \"%.*s\"; tracing off\n", shown.c_str(),
                             lineno, static_cast<int>(value.size()), value.data());
                cfg.usable = false;
            }
        } else if (key == "LOG_FILE") {
            cfg.log_file = value;
        } else if (key == "LANGUAGE") {
            if (auto lang = parse_language(value))
                cfg.language = *lang;
            else
                std::fprintf(stderr, "Warning: %s line %d: unknown LANGUAGE \"%.*s\"; English used\n", shown.c_str(),
                             lineno, static_cast<int>(value.size()), value.data());
        } else {
            std::fprintf(stderr, "Warning: %s line %d: unknown key \"%s\" ignored\n", shown.c_str(), lineno,
                         key.c_str());
        }
    }
    if (cfg.usable && cfg.level > 0 && cfg.log_file.empty()) {
        std::fprintf(stderr, "Warning: %s: TRACE_LEVEL without LOG_FILE; tracing off\n", shown.c_str());
        cfg.usable = false;
    }
    if (cfg.usable && !cfg.log_file.empty() && fs::path(cfg.log_file).is_relative())
        cfg.log_file = (path.parent_path() / cfg.log_file).lexically_normal().string();
    return cfg;
}

// Tracing stays on only when the log file can really be appended to.
bool log_file_writable(const std::string &file) {
    int fd = open(file.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) {
        std::fprintf(stderr, "Warning: cannot open log file %s: %s; tracing off\n", file.c_str(),
                     std::strerror(errno));
        return false;
    }
    close(fd);
    return true;
}

void install_handler(int signo) {
    struct sigaction action {};
    action.sa_handler = SIGNAL_HANDLER;
    // Each interrupt signal waits for the other's handler, so that a second
    // signal always sees the flag the first one set.
    sigemptyset(&action.sa_mask);
    sigaddset(&action.sa_mask, SIGINT);
    sigaddset(&action.sa_mask, SIGTERM);
    action.sa_flags = SA_RESTART;
    sigaction(signo, &action, nullptr);
}

} // namespace

extern "C" void v_set_log_main(const char *ccpConfig, const char *ccpComponent, str_log *spLog) {
    nv::detail::refresh_local_offset();

    gcInterrupt = 'n';
    eLang = LANG_EN;
    std::memset(gszRo, 0, sizeof gszRo);
    std::memset(gszRw, 0, sizeof gszRw);
    strpAnfang = strpEnde = strpNext = nullptr;

    if (spLog) {
        std::memset(spLog, 0, sizeof *spLog);
        if (!copy_bounded(spLog->szIns, sizeof spLog->szIns, ccpComponent ? ccpComponent : ""))
            copy_bounded(spLog->szIns, sizeof spLog->szIns,
                         std::string_view(ccpComponent).substr(0, sizeof spLog->szIns - 1));

        if (ccpConfig && *ccpConfig) {
            LogConfig cfg = read_config(config_path(ccpConfig));
            eLang = cfg.language;
            if (cfg.usable && cfg.level > 0) {
                if (cfg.log_file.size() >= sizeof spLog->szFile)
                    std::fprintf(stderr, "Warning: log file name longer than %zu characters; tracing off\n",
                                 sizeof spLog->szFile - 1);
                else if (log_file_writable(cfg.log_file)) {
                    copy_bounded(spLog->szFile, sizeof spLog->szFile, cfg.log_file);
                    spLog->iFlg = cfg.level;
                }
            }
        }
    }

    install_handler(SIGINT);
    install_handler(SIGTERM);
}
