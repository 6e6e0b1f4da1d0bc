// The set-up of a selective restore: finds the list file named by a
// requested "user@list-file" entry.
#include <sys/stat.h>

#include <cstring>
#include <string>
#include <string_view>

#include "ark_zarafa.h"
#include "c_buffer.h"
#include "cm_common.h"
#include "fifo_strings.h"
#include "messages.h"
#include "utils.h"

using ark::msg;

namespace {

constexpr size_t kMaxListFileName = ARK_PATH_LEN - 1;

// The first requested entry that refers to a list file, if any.
bool find_reference(const LIST_INFO *users, std::string &entry) {
    for (const LIST_ITEM *item = users->spFirstItem; item; item = item->spNextItem) {
        const std::string_view name = ark::item_text(item);
        if (name.find('@') != std::string_view::npos) {
            entry = name;
            return true;
        }
    }
    return false;
}

} // namespace

extern "C" int InitSelectiveRestore(LIST_INFO *spUsers, ARKZarafa *psZarafaStruct) {
    msg("init_selective_restore(+)");
    if (!psZarafaStruct || !spUsers) {
        msg("Error: wrong parameter value");
        return 0;
    }
    std::string entry;
    if (!find_reference(spUsers, entry)) {
        msg("init_selective_restore(-)");
        return 1;
    }
    const std::string name = entry.substr(entry.find('@') + 1);
    msg("Check for SEL file: %s", name.c_str());
    if (name.size() > kMaxListFileName) {
        msg("Error: list file name too long");
        return 0;
    }
    if (name.empty()) {
        msg("Error: no list file named after \"@\" in %s", entry.c_str());
        return 0;
    }

    std::string path;
    if (name.front() == '/') {
        path = name;
    } else {
        path = std::string(ark::view_of(psZarafaStruct->cpTempDir)) + "/" + name;
        msg("Search SEL file in work dir: %s", path.c_str());
    }
    squeeze(path.data(), '/');
    path.resize(std::strlen(path.c_str()));
    struct stat status{};
    if (::stat(path.c_str(), &status) != 0) {
        msg("Error: file %s doesn't exist", name.c_str());
        return 0;
    }
    if (S_ISDIR(status.st_mode)) {
        msg("Error: list file %s is a directory", path.c_str());
        return 0;
    }
    if (!ark::copy_to(psZarafaStruct->cpSelRstListFName, path)) {
        msg("Error: path of list file %s is too long (%zu characters, at most %zu)", path.c_str(), path.size(),
            kMaxListFileName);
        return 0;
    }
    psZarafaStruct->iIsSelectiveRestore = 1;
    msg("init_selective_restore(-)");
    return 1;
}
