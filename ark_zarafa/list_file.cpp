// The list file of a mailbox: one "USER^:KEY" line per record key of its
// index file, written after each export and read back as the list of a
// selective restore.
#include <sys/stat.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <string_view>

#include "c_buffer.h"
#include "index_file.h"
#include "mailbox_files.h"
#include "system/atomic_file.h"
#include "system/line_reader.h"
#include "messages.h"
#include "zarafa_index_utils.h"

using ark::msg;

namespace {

// The public store's name in an index header.
constexpr std::string_view kPublicUser = "public";

// The header is read as a fixed 99-character record: the user name is what
// follows its last ":" within that stretch.
constexpr int kHeaderRead = 100;

std::string_view mailbox_of(std::string_view user) { return user == kPublicUser ? ark::kPublicFolder : user; }

// The user and key of one list line, when the line is usable.
struct ListLine {
    std::string_view user;
    std::string_view key;
};

// True when path is a regular file holding exactly text: replacing it would
// change nothing but cost a sync, and an unchanged mailbox gives the same
// list at every export.
bool holds_already(const char *path, std::string_view text) {
    struct stat status {};
    if (::lstat(path, &status) != 0 || !S_ISREG(status.st_mode) || static_cast<size_t>(status.st_size) != text.size())
        return false;
    std::ifstream in(path, std::ios::binary);
    const std::string held((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    return in.is_open() && held == text;
}

// Replaces the list with text unless it holds that already.
std::error_code write_list(ark::sys::FileReplacement &out, const char *path, const std::string &text) {
    if (holds_already(path, text))
        return {};
    if (std::error_code ec = out.write(text))
        return ec;
    return out.commit();
}

bool split_list_line(std::string_view line, ListLine &out) {
    const size_t colon = line.find(':');
    if (colon == std::string_view::npos)
        return false;
    std::string_view key = line.substr(colon + 1);
    key = key.substr(0, key.find('\n'));
    // A list edited on another system may end its lines with CR LF.
    if (!key.empty() && key.back() == '\r')
        key.remove_suffix(1);
    const size_t caret = line.find('^');
    if (caret == std::string_view::npos)
        return false;
    out.user = mailbox_of(line.substr(0, caret));
    out.key = key;
    // A cut key or name would restore another record or another mailbox.
    return !out.user.empty() && !out.key.empty() && out.user.size() < sizeof(tSelRestItem::cpUserName) &&
           out.key.size() < sizeof(tSelRestItem::cpRekordKey);
}

} // namespace

extern "C" int build_list_file(const char *ccpIndexFName, const char *ccpListFName) {
    msg("build_list_file(+)");
    if (!ccpIndexFName || !ccpListFName) {
        msg("Error: Incorrect parameters");
        return 0;
    }
    ark::sys::File in = ark::sys::open_file(ccpIndexFName, "rb");
    if (!in) {
        msg("Error: Can't open %s", ccpIndexFName);
        return 0;
    }
    // The list is replaced whole: a reader sees the previous list or the new
    // one, never a part. An index that names no user gives an empty list.
    // It is not synced on its own: after a crash the previous list is as
    // good, and a backup makes its directory durable once at its end.
    ark::sys::FileReplacement out(ccpListFName, 0600, ark::sys::Sync::deferred);
    if (out.error()) {
        msg("Error: Can't open %s", ccpListFName);
        return 0;
    }
    auto empty_list = [&] {
        if (const std::error_code ec = write_list(out, ccpListFName, ""))
            msg("Error: Can't write list file %s, ERR=%s", ccpListFName, ec.message().c_str());
        return 0;
    };

    ark::sys::LineReader lines(in.get());
    std::string_view header_line;
    if (!lines.next(header_line, kHeaderRead - 1)) {
        msg("Error: Can't read %s", ccpIndexFName);
        return empty_list();
    }
    // The header is C text: it ends at a NUL byte.
    const std::string header(header_line.substr(0, header_line.find('\0')));
    const std::string_view header_text(header);
    const size_t colon = header_text.rfind(':');
    if (colon == std::string_view::npos) {
        msg("Error: Can't find user name in the index file. File=%s", ccpIndexFName);
        return empty_list();
    }
    std::string_view user = header_text.substr(colon + 1);
    if (const size_t newline = user.rfind('\n'); newline != std::string_view::npos)
        user = user.substr(0, newline);
    msg("cpUserName=%.*s", static_cast<int>(user.size()), user.data());
    // A reader takes the user name up to the first "^": a name holding one
    // would make the list restore its keys into another mailbox.
    if (user.find('^') != std::string_view::npos) {
        msg("Error: user name %.*s in %s holds a \"^\", which a list file can't carry",
            static_cast<int>(user.size()), user.data(), ccpIndexFName);
        return empty_list();
    }
    const std::string mailbox(mailbox_of(user));

    std::string text;
    ark::read_index_keys(lines, 1, ccpIndexFName, [&](std::string_view key) {
        text.append(mailbox).append("^:").append(key).append("\n");
        return true;
    });
    // A list that lacks lines would restrict a later selective restore
    // without anyone noticing: a read or write fault fails the list, and the
    // previous one stays.
    if (std::ferror(in.get())) {
        msg("Error: Can't read %s", ccpIndexFName);
        return 0;
    }
    if (const std::error_code ec = write_list(out, ccpListFName, text)) {
        msg("Error: Can't write list file %s, ERR=%s", ccpListFName, ec.message().c_str());
        return 0;
    }
    msg("build_list_file(-)");
    return 1;
}

extern "C" int parse_list_file(const char *ccpListFName, LIST_INFO *spList) {
    msg("parse_list_file(+)");
    if (!ccpListFName || !spList) {
        msg("Error: Incorrect parameters");
        return 0;
    }
    ark::sys::File in = ark::sys::open_file(ccpListFName, "r");
    if (!in) {
        msg("Error, can't open %s", ccpListFName);
        return 0;
    }
    ark::sys::LineReader lines(in.get());
    std::string_view line;
    for (int line_number = 0; lines.next(line); ++line_number) {
        ListLine parsed;
        if (!split_list_line(line.substr(0, line.find('\0')), parsed)) {
            msg("Warning: incorrect data at line=%d. Item skipped", line_number);
            continue;
        }
        tSelRestItem item{};
        ark::copy_to(item.cpUserName, parsed.user);
        ark::copy_to(item.cpRekordKey, parsed.key);
        if (!PushFIFOItem(spList, &item, sizeof item)) {
            msg("Error: Can't store item while processing line=%d", line_number);
            return 0;
        }
    }
    if (std::ferror(in.get())) {
        msg("Error, can't read %s", ccpListFName);
        return 0;
    }
    msg("parse_list_file(-)");
    return 1;
}
