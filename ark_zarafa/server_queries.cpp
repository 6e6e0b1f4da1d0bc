// Running "zarafa-admin -l" and reading its account rows.
#include "server_queries.h"

#include <strings.h>

#include <cerrno>
#include <cstring>

#include "c_buffer.h"
#include "messages.h"
#include "run_tool.h"
#include "system/line_reader.h"

namespace ark {

std::vector<std::string> split_lines(std::string_view text) {
    std::vector<std::string> lines;
    sys::TextLines in(text);
    for (std::string_view line; in.next(line);)
        lines.emplace_back(sys::chomp(line));
    return lines;
}

namespace {

bool blank_row(std::string_view row) { return row.find_first_not_of(" \t\r\v\f") == std::string_view::npos; }

// The first column of a row: the listing indents every row with a TAB, and
// the login runs from there to the next TAB, blanks and all.
std::optional<std::string_view> first_column(std::string_view row) {
    if (row.find('\t') == std::string_view::npos)
        return std::nullopt;
    const size_t begin = row.find_first_not_of('\t');
    if (begin == std::string_view::npos)
        return std::nullopt;
    const size_t end = row.find('\t', begin);
    return row.substr(begin, end == std::string_view::npos ? std::string_view::npos : end - begin);
}

bool column_title(std::string_view column) { return column.size() == 8 && strncasecmp(column.data(), "username", 8) == 0; }

bool rule(std::string_view column) { return !column.empty() && column.find_first_not_of('-') == std::string_view::npos; }

} // namespace

AccountRows account_names(std::string_view output) {
    AccountRows rows;
    auto lines = split_lines(output);
    // The column titles come before the first account; a rule of dashes
    // is no login wherever it stands.
    bool accounts = false;
    for (size_t i = 1; i < lines.size(); ++i) {
        std::string_view row = lines[i];
        if (!row.empty() && row.back() == '\r')
            row.remove_suffix(1);
        if (blank_row(row))
            continue;
        const std::optional<std::string_view> login = first_column(row);
        if (!login) {
            rows.unreadable.emplace_back(row);
            continue;
        }
        if (rule(*login))
            continue;
        if (!accounts && column_title(*login))
            continue;
        accounts = true;
        if (*login == "SYSTEM")
            continue;
        rows.names.emplace_back(*login);
    }
    return rows;
}

std::optional<std::string> account_name_problem(std::string_view name) {
    if (name.find('/') != std::string_view::npos)
        return std::string("it holds a \"/\"");
    for (unsigned char c : name)
        if (c < 0x20 || c == 0x7f)
            return std::string("it holds control characters");
    return std::nullopt;
}

std::string printable(std::string_view text) {
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (unsigned char c : text) {
        if (c < 0x20 || c == 0x7f || c == '\\') {
            out += "\\x";
            out += digits[c >> 4];
            out += digits[c & 15];
        } else {
            out += static_cast<char>(c);
        }
    }
    return out;
}

namespace {

// The value of a details row: the text after its last TAB, at most 99
// characters. False when the row holds no TAB.
bool detail_value(const std::string &line, char *field, size_t capacity) {
    const size_t tab = line.rfind('\t');
    if (tab == std::string::npos)
        return false;
    std::string value = line.substr(tab + 1);
    if (!value.empty() && value.back() == '\r')
        value.pop_back();
    if (value.size() > kMaxUserName)
        value.resize(kMaxUserName);
    copy_to(field, capacity, value);
    return true;
}

} // namespace

int parse_user_details(std::string_view output, tUserInfo *info) {
    const auto lines = split_lines(output);
    if (lines.empty() || lines[0].find("Unable to show user details, user not found.") != std::string::npos)
        return -1;
    bool full_name = false, mail = false;
    for (size_t i = 1; i < lines.size() && !(full_name && mail); ++i) {
        const std::string &line = lines[i];
        if (line.find("Fullname") != std::string::npos)
            full_name = detail_value(line, info->cpFullUserName, sizeof info->cpFullUserName) || full_name;
        else if (line.find("Emailaddress") != std::string::npos)
            mail = detail_value(line, info->cpMailAddr, sizeof info->cpMailAddr) || mail;
    }
    return full_name && mail ? 1 : 0;
}

AccountListing list_accounts() {
    AccountListing listing;
    const std::vector<std::string> argv{"zarafa-admin", "-l"};
    ToolRun run = run_tool(argv, {.capture_output = true});
    if (!run.started) {
        // A missing tool behaves like a shell that found nothing to run: the
        // server simply lists nobody. Say so, since the backup will be empty.
        if (run.start_errno == ENOENT) {
            msg("Warning: can't run [%s]: %s", command_text(argv).c_str(), run.start_error.c_str());
            listing.ran = true;
        } else {
            listing.why = run.start_error;
        }
        return listing;
    }
    listing.ran = true;
    warn_if_failed(argv, run);
    AccountRows rows = account_names(run.output);
    // An account that can't be read is not backed up: it must not go
    // unmentioned.
    for (const std::string &row : rows.unreadable) {
        const std::string shown = printable(row);
        msg("Warning: the row \"%.200s%s\" of [%s] names no account (its columns are not separated by TABs); it is "
            "skipped, and no mailbox of it is backed up",
            shown.c_str(), shown.size() > 200 ? "..." : "", command_text(argv).c_str());
    }
    listing.names = std::move(rows.names);
    return listing;
}

} // namespace ark
