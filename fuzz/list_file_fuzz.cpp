// List files read back for a selective restore: every record taken must be a
// whole, terminated user name and key, and exactly the usable lines are taken.
#include <cstring>
#include <string>
#include <vector>

#include "fuzz_support.h"
#include "index_model.h"
#include "list.h"
#include "zarafa_index_utils.h"

namespace {

struct Record {
    std::string user;
    std::string key;
};

// "USER^:KEY": the user is what precedes the first "^" ("public" names the
// public store), the key what follows the first ":" up to the line end (a
// final CR included). Empty or overlong parts make the line unusable.
std::vector<Record> expected_records(std::string_view text) {
    std::vector<Record> records;
    for (std::string_view line : fuzz::model_lines(text)) {
        line = fuzz::c_text(line);
        const size_t colon = line.find(':');
        const size_t caret = line.find('^');
        if (colon == std::string_view::npos || caret == std::string_view::npos)
            continue;
        std::string key(line.substr(colon + 1));
        if (!key.empty() && key.back() == '\n')
            key.pop_back();
        if (!key.empty() && key.back() == '\r')
            key.pop_back();
        std::string user(line.substr(0, caret));
        if (user == "public")
            user = "PUBLIC_FOLDER";
        if (user.empty() || key.empty() || user.size() > 99 || key.size() > 14)
            continue;
        records.push_back({user, key});
    }
    return records;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const std::string_view input = fuzz::as_text(data, size);
    const fuzz::ScratchFile file("selection.list", input);
    LIST_INFO *list = CreateFIFOList();
    FUZZ_CHECK(list);

    FUZZ_CHECK(parse_list_file(file.path(), list) == 1);
    const std::vector<Record> expected = expected_records(input);
    FUZZ_CHECK(list->iItemCount == static_cast<int>(expected.size()));
    size_t i = 0;
    for (const LIST_ITEM *item = list->spFirstItem; item; item = item->spNextItem, ++i) {
        FUZZ_CHECK(item->iDataSize == sizeof(tSelRestItem));
        const auto *record = static_cast<const tSelRestItem *>(item->vpData);
        FUZZ_CHECK(std::memchr(record->cpUserName, '\0', sizeof record->cpUserName));
        FUZZ_CHECK(std::memchr(record->cpRekordKey, '\0', sizeof record->cpRekordKey));
        FUZZ_CHECK(i < expected.size());
        FUZZ_CHECK(expected[i].user == record->cpUserName);
        FUZZ_CHECK(expected[i].key == record->cpRekordKey);
    }
    DestroyFIFOList(list);
    return 0;
}
