// The index-file reader: record keys of M and C lines, the record-key table
// with its de-duplication and capacity, and the time-stamped dump.
#include <gtest/gtest.h>

#include <cstdio>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "support/fixtures.h"
#include "support/index_samples.h"
#include "support/plugin_host.h"
#include "zarafa_index_utils.h"

namespace {

using arktest::has_message;
using arktest::lines_of;
using arktest::TempDir;
using arktest::write_file;

struct LineCase {
    const char *line;
    const char *key; // nullptr: no key
};

void PrintTo(const LineCase &c, std::ostream *os) {
    std::string line = std::string(c.line).substr(0, 40);
    for (size_t at; (at = line.find('\n')) != std::string::npos;)
        line.replace(at, 1, "\\n");
    *os << '[' << line << ']';
}

class IndexLine : public ::testing::TestWithParam<LineCase> {};

TEST_P(IndexLine, YieldsTheKeyFieldOnlyWhenAFieldFollowsIt) {
    std::string line = GetParam().line;
    const std::string before = line;
    char key[ZARAFA_RECORD_KEY_BUF] = "untouched";
    const int found = ARK_FN(parse_index_line)(line.data(), key);
    if (GetParam().key) {
        EXPECT_EQ(found, 1);
        EXPECT_STREQ(key, GetParam().key);
    } else {
        EXPECT_EQ(found, 0);
    }
    EXPECT_EQ(line, before);
}

const std::string k99(99, 'k');
const std::string line99 = "a:b:c:M:" + k99 + ":x\n";
const std::string line100 = "a:b:c:M:" + k99 + "k:x\n";

INSTANTIATE_TEST_SUITE_P(
    Lines, IndexLine,
    ::testing::Values(LineCase{"a:b:c:M:key1:x\n", "key1"},                     // M line: field 5
                      LineCase{"a:b:c:M:key1\n", nullptr},                      // nothing after the key
                      LineCase{"a:b:c:M:key1", nullptr},                        // last line without newline
                      LineCase{"a::b:c:M:key1:x\n", "key1"},                    // empty fields do not count
                      LineCase{":a:b:c:M:key1:x\n", "key1"},                    // a leading ":" opens no field
                      LineCase{"a:b:c:M:key1:\n", "key1"},                      // the newline is a field
                      LineCase{"a:b:c:M:key1::::\n", "key1"},
                      LineCase{"a:b:c:M:\n", nullptr},                           // too few fields
                      LineCase{"C:f:2:0a1b2c3d4e5f:496e:1:aaaaaaaaaaa1:end\n", "aaaaaaaaaaa1"},
                      LineCase{"C:f:2:0a1b2c3d4e5f:496e:1:aaaaaaaaaaa1\n", nullptr}, // C line of 7 fields
                      LineCase{"C:x:M:y:k5:z:k7:w\n", "k5"},                    // "M:" wins over "C:"
                      LineCase{"R:root:0a1b2c3d4e5f:616c696365\n", nullptr},   // neither M nor C
                      LineCase{"ZBK1:mailbox:alice\n", nullptr}, LineCase{"", nullptr},
                      LineCase{line99.c_str(), k99.c_str()},                   // a key fills its buffer
                      LineCase{line100.c_str(), nullptr}));                    // a longer one is not cut

TEST(IndexLineArgs, MissingArgumentsYieldNoKey) {
    char key[ZARAFA_RECORD_KEY_BUF] = {};
    char line[] = "a:b:c:M:key1:x";
    EXPECT_EQ(ARK_FN(parse_index_line)(nullptr, key), 0);
    EXPECT_EQ(ARK_FN(parse_index_line)(line, nullptr), 0);
}

TEST(RecordKeyTable, LooksUpSubstringsUpToTheFirstEmptySlot) {
    const char *table[] = {"aaaaaaaaaaa1", "bbbbbbbbbbb1", nullptr, "cccccccccccc", nullptr};
    auto in_table = ARK_FN(zarafa_index_is_in_table);
    EXPECT_EQ(in_table(table, "bbbbbbbbbbb1"), 1);
    EXPECT_EQ(in_table(table, "aaa"), 1);
    EXPECT_EQ(in_table(table, "cccccccccccc"), 0);
    EXPECT_EQ(in_table(table, "dddd"), 0);
    EXPECT_EQ(in_table(nullptr, "aaa"), 0);
}

class RecordKeys : public ::testing::Test {
protected:
    void SetUp() override { arktest::clear_messages(); }
    void TearDown() override { ARK_FN(zarafa_index_clear_recordkeys_table)(table.data(), count); }
    int read(const std::string &path) {
        count = ARK_FN(zarafa_index_get_all_rekord_keys)(path.c_str(), table.data());
        return count;
    }
    std::vector<std::string> keys() const {
        std::vector<std::string> out;
        for (char *const *slot = table.data(); *slot; ++slot)
            out.emplace_back(*slot);
        return out;
    }
    TempDir dir;
    std::vector<char *> table = std::vector<char *>(ZARAFA_RECORD_KEYS_TABLE_SLOTS, nullptr);
    int count = 0;
};

TEST_F(RecordKeys, TakesDistinctKeysInFileOrderAndClearingEmptiesTheSlots) {
    // The same folder listed twice yields one slot.
    write_file(dir / "alice.index.zbk", arktest::index_text("alice") + "C:f:3:x:y:1:aaaaaaaaaaa2:end\n");
    ASSERT_EQ(read((dir / "alice.index.zbk").string()), 5);
    EXPECT_EQ(keys(), std::vector<std::string>(std::begin(arktest::kIndexKeys), std::end(arktest::kIndexKeys)));
    EXPECT_TRUE(has_message("zarafa_index_get_all_rekord_keys(-)"));

    ARK_FN(zarafa_index_clear_recordkeys_table)(table.data(), count);
    for (char *slot : table)
        EXPECT_EQ(slot, nullptr);
    count = 0;
}

TEST_F(RecordKeys, AKeyInsideAnEarlierLongerKeyIsStillItsOwnRecord) {
    write_file(dir / "i", "ZBK1:mailbox:bob\nM:m:p:g:xabcx:0\nM:m:p:g:abc:0\nM:m:p:g:" + std::string(100, 'z') +
                              ":0\n");
    ASSERT_EQ(read((dir / "i").string()), 2);
    EXPECT_EQ(keys(), (std::vector<std::string>{"xabcx", "abc"}));
    EXPECT_TRUE(arktest::has_message_containing("Warning: record key of 100 characters at line 4"));
}

TEST_F(RecordKeys, AFullTableStopsWithAWarningAndKeepsItsLastSlotEmpty) {
    std::ostringstream text;
    text << "ZBK1:mailbox:carol\n";
    for (int i = 0; i < ZARAFA_RECORD_KEYS_TABLE_SLOTS + 10; ++i)
        text << "M:m:p:g:key" << i << ":0\n";
    write_file(dir / "big.index.zbk", text.str());
    const std::string path = (dir / "big.index.zbk").string();
    ASSERT_EQ(read(path), ZARAFA_RECORD_KEYS_TABLE_SLOTS - 1);
    EXPECT_STREQ(table[ZARAFA_RECORD_KEYS_TABLE_SLOTS - 2], "key2046");
    EXPECT_EQ(table[ZARAFA_RECORD_KEYS_TABLE_SLOTS - 1], nullptr);
    EXPECT_TRUE(arktest::has_message_containing("Warning: record-key table is full"));
    EXPECT_TRUE(arktest::has_message_containing(path));
}

TEST_F(RecordKeys, MissingFileOrArgumentsStoreNothing) {
    const std::string missing = (dir / "none.index.zbk").string();
    EXPECT_EQ(read(missing), 0);
    EXPECT_TRUE(has_message("Error: can't open " + missing));
    EXPECT_EQ(ARK_FN(zarafa_index_get_all_rekord_keys)(nullptr, table.data()), 0);
    EXPECT_EQ(ARK_FN(zarafa_index_get_all_rekord_keys)(missing.c_str(), nullptr), 0);
    EXPECT_TRUE(has_message("Error: Incorrect parameters"));
    EXPECT_EQ(table[0], nullptr);
}

// Reads back what print_index_file wrote to a temporary stream.
std::string dump_of(const char *fname) {
    std::FILE *out = std::tmpfile();
    EXPECT_NE(out, nullptr);
    ARK_FN(print_index_file)(out, fname);
    std::rewind(out);
    std::string text;
    char buffer[4096];
    size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, out)) > 0)
        text.append(buffer, n);
    std::fclose(out);
    return text;
}

// Lines are stamped in pieces of at most 1023 characters, the way a
// 1024-byte line buffer reads them: a line of L characters and its newline
// gets ceil((L + 1) / 1023) stamps, and the pieces put together are the file.
TEST(IndexDump, StampsEveryPieceOfUpTo1023CharactersWithTheLocalTime) {
    TempDir dir;
    const std::string header = arktest::index_text("alice");
    std::string text = header;
    size_t expected_stamps = lines_of(header).size();
    for (size_t length : {1022, 1023, 1024, 2046, 5000}) {
        text += std::string(length, 'L') + "\n";
        expected_stamps += (length + 1 + 1022) / 1023;
    }
    text += "last"; // no newline at the end
    ++expected_stamps;
    write_file(dir / "alice.index.zbk", text);
    const std::string dump = dump_of((dir / "alice.index.zbk").c_str());

    const std::regex stamp(R"(\d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2}: akz-3218: Info: )");
    std::vector<std::string> pieces;
    auto next = std::sregex_iterator(dump.begin(), dump.end(), stamp);
    ASSERT_EQ(next->position(), 0) << dump.substr(0, 80);
    for (; next != std::sregex_iterator(); ++next) {
        const size_t begin = static_cast<size_t>(next->position() + next->length());
        auto after = std::next(next);
        const size_t end = after == std::sregex_iterator() ? dump.size() : static_cast<size_t>(after->position());
        pieces.push_back(dump.substr(begin, end - begin));
    }
    EXPECT_EQ(pieces.size(), expected_stamps);
    std::string joined;
    for (size_t i = 0; i < pieces.size(); ++i) {
        EXPECT_LE(pieces[i].size(), 1023u) << i;
        // Only a full piece may stop short of the line end.
        if (i + 1 < pieces.size() && pieces[i].back() != '\n') {
            EXPECT_EQ(pieces[i].size(), 1023u) << i;
        }
        joined += pieces[i];
    }
    EXPECT_EQ(joined, text);
}

TEST(IndexDump, GoesToStandardErrorWithoutAStream) {
    TempDir dir;
    write_file(dir / "i", "ZBK1:mailbox:alice\n");
    ::testing::internal::CaptureStderr();
    ARK_FN(print_index_file)(nullptr, (dir / "i").c_str());
    const std::string err = ::testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find(": akz-3218: Info: ZBK1:mailbox:alice\n"), std::string::npos) << err;
}

TEST(IndexDump, ReportsAMissingNameOrFileAndWritesNothing) {
    arktest::clear_messages();
    EXPECT_EQ(dump_of(nullptr), "");
    EXPECT_TRUE(arktest::has_message_containing("Error calling print_index_file("));
    EXPECT_EQ(dump_of("/nonexistent/alice.index.zbk"), "");
    EXPECT_TRUE(has_message("Error calling print_index_file(). Can't open /nonexistent/alice.index.zbk"));
}

TEST(IndexFileRecord, DeclaredParsersReadNothing) {
    tspIndexFile index{};
    tspIndexFileRecord record{};
    EXPECT_EQ(ARK_FN(ParseIndexFile)("x", &index), 1);
    EXPECT_EQ(ARK_FN(ParseIndexFile)(nullptr, &index), 0);
    EXPECT_EQ(ARK_FN(ParseIndexFile)("x", nullptr), 0);
    EXPECT_EQ(ARK_FN(ParseIndexFileLine)("M:m:a:g:k:0", &record), 0);
}

} // namespace
