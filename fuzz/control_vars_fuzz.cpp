// The host's control variables (one per input line) as an operation set-up
// reads them: the record's fields, the option words of "INFO=", the level and
// job name they set, the requested mailboxes, and the "-x" exclusion patterns
// applied to a list of names.
#include <cstring>
#include <string>
#include <vector>

#include "ark_zarafa.h"
#include "backup_levels.h"
#include "fuzz_support.h"

namespace {

// Accounts of an imaginary server, so that requested names can be merged.
const char *const kServerUsers[] = {"alice", "bob", "carol.smith", "dave-2", "SYSTEM"};

// The option words of the last variable holding "INFO=": its value (after the
// first "=") split at double quotes, dropping empty pieces and single blanks,
// at most ARK_MAX_ARGS of them.
std::vector<std::string> expected_words(const std::vector<std::string> &vars) {
    std::vector<std::string> words;
    for (const std::string &var : vars) {
        const std::string_view text = fuzz::c_text(var);
        const size_t equals = text.find('=');
        if (equals == std::string_view::npos || text.find("INFO=") == std::string_view::npos)
            continue;
        words.clear();
        for (const std::string &piece : fuzz::split(text.substr(equals + 1), '"'))
            if (!piece.empty() && piece != " " && words.size() < ARK_MAX_ARGS)
                words.push_back(piece);
    }
    return words;
}

bool terminated(const char *field, size_t capacity) { return std::memchr(field, '\0', capacity) != nullptr; }

std::vector<std::string> strings_of(const LIST_INFO *list) {
    std::vector<std::string> out;
    for (const LIST_ITEM *item = list->spFirstItem; item; item = item->spNextItem) {
        FUZZ_CHECK(item->iDataSize > 0 && std::memchr(item->vpData, '\0', static_cast<size_t>(item->iDataSize)));
        out.emplace_back(static_cast<const char *>(item->vpData));
    }
    return out;
}

void push(LIST_INFO *list, const std::string &name) {
    FUZZ_CHECK(PushFIFOItem(list, name.c_str(), static_cast<uint32_t>(name.size() + 1)) == TRUE);
}

// True when every element of part occurs in whole, in the same order.
bool is_subsequence(const std::vector<std::string> &part, const std::vector<std::string> &whole) {
    size_t at = 0;
    for (const std::string &name : part) {
        while (at < whole.size() && whole[at] != name)
            ++at;
        if (at == whole.size())
            return false;
        ++at;
    }
    return true;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    ARKZarafa &state = g_sARKZarafa;
    zarafa_global_struct_init(DB_TYPE_BCK);
    // The reset keeps the paths of the last operation; each run starts clean.
    std::memset(state.cpTempDir, 0, sizeof state.cpTempDir);
    std::memset(state.cpSavesetName, 0, sizeof state.cpSavesetName);
    std::memset(state.cpINIDir, 0, sizeof state.cpINIDir);

    std::vector<std::string> vars = fuzz::split(fuzz::as_text(data, size), '\n');
    const std::vector<std::string> host_copy = vars;
    std::vector<char *> array;
    for (std::string &var : vars)
        array.push_back(var.data());
    array.push_back(nullptr);

    const int parsed = zarafa_parse_db_args(&state, array.data());
    FUZZ_CHECK(parsed == (vars.empty() ? DB_NUM_E_ERROR : DB_NUM_I_OK));
    FUZZ_CHECK(vars == host_copy);
    FUZZ_CHECK(terminated(state.cpTempDir, sizeof state.cpTempDir));
    FUZZ_CHECK(terminated(state.cpSavesetName, sizeof state.cpSavesetName));
    FUZZ_CHECK(terminated(state.cpINIDir, sizeof state.cpINIDir));
    const std::vector<std::string> words = expected_words(vars);
    FUZZ_CHECK(state.iArgc == static_cast<int>(words.size()));
    for (int i = 0; i < state.iArgc; ++i)
        FUZZ_CHECK(state.cpArgv[i] && words[static_cast<size_t>(i)] == state.cpArgv[i]);

    const int level_ok = setup_backup_level(&state);
    FUZZ_CHECK(level_ok == 0 || level_ok == 1);
    FUZZ_CHECK(state.iBackupLevelCOPY + state.iBackupLevelINCR + state.iBackupLevelFULL == 1);
    FUZZ_CHECK(terminated(state.cpJobName, sizeof state.cpJobName));

    LIST_INFO *server = CreateFIFOList();
    LIST_INFO *requested = CreateFIFOList();
    LIST_INFO *selected = CreateFIFOList();
    LIST_INFO *names = CreateFIFOList();
    FUZZ_CHECK(server && requested && selected && names);
    for (const char *user : kServerUsers) {
        push(server, user);
        push(names, user);
    }
    FUZZ_CHECK(GetUsersFromCmdLine(requested, array.data()) == 1);
    for (const std::string &name : strings_of(requested)) {
        FUZZ_CHECK(!name.empty());
        push(names, name);
    }
    FUZZ_CHECK(BuildUserList(selected, server, requested) == 1);
    for (const std::string &name : strings_of(selected))
        FUZZ_CHECK(name == "PUBLIC_FOLDER" || IsStringInFIFOList(server, name.c_str()));

    // Each pattern removes at most one name; the others keep their order.
    const std::vector<std::string> before = strings_of(names);
    FUZZ_CHECK(ProcessExcludeList(names, state.cpArgv, state.iArgc) == 1);
    const std::vector<std::string> after = strings_of(names);
    FUZZ_CHECK(after.size() <= before.size());
    FUZZ_CHECK(static_cast<int>(after.size()) == names->iItemCount);
    FUZZ_CHECK(is_subsequence(after, before));

    DestroyFIFOList(server);
    DestroyFIFOList(requested);
    DestroyFIFOList(selected);
    DestroyFIFOList(names);
    zarafa_global_struct_cleanup();
    DestroyFIFOList(state.psUsers);
    DestroyFIFOList(state.psFileNames);
    state.psUsers = state.psFileNames = nullptr;
    return 0;
}
