// What the backup loop accepts as an export: an export tool that leaves an
// index file which is empty, cut off, without the header or the root key, or
// that leaves no data file, fails its mailbox by name and hands out nothing
// of it; the failed export's index does not stay behind as the job's base.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/fake_server.h"
#include "support/index_samples.h"
#include "support/plugin_host.h"
#include "support/plugin_lists.h"

namespace {

namespace fs = std::filesystem;
using arktest::has_message_containing;

struct IndexCase {
    const char *name;
    std::string index;  // the index text the export tool writes
    bool data_file;     // whether it writes the data file too
    const char *reason; // in the "was not exported" error; empty: accepted
};

void PrintTo(const IndexCase &c, std::ostream *os) { *os << c.name; }

const std::string kGood = arktest::index_text("alice");

class ExportCheck : public ::testing::TestWithParam<IndexCase> {
protected:
    void SetUp() override {
        arktest::clear_messages();
        server.set_users({"alice"});
        // An export tool that writes the test's index text.
        arktest::write_script(bin / "zarafa-backup",
                              "[ -f '" + (bin / "data").string() + "' ] && echo data > \"$2.data.zbk\"\n"
                              "cat '" + (bin / "index").string() + "' > \"$2.index.zbk\"\n");
    }
    void TearDown() override {
        char *none[] = {nullptr};
        ARK_FN(DB_CloseOperation)(none);
    }

    int export_alice(const IndexCase &c) {
        arktest::write_file(bin / "index", c.index);
        if (c.data_file)
            arktest::write_file(bin / "data", "");
        else
            fs::remove(bin / "data");
        arktest::CtrlVars vars{"INFO=\"-l\" \"FULL\" \"-j\" \"job\"", "TMP_DIR=" + work.path().string(),
                               "DATABASE=alice"};
        EXPECT_EQ(ARK_FN(DB_InitOperation)(DB_TYPE_BCK, DB_LEVEL_FULL, vars.get()), DB_NUM_I_OK);
        char dir[256] = "", original[256] = "", name[256] = "";
        return ARK_FN(DB_GetItem)(dir, original, name);
    }

    arktest::ScopedCwd cwd;
    arktest::FakeServer server;
    arktest::TempDir bin;
    arktest::ScopedPathPrefix first{bin.path()};
    arktest::TempDir work;
};

TEST_P(ExportCheck, UnusableExportFailsItsMailboxByName) {
    const IndexCase &c = GetParam();
    const int rc = export_alice(c);
    if (std::string(c.reason).empty()) {
        EXPECT_EQ(rc, DB_NUM_I_OK) << arktest::all_messages();
        EXPECT_FALSE(has_message_containing("was not exported"));
        return;
    }
    EXPECT_EQ(rc, DB_NUM_E_ERROR);
    bool named = false;
    for (const std::string &m : arktest::messages())
        named = named || (m.starts_with("Error: mailbox alice was not exported: ") && m.find(c.reason) != m.npos);
    EXPECT_TRUE(named) << arktest::all_messages();
    // Nothing of the mailbox is handed out, no list is built from the
    // broken index, and the broken index is not left as the job's base.
    char dir[256] = "", original[256] = "", name[256] = "";
    EXPECT_EQ(ARK_FN(DB_GetItem)(dir, original, name), DB_NUM_I_COMPLETE) << name;
    EXPECT_FALSE(fs::exists(work / "zarafa" / "alice.lst"));
}

INSTANTIATE_TEST_SUITE_P(
    HardeningExportCheck, ExportCheck,
    ::testing::Values(IndexCase{"complete", kGood, true, ""},
                      IndexCase{"crlf_lines", "ZBK1:mailbox:alice\r\nR:root:0a1b2c3d4e5f:00\r\n", true, ""},
                      IndexCase{"empty", "", true, "is incomplete: it is empty"},
                      IndexCase{"cut_off", kGood.substr(0, kGood.size() / 2), true, "the file is cut off"},
                      IndexCase{"no_header_name", "ZBK1 mailbox alice\nR:root:0a1b2c3d4e5f:00\n", true,
                                "its first line names no user"},
                      IndexCase{"header_ends_in_colon", "ZBK1:mailbox:\nR:root:0a1b2c3d4e5f:00\n", true,
                                "its first line names no user"},
                      IndexCase{"header_only", "ZBK1:mailbox:alice\n", true, "it has no root line"},
                      IndexCase{"empty_root_key", "ZBK1:mailbox:alice\nR:root::00\n", true,
                                "its root line holds no root key"},
                      IndexCase{"no_data_file", kGood, false, "its data file"}),
    [](const auto &info) { return std::string(info.param.name); });

// The unusable index of a failed FULL export does not stay in the job's
// directory, where the next INCR run would take it for its base.
TEST_F(ExportCheck, FailedFullExportLeavesNoIndexBehind) {
    EXPECT_EQ(export_alice({"cut", kGood.substr(0, 40), true, "x"}), DB_NUM_E_ERROR);
    EXPECT_FALSE(fs::exists(work / "zarafa" / "job" / "alice.index.zbk"));
    EXPECT_TRUE(has_message_containing("Warning: the unusable index file"));
}

} // namespace
