// The committed fuzz corpora replayed in the normal build: every seed under
// fuzz/corpus/<target>/, and every reproducer a fuzz run finds once it is
// added there, goes through the plug-in loaded with dlopen (nv_rexec's
// through the tool itself), and the fixed buffers, result codes and lists
// keep the guarantees of the C interface.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "ark_zarafa.h"
#include "backup_levels.h"
#include "cm_common.h"
#include "support/fake_server.h"
#include "support/fixtures.h"
#include "support/plugin_host.h"
#include "zarafa_index_utils.h"
#include "zarafa_server_utils.h"

namespace {

using namespace arktest;

const fs::path kCorpus = fs::path(ARK_SOURCE_DIR) / "fuzz" / "corpus";

std::vector<fs::path> seeds(const char *target) {
    std::vector<fs::path> files;
    for (const auto &entry : fs::directory_iterator(kCorpus / target))
        if (entry.is_regular_file())
            files.push_back(entry.path());
    std::sort(files.begin(), files.end());
    return files;
}

std::string seed_name(const ::testing::TestParamInfo<fs::path> &info) {
    std::string name = info.param.filename().string();
    for (char &c : name)
        if (!std::isalnum(static_cast<unsigned char>(c)))
            c = '_';
    return name;
}

std::string c_text(const std::string &text) { return text.substr(0, text.find('\0')); }

std::vector<std::string> split(const std::string &text, char separator) {
    std::vector<std::string> pieces;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find(separator, start);
        if (end == std::string::npos)
            end = text.size();
        pieces.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return pieces;
}

bool terminated(const char *buffer, size_t capacity) { return std::memchr(buffer, '\0', capacity) != nullptr; }

std::vector<std::string> strings_of(const LIST_INFO *list) {
    std::vector<std::string> out;
    for (const LIST_ITEM *item = list->spFirstItem; item; item = item->spNextItem) {
        EXPECT_TRUE(item->iDataSize > 0 && terminated(static_cast<const char *>(item->vpData),
                                                      static_cast<size_t>(item->iDataSize)));
        out.emplace_back(static_cast<const char *>(item->vpData));
    }
    return out;
}

struct FifoList {
    FifoList() : list(ARK_FN(CreateFIFOList)()) {}
    ~FifoList() { ARK_FN(DestroyFIFOList)(list); }
    FifoList(const FifoList &) = delete;
    FifoList &operator=(const FifoList &) = delete;
    void push(const std::string &text) const {
        ASSERT_EQ(ARK_FN(PushFIFOItem)(list, text.c_str(), static_cast<uint32_t>(text.size() + 1)), TRUE);
    }
    LIST_INFO *list;
};

class Seed : public ::testing::TestWithParam<fs::path> {
protected:
    void SetUp() override { clear_messages(); }
    std::string bytes() const { return read_file(GetParam()); }
    TempDir dir;
};

TEST(FuzzCorpus, EveryTargetHasSeeds) {
    for (const char *target : {"index_line", "index_file", "list_file", "control_vars", "admin_output", "profile",
                               "string_utils", "rexec_args"})
        EXPECT_FALSE(seeds(target).empty()) << target;
}

// ---- index lines and files ------------------------------------------------

class IndexLineSeed : public Seed {};

TEST_P(IndexLineSeed, KeyIsOneWholeFieldOfTheUnchangedLine) {
    std::string line = c_text(bytes());
    const std::string before = line;
    std::vector<char> key(ZARAFA_RECORD_KEY_BUF, '\x7f');
    const int found = ARK_FN(parse_index_line)(line.data(), key.data());
    EXPECT_EQ(line, before);
    ASSERT_TRUE(found == 0 || found == 1) << found;
    if (found) {
        ASSERT_TRUE(terminated(key.data(), key.size()));
        const std::string text = key.data();
        EXPECT_FALSE(text.empty());
        EXPECT_EQ(text.find(':'), std::string::npos);
        EXPECT_NE(line.find(text), std::string::npos);
    }
}

INSTANTIATE_TEST_SUITE_P(Corpus, IndexLineSeed, ::testing::ValuesIn(seeds("index_line")), seed_name);

class IndexFileSeed : public Seed {};

TEST_P(IndexFileSeed, TableAndListFileAgree) {
    const fs::path index = dir / "u.index.zbk";
    const fs::path list = dir / "u.lst";
    write_file(index, bytes());

    std::vector<char *> table(ZARAFA_RECORD_KEYS_TABLE_SLOTS, nullptr);
    const int count = ARK_FN(zarafa_index_get_all_rekord_keys)(index.c_str(), table.data());
    ASSERT_GE(count, 0);
    ASSERT_LT(count, ZARAFA_RECORD_KEYS_TABLE_SLOTS);
    EXPECT_EQ(table[static_cast<size_t>(count)], nullptr);
    std::set<std::string> keys;
    for (int i = 0; i < count; ++i) {
        const std::string key = table[static_cast<size_t>(i)];
        EXPECT_TRUE(!key.empty() && key.size() < ZARAFA_RECORD_KEY_BUF) << key;
        EXPECT_EQ(key.find_first_of(":\n"), std::string::npos) << key;
        EXPECT_TRUE(keys.insert(key).second) << "key twice in the table: " << key;
    }
    ARK_FN(zarafa_index_clear_recordkeys_table)(table.data(), count);
    EXPECT_TRUE(std::all_of(table.begin(), table.end(), [](char *slot) { return slot == nullptr; }));

    if (ARK_FN(build_list_file)(index.c_str(), list.c_str()) != 1)
        return;
    // Every list line names one mailbox and a key the table also holds.
    std::set<std::string> users;
    const std::string text = read_file(list);
    EXPECT_TRUE(text.empty() || text.back() == '\n');
    for (const std::string &line : split(text, '\n')) {
        const size_t separator = line.find("^:");
        ASSERT_NE(separator, std::string::npos) << line;
        users.insert(line.substr(0, separator));
        EXPECT_EQ(keys.count(line.substr(separator + 2)), 1u) << line;
    }
    EXPECT_LE(users.size(), 1u);
}

INSTANTIATE_TEST_SUITE_P(Corpus, IndexFileSeed, ::testing::ValuesIn(seeds("index_file")), seed_name);

// ---- list files -----------------------------------------------------------

class ListFileSeed : public Seed {};

TEST_P(ListFileSeed, RecordsAreWholeTerminatedFields) {
    const fs::path file = dir / "sel.lst";
    write_file(file, bytes());
    FifoList records;
    ASSERT_EQ(ARK_FN(parse_list_file)(file.c_str(), records.list), 1);
    for (const LIST_ITEM *item = records.list->spFirstItem; item; item = item->spNextItem) {
        ASSERT_EQ(item->iDataSize, static_cast<int32_t>(sizeof(tSelRestItem)));
        const auto *record = static_cast<const tSelRestItem *>(item->vpData);
        ASSERT_TRUE(terminated(record->cpUserName, sizeof record->cpUserName));
        ASSERT_TRUE(terminated(record->cpRekordKey, sizeof record->cpRekordKey));
        const std::string user = record->cpUserName, key = record->cpRekordKey;
        EXPECT_TRUE(!user.empty() && user.find('^') == std::string::npos) << user;
        EXPECT_TRUE(!key.empty() && key.find_first_of("\r\n") == std::string::npos) << key;
    }
}

INSTANTIATE_TEST_SUITE_P(Corpus, ListFileSeed, ::testing::ValuesIn(seeds("list_file")), seed_name);

// ---- control variables, option words and exclusions ----------------------

class ControlVarsSeed : public Seed {
protected:
    void TearDown() override {
        ARKZarafa &state = ARK_VAR(g_sARKZarafa);
        ARK_FN(zarafa_global_struct_cleanup)();
        ARK_FN(DestroyFIFOList)(state.psUsers);
        ARK_FN(DestroyFIFOList)(state.psFileNames);
        state.psUsers = state.psFileNames = nullptr;
    }
};

TEST_P(ControlVarsSeed, RecordLevelAndExclusionsStayConsistent) {
    ARKZarafa &state = ARK_VAR(g_sARKZarafa);
    ARK_FN(zarafa_global_struct_init)(DB_TYPE_BCK);
    std::vector<std::string> vars = split(bytes(), '\n');
    const std::vector<std::string> host_copy = vars;
    std::vector<char *> array;
    for (std::string &var : vars)
        array.push_back(var.data());
    array.push_back(nullptr);

    ASSERT_EQ(ARK_FN(zarafa_parse_db_args)(&state, array.data()), vars.empty() ? DB_NUM_E_ERROR : DB_NUM_I_OK);
    EXPECT_EQ(vars, host_copy);
    EXPECT_TRUE(terminated(state.cpTempDir, sizeof state.cpTempDir));
    EXPECT_TRUE(terminated(state.cpSavesetName, sizeof state.cpSavesetName));
    EXPECT_TRUE(terminated(state.cpINIDir, sizeof state.cpINIDir));
    ASSERT_TRUE(state.iArgc >= 0 && state.iArgc <= ARK_MAX_ARGS);
    for (int i = 0; i < state.iArgc; ++i) {
        ASSERT_NE(state.cpArgv[i], nullptr);
        EXPECT_EQ(std::strchr(state.cpArgv[i], '"'), nullptr) << state.cpArgv[i];
    }

    const int level = ARK_FN(setup_backup_level)(&state);
    EXPECT_TRUE(level == 0 || level == 1);
    EXPECT_EQ(state.iBackupLevelCOPY + state.iBackupLevelINCR + state.iBackupLevelFULL, 1);
    ASSERT_TRUE(terminated(state.cpJobName, sizeof state.cpJobName));
    EXPECT_LE(std::strlen(state.cpJobName), 100u);

    FifoList names;
    for (const char *user : {"alice", "bob", "carol.smith", "dave-2"})
        names.push(user);
    FifoList requested;
    ASSERT_EQ(ARK_FN(GetUsersFromCmdLine)(requested.list, array.data()), 1);
    for (const std::string &name : strings_of(requested.list))
        names.push(name);
    const std::vector<std::string> before = strings_of(names.list);
    ASSERT_EQ(ARK_FN(ProcessExcludeList)(names.list, state.cpArgv, state.iArgc), 1);
    const std::vector<std::string> after = strings_of(names.list);
    // Exclusions only remove names; the rest keep their order.
    auto at = before.begin();
    for (const std::string &name : after) {
        at = std::find(at, before.end(), name);
        ASSERT_NE(at, before.end()) << name;
        ++at;
    }
}

INSTANTIATE_TEST_SUITE_P(Corpus, ControlVarsSeed, ::testing::ValuesIn(seeds("control_vars")), seed_name);

// ---- output of the account tool -------------------------------------------

class AdminOutputSeed : public Seed {};

TEST_P(AdminOutputSeed, AccountsAndDetailsFitTheirBuffers) {
    FakeServer server;
    server.set_listing(bytes());
    server.set_details("alice", bytes());

    FifoList accounts;
    ASSERT_EQ(ARK_FN(GetUsersFromServer)(accounts.list), 1);
    for (const std::string &name : strings_of(accounts.list)) {
        EXPECT_TRUE(!name.empty() && name.size() < ARK_USER_NAME_LEN) << name;
        EXPECT_EQ(name.find_first_of("\t\r\n\v\f"), std::string::npos) << name;
        EXPECT_NE(name, "SYSTEM");
    }

    tUserInfo info{};
    const int found = ARK_FN(GetUserInfo)(&info, "alice");
    EXPECT_TRUE(found == 0 || found == 1);
    ASSERT_TRUE(terminated(info.cpFullUserName, sizeof info.cpFullUserName));
    ASSERT_TRUE(terminated(info.cpMailAddr, sizeof info.cpMailAddr));
    EXPECT_LE(std::strlen(info.cpFullUserName), 99u);
    EXPECT_LE(std::strlen(info.cpMailAddr), 99u);
}

INSTANTIATE_TEST_SUITE_P(Corpus, AdminOutputSeed, ::testing::ValuesIn(seeds("admin_output")), seed_name);

// ---- profile files ----------------------------------------------------------

class ProfileSeed : public Seed {};

// The seed is: value capacity byte, message capacity byte, "SECTION<TAB>KEY"
// (or a key alone), then the profile file.
TEST_P(ProfileSeed, LookupsStayWithinTheCallersBuffers) {
    const std::string input = bytes();
    ASSERT_GE(input.size(), 2u);
    const int value_capacity = 1 + static_cast<unsigned char>(input[0]) * 5;
    const int message_capacity = 1 + static_cast<unsigned char>(input[1]) * 2;
    const std::string rest = input.substr(2);
    const size_t newline = rest.find('\n');
    const std::string first_line = c_text(rest.substr(0, newline));
    write_file(dir / "p.ini", newline == std::string::npos ? "" : rest.substr(newline + 1));
    const size_t tab = first_line.find('\t');
    const std::string section = tab == std::string::npos ? "" : first_line.substr(0, tab);
    const std::string key = tab == std::string::npos ? first_line : first_line.substr(tab + 1);
    const char *section_arg = tab == std::string::npos ? nullptr : section.c_str();
    const std::string file = (dir / "p.ini").string();

    std::vector<char> value(static_cast<size_t>(value_capacity), '\x7f');
    std::vector<char> message(static_cast<size_t>(message_capacity), '\x7f');
    const int found = ARK_FN(i_GetPrivateProfileString)(file.c_str(), section_arg, key.c_str(), value.data(),
                                                         value_capacity, message.data(), message_capacity);
    ASSERT_TRUE(terminated(message.data(), message.size()));
    if (found == 1) {
        ASSERT_TRUE(terminated(value.data(), value.size()));
        EXPECT_NE(value[0], '\0');
        EXPECT_EQ(message[0], '\0');
    } else {
        EXPECT_EQ(found, 0);
        const bool untouched = std::all_of(value.begin(), value.end(), [](char c) { return c == '\x7f'; });
        EXPECT_TRUE(untouched || value[0] == '\0');
    }

    t_LL list = ARK_FN(ConsLL)();
    std::vector<char> list_message(static_cast<size_t>(message_capacity), '\x7f');
    const int listed = ARK_FN(i_GetPrivateProfileList)(file.c_str(), section_arg, key.c_str(), list,
                                                        list_message.data(), message_capacity);
    EXPECT_TRUE(terminated(list_message.data(), list_message.size()));
    EXPECT_TRUE(listed == 0 || (listed == 1 && ARK_FN(SizeLL)(list) > 0)) << listed;
    for (void *el = ARK_FN(FirstElmLL)(list); ARK_FN(IsElmLL)(el); el = ARK_FN(NextElmLL)(el))
        EXPECT_EQ((static_cast<t_linkLL *>(el) - 1)->u.ll.size, std::strlen(static_cast<char *>(el)) + 1);
    ARK_FN(DestLL)(list);
}

INSTANTIATE_TEST_SUITE_P(Corpus, ProfileSeed, ::testing::ValuesIn(seeds("profile")), seed_name);

// ---- squeeze and szChar2EscapeChar ------------------------------------------

class StringUtilsSeed : public Seed {};

// The seed is: the character, two bytes of capacity, then the text.
TEST_P(StringUtilsSeed, ResultsMatchTheirDefinitionWithinTheCapacity) {
    const std::string input = bytes();
    ASSERT_GE(input.size(), 3u);
    const char c = input[0];
    const size_t capacity =
        1 + ((static_cast<size_t>(static_cast<unsigned char>(input[1])) << 8 | static_cast<unsigned char>(input[2])) %
             4096);
    const std::string text = c_text(input.substr(3));

    std::string squeezed;
    for (char ch : text)
        if (ch != c || squeezed.empty() || squeezed.back() != c)
            squeezed += ch;
    std::vector<char> buffer(text.begin(), text.end());
    buffer.push_back('\0');
    EXPECT_EQ(ARK_FN(squeeze)(buffer.data(), c), squeezed);

    std::string escaped;
    for (char ch : text.substr(0, capacity - 1))
        escaped += ch == c ? std::string("\\") + ch : std::string(1, ch);
    std::vector<char> fixed(capacity, '\x7f');
    const std::string fitting = text.substr(0, capacity - 1);
    std::memcpy(fixed.data(), fitting.c_str(), fitting.size() + 1);
    ASSERT_EQ(ARK_FN(szChar2EscapeChar)(fixed.data(), c, static_cast<int>(capacity)), fixed.data());
    ASSERT_TRUE(terminated(fixed.data(), fixed.size()));
    EXPECT_EQ(fixed.data(), escaped.substr(0, capacity - 1));
}

INSTANTIATE_TEST_SUITE_P(Corpus, StringUtilsSeed, ::testing::ValuesIn(seeds("string_utils")), seed_name);

// ---- nv_rexec's command line --------------------------------------------------

class RexecArgsSeed : public Seed {};

// The seed is the argument vector after the program name, NUL-separated. A
// fake ssh first on PATH stands for the remote client.
TEST_P(RexecArgsSeed, ToolEndsWithAStatusOfItsOwn) {
    write_script(dir / "bin" / "ssh", "exit 0\n");
    std::vector<std::string> argv{std::string(ARK_BIN_DIR) + "/nv_rexec"};
    for (const std::string &word : split(bytes(), '\0'))
        argv.push_back(word);
    const std::string path = (dir / "bin").string() + ":" + std::getenv("PATH");
    ProcessOptions options;
    options.cwd = dir.path();
    options.env = {{"PATH", path}};
    const ProcessResult r = run_process(argv, options);
    ASSERT_EQ(r.signal, 0) << r.err;
    EXPECT_TRUE(r.exit_status == 0 || r.exit_status == 2 || r.exit_status == 3) << r.exit_status << "\n" << r.err;
    const bool usage_shown = r.out.find(" Syntax:") != std::string::npos;
    if (r.exit_status == 3) {
        EXPECT_TRUE(usage_shown) << r.out;
    }
    if (r.err.find("Error: ") != std::string::npos) {
        EXPECT_NE(r.exit_status, 0) << r.err;
    }
}

INSTANTIATE_TEST_SUITE_P(Corpus, RexecArgsSeed, ::testing::ValuesIn(seeds("rexec_args")), seed_name);

} // namespace
