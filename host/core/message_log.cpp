#include "message_log.h"

#include "cm_common.h"

#include <cerrno>
#include <cstdarg>
#include <iostream>
#include <ctime>
#include <optional>
#include <system_error>
#include <vector>

#include "mailbox_outcomes.h"

namespace host {
namespace {

std::unique_ptr<MessageLog> g_log;
Echo g_echo;

std::string timestamp() {
    std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &local);
    return text;
}

bool starts_with_level(std::string_view text, int &errors, int &warnings) {
    if (text.starts_with("Error:")) {
        ++errors;
        return true;
    }
    if (text.starts_with("Warning:")) {
        ++warnings;
        return true;
    }
    return false;
}

// A COPY backup deletes each file once it is stored and tries to remove the
// export directory after each one; until the last file has gone, the plug-in
// reports that directory as not removed. Only a directory still there at the
// end is worth a warning.
std::optional<std::string> interim_unremoved_dir(std::string_view text) {
    constexpr std::string_view head = "Warning: The directory [", tail = "] was not removed.";
    if (!text.starts_with(head) || !text.ends_with(tail) || text.size() <= head.size() + tail.size())
        return std::nullopt;
    return std::string(text.substr(head.size(), text.size() - head.size() - tail.size()));
}

} // namespace

void MessageLog::open(const std::filesystem::path &file, bool verbose, std::string host_name) {
    std::FILE *f = std::fopen(file.c_str(), "a");
    if (!f)
        throw std::system_error(errno, std::generic_category(), "cannot open log file " + file.string());
    g_log.reset(new MessageLog(f, verbose, std::move(host_name)));
}

MessageLog &MessageLog::get() {
    if (!g_log)
        g_log.reset(new MessageLog(nullptr, false, "dbhost"));
    return *g_log;
}

void MessageLog::set_echo(Echo echo) { g_echo = std::move(echo); }

void MessageLog::show(Shown kind, std::string_view line) {
    if (g_echo)
        g_echo(kind, line);
    else
        std::cerr << line << std::endl;
}

void MessageLog::write(std::string_view prefix, std::string_view text) {
    if (!file_)
        return;
    std::string line = timestamp() + " " + std::string(prefix) + std::string(text) + "\n";
    std::fputs(line.c_str(), file_.get());
    // Flushed line by line so that a plug-in that ends the process leaves a
    // complete log behind.
    std::fflush(file_.get());
}

void MessageLog::plugin_message(std::string_view text) {
    write("", text);
    if (auto dir = interim_unremoved_dir(text)) {
        unremoved_dirs_.insert(std::move(*dir));
        if (verbose_)
            show(Shown::detail, text);
        return;
    }
    const bool level = starts_with_level(text, errors_, warnings_);
    if (level) {
        if (text.starts_with("Error:"))
            last_error_ = text;
        MailboxOutcomes::get().message(text);
    }
    if (level)
        show(text.starts_with("Error:") ? Shown::error : Shown::warning, text);
    else if (verbose_)
        show(Shown::detail, text);
}

void MessageLog::trace_line(std::string_view text) {
    write("trace: ", text);
    if (verbose_)
        show(Shown::detail, "trace: " + std::string(text));
}

void MessageLog::error(std::string_view text) {
    std::string line = "Error: " + std::string(text);
    ++errors_;
    last_error_ = line;
    write(host_prefix_, line);
    MailboxOutcomes::get().message(line);
    show(Shown::error, line);
}

void MessageLog::warning(std::string_view text) {
    std::string line = "Warning: " + std::string(text);
    ++warnings_;
    write(host_prefix_, line);
    MailboxOutcomes::get().message(line);
    show(Shown::warning, line);
}

void MessageLog::notice(std::string_view text) {
    write(host_prefix_, text);
    show(Shown::notice, host_prefix_ + std::string(text));
}

void MessageLog::note(std::string_view text) {
    write(host_prefix_, text);
    if (verbose_)
        show(Shown::detail, host_prefix_ + std::string(text));
}

void MessageLog::settle() {
    std::set<std::string> dirs;
    dirs.swap(unremoved_dirs_);
    for (const std::string &dir : dirs) {
        std::error_code ec;
        if (std::filesystem::exists(dir, ec))
            warning("the plug-in did not remove the export directory " + dir + "; it still holds files");
    }
}

void MessageLog::record(std::string_view text) { write(host_prefix_, text); }

void plugin_sink(char *text) { MessageLog::get().plugin_message(text ? text : ""); }

} // namespace host

// Declared in cm_common.h; bound by the plug-in when it is loaded.
extern "C" void trace(const char *format, ...) {
    if (!format)
        return;
    va_list args;
    va_start(args, format);
    va_list again;
    va_copy(again, args);
    int length = std::vsnprintf(nullptr, 0, format, args);
    va_end(args);
    std::string text;
    if (length > 0) {
        std::vector<char> buffer(static_cast<size_t>(length) + 1);
        std::vsnprintf(buffer.data(), buffer.size(), format, again);
        text.assign(buffer.data(), static_cast<size_t>(length));
    }
    va_end(again);
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r'))
        text.pop_back();
    host::MessageLog::get().trace_line(text);
}
