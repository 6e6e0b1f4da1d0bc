#include "report.h"

#include <cstdio>
#include <ctime>
#include <iostream>
#include <sstream>

#include "message_log.h"

namespace dbhost {

std::string printable(std::string_view text) {
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (unsigned char c : text) {
        if (c < 0x20 || c >= 0x7f) {
            out += "\\x";
            out += digits[c >> 4];
            out += digits[c & 0xf];
        } else {
            out += static_cast<char>(c);
        }
    }
    return out;
}

std::string local_time(int64_t seconds) {
    std::time_t t = static_cast<std::time_t>(seconds);
    std::tm local{};
    localtime_r(&t, &local);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &local);
    return text;
}

void print_progress(uint64_t count, std::string_view name, uint64_t size) {
    std::string line = "item " + std::to_string(count) + ": " + printable(name) + " (" + std::to_string(size) + " bytes)";
    std::cout << line << std::endl;
    MessageLog::get().record(line);
}

void print_failed_item(uint64_t count, std::string_view name) {
    std::string line = "item " + std::to_string(count) + ": " + printable(name) + " FAILED";
    std::cout << line << std::endl;
    MessageLog::get().record(line);
}

void print_summary(const RunSummary &s) {
    const auto &log = MessageLog::get();
    uint64_t failures = s.failed_items + static_cast<uint64_t>(s.failed_calls);
    char seconds[32];
    std::snprintf(seconds, sizeof seconds, "%.2f", s.seconds);

    std::ostringstream out;
    out << "Summary: " << s.operation << " of save set \"" << printable(s.saveset) << "\" "
        << (failures ? "finished with failures" : "succeeded") << "\n";
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
    std::cout << out.str() << std::flush;

    std::istringstream lines(out.str());
    for (std::string line; std::getline(lines, line);)
        MessageLog::get().record(line);
}

} // namespace dbhost
