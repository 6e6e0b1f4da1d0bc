#include "manifest.h"

#include <algorithm>
#include <charconv>

namespace dbhost {
namespace {

constexpr std::string_view magic = "dbhost-saveset\t2";
// Written before items were made durable in batches: every item line of it
// followed its file onto the disk.
constexpr std::string_view magic_v1 = "dbhost-saveset\t1";

int hex_value(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

std::vector<std::string_view> split_tabs(std::string_view line) {
    std::vector<std::string_view> fields;
    size_t start = 0;
    for (;;) {
        size_t tab = line.find('\t', start);
        fields.push_back(line.substr(start, tab == std::string_view::npos ? tab : tab - start));
        if (tab == std::string_view::npos)
            return fields;
        start = tab + 1;
    }
}

template <class T> std::optional<T> number(std::string_view text) {
    T value{};
    auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size() || text.empty())
        return std::nullopt;
    return value;
}

bool is_sha256(std::string_view text) {
    if (text.size() != 64)
        return false;
    for (char c : text)
        if (hex_value(c) < 0 || (c >= 'A' && c <= 'F'))
            return false;
    return true;
}

// Reads one item line; nullopt when it is damaged.
std::optional<ManifestItem> parse_item(const std::vector<std::string_view> &f) {
    if (f.size() != 6)
        return std::nullopt;
    ManifestItem item;
    auto size = number<uint64_t>(f[1]);
    auto time = number<int64_t>(f[4]);
    auto name = decode_field(f[5]);
    if (!size || !time || !name || !is_sha256(f[2]) || f[3].empty())
        return std::nullopt;
    item.size = *size;
    item.sha256 = std::string(f[2]);
    item.level = std::string(f[3]);
    item.time = *time;
    item.name = std::move(*name);
    return item;
}

} // namespace

std::string encode_field(std::string_view text) {
    static const char digits[] = "0123456789ABCDEF";
    std::string out;
    for (unsigned char c : text) {
        if (c <= 0x20 || c >= 0x7f || c == '%') {
            out += '%';
            out += digits[c >> 4];
            out += digits[c & 0xf];
        } else {
            out += static_cast<char>(c);
        }
    }
    return out;
}

std::optional<std::string> decode_field(std::string_view text) {
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '%') {
            out += text[i];
            continue;
        }
        if (i + 2 >= text.size())
            return std::nullopt;
        int high = hex_value(text[i + 1]), low = hex_value(text[i + 2]);
        if (high < 0 || low < 0)
            return std::nullopt;
        out += static_cast<char>(high * 16 + low);
        i += 2;
    }
    return out;
}

std::string manifest_header(std::string_view saveset, std::string_view level, std::string_view job, int64_t created,
                            uint64_t sequence) {
    std::string text = std::string(magic) + "\n";
    text += "name\t" + encode_field(saveset) + "\n";
    text += "level\t" + std::string(level) + "\n";
    if (!job.empty())
        text += "job\t" + encode_field(job) + "\n";
    text += "created\t" + std::to_string(created) + "\n";
    if (sequence > 0)
        text += "sequence\t" + std::to_string(sequence) + "\n";
    return text;
}

std::string manifest_item_line(const ManifestItem &item) {
    return "item\t" + std::to_string(item.size) + "\t" + item.sha256 + "\t" + item.level + "\t" +
           std::to_string(item.time) + "\t" + encode_field(item.name) + "\n";
}

std::string manifest_synced_line(size_t items) { return "synced\t" + std::to_string(items) + "\n"; }

std::string manifest_end_line(int64_t time, bool complete) {
    return "end\t" + std::to_string(time) + "\t" + (complete ? "complete" : "failed") + "\n";
}

Manifest parse_manifest(std::string_view text) {
    Manifest m;
    size_t start = 0;
    int number_of_line = 0;
    bool every_line_confirmed = false;
    while (start < text.size()) {
        ++number_of_line;
        size_t end = text.find('\n', start);
        if (end == std::string_view::npos) {
            // A line cut short by a crash while it was written.
            m.problems.push_back("line " + std::to_string(number_of_line) + " is incomplete");
            break;
        }
        std::string_view line = text.substr(start, end - start);
        start = end + 1;
        auto f = split_tabs(line);
        auto damaged = [&] { m.problems.push_back("line " + std::to_string(number_of_line) + " is damaged"); };
        if (number_of_line == 1) {
            if (line == magic_v1) {
                every_line_confirmed = true;
            } else if (line != magic) {
                m.problems.push_back("not a save-set manifest");
                return m;
            }
        } else if (f[0] == "synced" && f.size() == 2 && !every_line_confirmed) {
            // Only the item lines read above it count: a damaged one among
            // them must not make a later, unconfirmed item look confirmed.
            auto count = number<size_t>(f[1]);
            if (!count)
                damaged();
            else if (*count != m.items.size())
                m.problems.push_back("line " + std::to_string(number_of_line) + " confirms " +
                                     std::to_string(*count) + " items, but " + std::to_string(m.items.size()) +
                                     " item lines above it could be read");
            if (count)
                m.confirmed = std::min(*count, m.items.size());
        } else if (f[0] == "item") {
            if (auto item = parse_item(f))
                m.items.push_back(std::move(*item));
            else
                damaged();
        } else if (f[0] == "name" && f.size() == 2) {
            if (auto name = decode_field(f[1]))
                m.saveset = std::move(*name);
            else
                damaged();
        } else if (f[0] == "job" && f.size() == 2) {
            if (auto job = decode_field(f[1]))
                m.job = std::move(*job);
            else
                damaged();
        } else if (f[0] == "level" && f.size() == 2) {
            m.level = std::string(f[1]);
        } else if (f[0] == "created" && f.size() == 2) {
            m.created = number<int64_t>(f[1]).value_or(0);
        } else if (f[0] == "sequence" && f.size() == 2) {
            m.sequence = number<uint64_t>(f[1]).value_or(0);
        } else if (f[0] == "end" && f.size() == 3) {
            m.ended = true;
            m.ended_time = number<int64_t>(f[1]).value_or(0);
            m.complete = f[2] == "complete";
        } else {
            damaged();
        }
    }
    if (every_line_confirmed)
        m.confirmed = m.items.size();
    return m;
}

} // namespace dbhost
