// Whole index files: the record-key table, the dump and the list file written
// from them, each compared with the model of the format.
#include <cstdio>
#include <cstring>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "fuzz_support.h"
#include "index_model.h"
#include "zarafa_index_utils.h"

namespace {

// Distinct keys of the file, in file order, as many as the table takes.
std::vector<std::string> expected_table(std::string_view text) {
    std::vector<std::string> keys;
    std::set<std::string> seen;
    for (std::string_view line : fuzz::model_lines(text)) {
        const fuzz::ModelResult r = fuzz::model_index_key(line);
        if (r.status != fuzz::ModelKey::found || !seen.insert(r.key).second)
            continue;
        if (keys.size() == ZARAFA_RECORD_KEYS_TABLE_SLOTS - 1)
            break;
        keys.push_back(r.key);
    }
    return keys;
}

// The list file for the file, or nothing when the header names no user. The
// header is the first line, or its first 99 bytes when it is longer: the rest
// of such a line is read as the next line.
bool expected_list(std::string_view text, std::string &list) {
    if (text.empty())
        return false;
    size_t header_end = text.find('\n');
    header_end = header_end == std::string_view::npos ? text.size() : header_end + 1;
    if (header_end > 99)
        header_end = 99;
    std::string_view header = fuzz::c_text(text.substr(0, header_end));
    const size_t colon = header.rfind(':');
    if (colon == std::string_view::npos)
        return false;
    std::string_view user = header.substr(colon + 1);
    user = user.substr(0, user.rfind('\n'));
    // A user name holding "^" can't be carried by a list line: no list.
    if (user.find('^') != std::string_view::npos)
        return false;
    const std::string mailbox = user == "public" ? "PUBLIC_FOLDER" : std::string(user);
    list.clear();
    for (std::string_view line : fuzz::model_lines(text.substr(header_end))) {
        const fuzz::ModelResult r = fuzz::model_index_key(line);
        if (r.status == fuzz::ModelKey::found)
            list += mailbox + "^:" + r.key + "\n";
    }
    return true;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const std::string_view input = fuzz::as_text(data, size);
    const fuzz::ScratchFile index("mailbox.index.zbk", input);

    // The table the caller hands in: exactly the slots the interface asks for.
    auto table = std::make_unique<char *[]>(ZARAFA_RECORD_KEYS_TABLE_SLOTS);
    const int count = zarafa_index_get_all_rekord_keys(index.path(), table.get());
    const std::vector<std::string> keys = expected_table(input);
    FUZZ_CHECK(count == static_cast<int>(keys.size()));
    FUZZ_CHECK(table[ZARAFA_RECORD_KEYS_TABLE_SLOTS - 1] == nullptr);
    for (int i = 0; i < count; ++i)
        FUZZ_CHECK(table[i] && keys[static_cast<size_t>(i)] == table[i]);
    FUZZ_CHECK(count == ZARAFA_RECORD_KEYS_TABLE_SLOTS - 1 || table[count] == nullptr);
    zarafa_index_clear_recordkeys_table(table.get(), count);
    for (int i = 0; i < count; ++i)
        FUZZ_CHECK(table[i] == nullptr);

    if (std::FILE *devnull = std::fopen("/dev/null", "w")) {
        print_index_file(devnull, index.path());
        std::fclose(devnull);
    }

    const fuzz::ScratchFile list("mailbox.list");
    const int built = build_list_file(index.path(), list.path());
    std::string expected;
    FUZZ_CHECK(built == (expected_list(input, expected) ? 1 : 0));
    if (built)
        FUZZ_CHECK(list.read() == expected);
    return 0;
}
