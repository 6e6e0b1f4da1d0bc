// The list file: written from an index file after an export, read back as
// the records of a selective restore; bad lines, long fields and I/O faults.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <string>
#include <vector>

#include "support/fixtures.h"
#include "support/index_samples.h"
#include "support/plugin_host.h"
#include "zarafa_index_utils.h"

namespace {

namespace fs = std::filesystem;
using arktest::has_message;

ino_t ino_of(const fs::path &path) {
    struct stat status {};
    return ::stat(path.c_str(), &status) == 0 ? status.st_ino : 0;
}
using arktest::read_file;
using arktest::TempDir;
using arktest::write_file;

class ListFile : public ::testing::Test {
protected:
    void SetUp() override {
        arktest::clear_messages();
        list = ARK_FN(CreateFIFOList)();
    }
    void TearDown() override { ARK_FN(DestroyFIFOList)(list); }

    int build(const std::string &index_text) {
        write_file(dir / "u.index.zbk", index_text);
        return ARK_FN(build_list_file)((dir / "u.index.zbk").c_str(), (dir / "u.lst").c_str());
    }
    int parse(const std::string &list_text) {
        write_file(dir / "sel.lst", list_text);
        return ARK_FN(parse_list_file)((dir / "sel.lst").c_str(), list);
    }
    // The records of the list as "user|key".
    std::vector<std::string> records() const {
        std::vector<std::string> out;
        for (const LIST_ITEM *item = list->spFirstItem; item; item = item->spNextItem) {
            EXPECT_EQ(item->iDataSize, static_cast<int32_t>(sizeof(tSelRestItem)));
            const auto *record = static_cast<const tSelRestItem *>(item->vpData);
            out.push_back(std::string(record->cpUserName) + "|" + record->cpRekordKey);
        }
        return out;
    }

    TempDir dir;
    LIST_INFO *list = nullptr;
};

TEST_F(ListFile, WritesOneLinePerKeyInIndexOrderAndReadsThemBack) {
    ASSERT_EQ(build(arktest::index_text("alice")), 1);
    std::string expected;
    std::vector<std::string> expected_records;
    for (const char *key : arktest::kIndexKeys) {
        expected += std::string("alice^:") + key + "\n";
        expected_records.push_back(std::string("alice|") + key);
    }
    EXPECT_EQ(read_file(dir / "u.lst"), expected);
    EXPECT_TRUE(has_message("cpUserName=alice"));
    EXPECT_TRUE(has_message("build_list_file(-)"));

    ASSERT_EQ(ARK_FN(parse_list_file)((dir / "u.lst").c_str(), list), 1);
    EXPECT_EQ(records(), expected_records);
}

TEST_F(ListFile, PublicStoreDuplicatesAndAnEmptyIndex) {
    ASSERT_EQ(build("ZBK1:store:public\nM:m:p:g:k1:0\nM:m:q:g:k1:0\n"), 1);
    EXPECT_EQ(read_file(dir / "u.lst"), "PUBLIC_FOLDER^:k1\nPUBLIC_FOLDER^:k1\n");
    ASSERT_EQ(build("ZBK1:mailbox:bob\n"), 1);
    EXPECT_EQ(read_file(dir / "u.lst"), "");
}

TEST_F(ListFile, HeaderIsReadAsA99CharacterRecord) {
    // The user name is what follows the last ":" of the first 99 characters;
    // the rest of the header is read as the next line.
    const std::string header = "ZBK1:" + std::string(94, 'u') + ":M:m:p:g:k9:0\n";
    ASSERT_EQ(build(header + "M:m:p:g:k1:0\n"), 1);
    EXPECT_EQ(read_file(dir / "u.lst"), std::string(94, 'u') + "^:k9\n" + std::string(94, 'u') + "^:k1\n");
}

// The list is replaced whole (a new file renamed over it), and only when
// its text changes.
TEST_F(ListFile, ChangedListIsReplacedWholeAndAnUnchangedOneLeftAlone) {
    const auto inode = [&] { return ino_of(dir / "u.lst"); };
    ASSERT_EQ(build(arktest::index_text("alice")), 1);
    const auto first = inode();
    ASSERT_EQ(build(arktest::index_text("alice")), 1);
    EXPECT_EQ(inode(), first);
    ASSERT_EQ(build("ZBK1:mailbox:bob\nM:m:p:g:k2:0\n"), 1);
    EXPECT_NE(inode(), first);
    EXPECT_EQ(read_file(dir / "u.lst"), "bob^:k2\n");
    EXPECT_FALSE(fs::exists(dir / ".u.lst.tmp"));
}

TEST_F(ListFile, KeysTooLongForTheirBufferAreSkippedWithAWarning) {
    ASSERT_EQ(build("ZBK1:mailbox:bob\nM:m:p:g:" + std::string(100, 'k') + ":0\nM:m:p:g:k2:0\n"), 1);
    EXPECT_EQ(read_file(dir / "u.lst"), "bob^:k2\n");
    EXPECT_TRUE(arktest::has_message_containing("Warning: record key of 100 characters at line 2"));
}

struct BuildFault {
    const char *name;
    const char *index;     // nullptr: no index file
    const char *list;      // list file name relative to the test directory, or an absolute path
    const char *message;   // expected message with %I for the index and %L for the list path
    bool list_left_empty;
};

void PrintTo(const BuildFault &f, std::ostream *os) { *os << f.name; }

class ListFileFaults : public ListFile, public ::testing::WithParamInterface<BuildFault> {};

TEST_P(ListFileFaults, FailWithTheirMessage) {
    const BuildFault &f = GetParam();
    const std::string index = (dir / "u.index.zbk").string();
    const std::string list_path = f.list[0] == '/' ? std::string(f.list) : (dir / f.list).string();
    if (f.index)
        write_file(index, f.index);
    EXPECT_EQ(ARK_FN(build_list_file)(index.c_str(), list_path.c_str()), 0);
    std::string message = f.message;
    if (auto at = message.find("%I"); at != std::string::npos)
        message.replace(at, 2, index);
    if (auto at = message.find("%L"); at != std::string::npos)
        message.replace(at, 2, list_path);
    EXPECT_TRUE(arktest::has_message_containing(message)) << arktest::all_messages();
    if (f.list_left_empty) {
        EXPECT_EQ(read_file(list_path), "");
    }
}

INSTANTIATE_TEST_SUITE_P(
    Build, ListFileFaults,
    ::testing::Values(BuildFault{"NoIndex", nullptr, "u.lst", "Error: Can't open %I", false},
                      BuildFault{"ListNotCreatable", "ZBK1:m:a\n", "missing/u.lst", "Error: Can't open %L", false},
                      BuildFault{"EmptyIndex", "", "u.lst", "Error: Can't read %I", true},
                      BuildFault{"NoUserInHeader", "ZBK1\nM:m:p:g:k1:0\n", "u.lst",
                                 "Error: Can't find user name in the index file. File=%I", true},
                      // A list that could not be written whole is no list.
                      BuildFault{"DiskFull", "ZBK1:m:a\nM:m:p:g:k1:0\n", "/dev/full",
                                 "Error: Can't write list file /dev/full", false}),
    [](const auto &info) { return std::string(info.param.name); });

TEST_F(ListFile, ReadingSkipsBadLinesNamingTheirPositionsFromZero) {
    const std::string key14(14, 'k'), user99(99, 'u');
    ASSERT_EQ(parse("alice^:K1\n"         // 0
                    "no caret:K2\n"       // 1
                    "\n"                  // 2
                    "public^:K3\n"        // 3
                    "bob^K4\n"            // 4: no ":"
                    "bob^:" + key14 + "\n" // 5
                    "bob^:" + key14 + "x\n" // 6: a cut key would name another record
                    + user99 + "^:K7\n"   // 7
                    + user99 + "u^:K8\n"  // 8
                    "^:K9\n"              // 9: no user
                    "carol^:\n"           // 10: no key
                    "dave^:K11\r\n"       // 11
                    "erin^:" + std::string(5000, 'k') + "\n" // 12
                    "alice^:K13"),        // 13: last line without newline
              1);
    EXPECT_EQ(records(), (std::vector<std::string>{"alice|K1", "PUBLIC_FOLDER|K3", "bob|" + key14, user99 + "|K7",
                                                   "dave|K11", "alice|K13"}));
    for (int line : {1, 2, 4, 6, 8, 9, 10, 12})
        EXPECT_TRUE(has_message("Warning: incorrect data at line=" + std::to_string(line) + ". Item skipped"))
            << line;
    for (int line : {0, 3, 5, 7, 11, 13})
        EXPECT_FALSE(has_message("Warning: incorrect data at line=" + std::to_string(line) + ". Item skipped"))
            << line;
    EXPECT_TRUE(has_message("parse_list_file(-)"));
}

TEST_F(ListFile, ReadingFailsWithoutFileOrArguments) {
    const std::string missing = (dir / "none.lst").string();
    EXPECT_EQ(ARK_FN(parse_list_file)(missing.c_str(), list), 0);
    EXPECT_TRUE(has_message("Error, can't open " + missing));
    EXPECT_EQ(ARK_FN(parse_list_file)(nullptr, list), 0);
    EXPECT_EQ(ARK_FN(parse_list_file)(missing.c_str(), nullptr), 0);
    EXPECT_TRUE(has_message("Error: Incorrect parameters"));
    EXPECT_EQ(list->iItemCount, 0);
}

} // namespace
