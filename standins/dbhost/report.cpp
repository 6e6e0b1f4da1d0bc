#include "report.h"

#include <chrono>
#include <cstdio>
#include <ctime>
#include <sstream>
#include <unordered_set>

#include "exit_status.h"
#include "mailbox_outcomes.h"
#include "message_log.h"
#include "terminal.h"

namespace dbhost {
namespace {

using Clock = std::chrono::steady_clock;

// The progress line is redrawn at most this often: a backup of many small
// mailboxes hands over items faster than anyone reads.
constexpr auto redraw_interval = std::chrono::milliseconds(100);

struct Progress {
    enum class Mode { item_lines, status_line, quiet } mode = Mode::item_lines;
    uint64_t total_items = 0;
    size_t total_mailboxes = 0;
    uint64_t items = 0;
    uint64_t bytes = 0;
    std::unordered_set<std::string> mailboxes;
    Clock::time_point started = Clock::now();
    Clock::time_point drawn{};
};

Progress &progress() {
    static Progress state;
    return state;
}

std::string size_text(double bytes) {
    static const char *units[] = {"B", "KiB", "MiB", "GiB", "TiB"};
    size_t unit = 0;
    while (bytes >= 1024 && unit + 1 < std::size(units)) {
        bytes /= 1024;
        ++unit;
    }
    char text[32];
    std::snprintf(text, sizeof text, unit == 0 ? "%.0f %s" : "%.1f %s", bytes, units[unit]);
    return text;
}

std::string elapsed_text(double seconds) {
    const auto whole = static_cast<long long>(seconds);
    char text[32];
    std::snprintf(text, sizeof text, "%lld:%02lld:%02lld", whole / 3600, whole / 60 % 60, whole % 60);
    return text;
}

std::string count_text(uint64_t done, uint64_t total) {
    return std::to_string(done) + (total ? "/" + std::to_string(total) : "");
}

void draw(Progress &p, bool force) {
    const auto now = Clock::now();
    if (!force && p.drawn != Clock::time_point{} && now - p.drawn < redraw_interval)
        return;
    p.drawn = now;
    const double seconds = std::chrono::duration<double>(now - p.started).count();
    std::string line = "mailboxes " + count_text(p.mailboxes.size(), p.total_mailboxes) + ", items " +
                       count_text(p.items, p.total_items) + ", " + size_text(static_cast<double>(p.bytes)) + ", " +
                       size_text(seconds > 0 ? static_cast<double>(p.bytes) / seconds : 0) + "/s, " +
                       elapsed_text(seconds);
    terminal::show_status(line);
}

void count_item(Progress &p, uint64_t count, std::string_view name) {
    p.items = count;
    if (auto mailbox = mailbox_of_item(name))
        p.mailboxes.insert(std::move(*mailbox));
}

} // namespace

std::string local_time(int64_t seconds) {
    std::time_t t = static_cast<std::time_t>(seconds);
    std::tm local{};
    localtime_r(&t, &local);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &local);
    return text;
}

void start_progress(bool quiet, const std::vector<std::string> &known_items) {
    Progress &p = progress();
    p = Progress{};
    p.mode = quiet                            ? Progress::Mode::quiet
             : terminal::output_is_terminal() ? Progress::Mode::status_line
                                              : Progress::Mode::item_lines;
    p.total_items = known_items.size();
    std::unordered_set<std::string> mailboxes;
    for (const std::string &item : known_items)
        if (auto mailbox = mailbox_of_item(item))
            mailboxes.insert(std::move(*mailbox));
    p.total_mailboxes = mailboxes.size();
}

void print_progress(uint64_t count, std::string_view name, uint64_t size) {
    Progress &p = progress();
    count_item(p, count, name);
    p.bytes += size;
    std::string line = "item " + std::to_string(count) + ": " + printable(name) + " (" + std::to_string(size) + " bytes)";
    if (p.mode == Progress::Mode::item_lines)
        terminal::out() << line << std::endl;
    else if (p.mode == Progress::Mode::status_line)
        draw(p, false);
    MessageLog::get().record(line);
}

void print_failed_item(uint64_t count, std::string_view name) {
    Progress &p = progress();
    count_item(p, count, name);
    MailboxOutcomes::get().item_failed(name, MessageLog::get().last_error());
    std::string line = "item " + std::to_string(count) + ": " + printable(name) + " FAILED";
    // A failure is one of the lines that matter: it stands above the
    // progress line, which the next item puts back.
    if (p.mode != Progress::Mode::quiet)
        terminal::out() << line << std::endl;
    MessageLog::get().record(line);
}

int print_summary(const RunSummary &s) {
    auto &log = MessageLog::get();
    log.settle();
    terminal::clear_status();
    uint64_t failures = s.failed_items + static_cast<uint64_t>(s.failed_calls);
    const int status = failures || s.store_failed                ? exit_failed
                       : log.errors() > 0 || log.warnings() > 0 ? exit_warnings
                                                                : exit_ok;
    char seconds[32];
    std::snprintf(seconds, sizeof seconds, "%.2f", s.seconds);

    std::ostringstream out;
    out << "Summary: " << s.operation << " of save set \"" << printable(s.saveset) << "\" "
        << (status == exit_failed     ? "finished with failures"
            : status == exit_warnings ? "succeeded with warnings"
                                      : "succeeded")
        << "\n";
    out << "  items:     " << s.items;
    if (s.failed_items)
        out << " (" << s.failed_items << " failed)";
    out << "\n";
    out << "  bytes:     " << s.bytes << "\n";
    out << "  time:      " << seconds << " s\n";
    if (!s.mailboxes.empty()) {
        out << "  mailboxes:";
        for (size_t i = 0; i < s.mailboxes.size(); ++i)
            out << (i ? ", " : " ") << printable(s.mailboxes[i]);
        out << "\n";
    }
    out << "  failures:  " << failures << " (" << s.failed_items << " items, " << s.failed_calls
        << " entry-point calls)\n";
    out << "  errors:    " << log.errors() << "\n";
    out << "  warnings:  " << log.warnings() << "\n";
    const std::vector<MailboxOutcome> named = MailboxOutcomes::get().outcomes();
    if (!named.empty()) {
        out << "  mailboxes with failures or warnings: " << named.size() << "\n";
        for (const MailboxOutcome &m : named)
            out << "    " << printable(m.mailbox) << ": " << printable(m.reason) << "\n";
    }
    terminal::out() << out.str() << std::flush;

    std::istringstream lines(out.str());
    for (std::string line; std::getline(lines, line);)
        MessageLog::get().record(line);
    return status;
}

} // namespace dbhost
