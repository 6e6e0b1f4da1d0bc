// The index file of an exported mailbox: its record keys, the record-key
// table of the record-key restore, and the time-stamped dump of the file.
#include "index_file.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <unordered_set>

#include "c_buffer.h"
#include "fields.h"
#include "system/line_reader.h"
#include "messages.h"
#include "zarafa_index_utils.h"

using ark::msg;

namespace ark {

IndexKey index_line_key(std::string_view line) {
    // The line is C text: whatever follows a NUL byte is not part of it.
    line = line.substr(0, line.find('\0'));
    size_t wanted;
    if (line.find("M:") != std::string_view::npos)
        wanted = 5;
    else if (line.find("C:") != std::string_view::npos)
        wanted = 7;
    else
        return {};

    // A further field must follow the key.
    const RunField key = field_in_runs(line, wanted);
    if (!key.followed)
        return {};
    if (key.text.size() > kMaxRecordKey)
        return {KeyStatus::too_long, key.text};
    return {KeyStatus::found, key.text};
}

void read_index_keys(sys::LineReader &lines, int lines_read, const char *file_name,
                     const std::function<bool(std::string_view key)> &take) {
    std::string_view line;
    for (int line_number = lines_read + 1; lines.next(line); ++line_number) {
        const IndexKey found = index_line_key(line);
        if (found.status == KeyStatus::too_long)
            msg("Warning: record key of %zu characters at line %d of %s is too long (at most %zu), skipped",
                found.key.size(), line_number, file_name, kMaxRecordKey);
        if (found.status == KeyStatus::found && !take(found.key))
            return;
    }
}

} // namespace ark

namespace {

unsigned low_bits(const void *pointer) { return static_cast<unsigned>(reinterpret_cast<uintptr_t>(pointer)); }

std::string time_stamp() {
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    char text[64] = {};
    if (localtime_r(&now, &local))
        std::strftime(text, sizeof text, "%F %T", &local);
    return text;
}

} // namespace

extern "C" int parse_index_line(char *cpStr, char *cpRecordKey) {
    if (!cpStr || !cpRecordKey)
        return 0;
    const ark::IndexKey found = ark::index_line_key(cpStr);
    if (found.status != ark::KeyStatus::found)
        return 0;
    return ark::copy_to(cpRecordKey, ZARAFA_RECORD_KEY_BUF, found.key) ? 1 : 0;
}

extern "C" int zarafa_index_is_in_table(const char **ccppRecordKeysTable, const char *ccpVal) {
    if (!ccppRecordKeysTable || !ccpVal)
        return 0;
    for (const char **slot = ccppRecordKeysTable; *slot; ++slot)
        if (std::strstr(*slot, ccpVal))
            return 1;
    return 0;
}

extern "C" int zarafa_index_get_all_rekord_keys(const char *ccpIndexFileName, char **cppRecordKeysTable) {
    msg("zarafa_index_get_all_rekord_keys(+)");
    if (!ccpIndexFileName || !cppRecordKeysTable) {
        msg("Error: Incorrect parameters");
        return 0;
    }
    ark::sys::File in = ark::sys::open_file(ccpIndexFileName, "r");
    if (!in) {
        msg("Error: can't open %s", ccpIndexFileName);
        return 0;
    }
    // Keys are compared whole: a key that happens to lie inside an earlier,
    // longer one is still a record of its own.
    std::unordered_set<std::string> stored;
    int count = 0;
    ark::sys::LineReader lines(in.get());
    ark::read_index_keys(lines, 0, ccpIndexFileName, [&](std::string_view key) {
        if (stored.count(std::string(key)))
            return true;
        // The last slot stays empty: it ends the table.
        if (count >= ZARAFA_RECORD_KEYS_TABLE_SLOTS - 1) {
            msg("Warning: record-key table is full (%d keys), the remaining keys of %s are not taken", count,
                ccpIndexFileName);
            return false;
        }
        auto *copy = static_cast<char *>(std::malloc(key.size() + 1));
        if (!copy)
            return true;
        std::memcpy(copy, key.data(), key.size());
        copy[key.size()] = '\0';
        cppRecordKeysTable[count++] = copy;
        stored.emplace(key);
        return true;
    });
    msg("zarafa_index_get_all_rekord_keys(-)");
    return count;
}

extern "C" void zarafa_index_clear_recordkeys_table(char **cppTable, int iTotalRecords) {
    msg("zarafa_index_clear_recordkeys_table(+)");
    for (int i = 0; cppTable && i < iTotalRecords; ++i) {
        std::free(cppTable[i]);
        cppTable[i] = nullptr;
    }
    msg("zarafa_index_clear_recordkeys_table(-)");
}

extern "C" void print_index_file(FILE *f, const char *fname) {
    if (!fname) {
        msg("Error calling print_index_file(%x, %x)\n", low_bits(f), low_bits(fname));
        return;
    }
    if (!f)
        f = stderr;
    ark::sys::File in = ark::sys::open_file(fname, "r");
    if (!in) {
        msg("Error calling print_index_file(). Can't open %s", fname);
        return;
    }
    // Lines are read in pieces of at most 1023 characters, as a 1024-byte
    // line buffer takes them, and every piece gets a stamp of its own: a
    // longer line is dumped as several stamped pieces, without a newline
    // between them.
    constexpr size_t piece = 1023;
    ark::sys::LineReader lines(in.get());
    std::string_view line;
    while (lines.next(line)) {
        for (size_t at = 0; at < line.size(); at += piece) {
            std::fprintf(f, "%s: akz-3218: Info: ", time_stamp().c_str());
            std::fwrite(line.data() + at, 1, std::min(piece, line.size() - at), f);
        }
    }
    std::fflush(f);
}

extern "C" int ParseIndexFile(const char *ccpFName, tspIndexFile *spIndexFile) {
    msg("ParseIndexFile(+)");
    if (!ccpFName || !spIndexFile) {
        msg("Error: Incorrect parameters");
        return 0;
    }
    msg("ParseIndexFile(-)");
    return 1;
}

extern "C" int ParseIndexFileLine(const char *, tspIndexFileRecord *) { return 0; }
