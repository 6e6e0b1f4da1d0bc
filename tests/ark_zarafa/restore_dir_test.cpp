// The restore directory as the plug-in checks it, with the test process as
// a host that writes restored files where an attacker (a child dropped to
// an unprivileged uid) reached first: into the attacker's directory, below
// the attacker's or a loose directory, through the attacker's link. The
// mailbox is not imported, no script is written or run there, nothing is
// removed, and an "Error:" names the directory at fault; a directory that
// changed after the first file arrived is not removed at the close.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "support/fake_server.h"
#include "support/plugin_host.h"
#include "support/plugin_lists.h"

namespace {

namespace fs = std::filesystem;
using arktest::CtrlVars;
using Strings = std::vector<std::string>;

struct Plant {
    const char *label;
    const char *kind;    // attacker-dir, attacker-parent, loose-parent, attacker-link, none
    const char *at_fault; // the directory the "Error:" names, below the shared area; nullptr: trusted
};
void PrintTo(const Plant &p, std::ostream *os) { *os << p.label; }

enum class Mode { import, no_recovery, swapped };
const char *mode_name(Mode m) { return m == Mode::import ? "Import" : m == Mode::no_recovery ? "NoRecovery" : "Swapped"; }

class RestoreDirChecks : public ::testing::TestWithParam<std::tuple<Plant, Mode>> {
protected:
    void SetUp() override {
        if (::geteuid() != 0)
            GTEST_SKIP() << "needs root: the attacker is a child that drops to uid " << arktest::kAttackerUid;
        server.set_users({"alice"});
        fs::permissions(tmp.path(), fs::perms(0755));
        fs::create_directories(shared);
        fs::permissions(shared, fs::perms(01777));
        fs::create_directories(elsewhere);
        arktest::write_file(elsewhere / "kept", "kept", fs::perms(0600));
        arktest::clear_messages();
    }
    void TearDown() override {
        char *none[] = {nullptr};
        ARK_FN(DB_CloseOperation)(none);
    }

    // Prepares the plant; the restore directory the host then writes into.
    fs::path plant(const std::string &kind) {
        const std::string script = "#!/bin/sh\ntouch " + marker.string() + "\n";
        if (kind == "attacker-dir") {
            EXPECT_TRUE(arktest::as_attacker([&] {
                const std::string dir = (shared / "att").string();
                const int fd = ::mkdir(dir.c_str(), 0777) == 0 && ::chmod(dir.c_str(), 0777) == 0
                                   ? ::open((dir + "/alice.script.restore-full.sh").c_str(), O_CREAT | O_WRONLY, 0777)
                                   : -1;
                return fd >= 0 && ::write(fd, script.data(), script.size()) > 0 && ::close(fd) == 0;
            }));
            return shared / "att";
        }
        if (kind == "attacker-parent") {
            EXPECT_TRUE(arktest::as_attacker([&] { return ::mkdir((shared / "att").c_str(), 0755) == 0; }));
            fs::create_directory(shared / "att/r");
            return shared / "att/r";
        }
        if (kind == "loose-parent") {
            fs::create_directories(shared / "loose/r");
            fs::permissions(shared / "loose", fs::perms(0777));
            return shared / "loose/r";
        }
        if (kind == "attacker-link") {
            fs::create_directories(elsewhere / "r");
            EXPECT_TRUE(arktest::as_attacker(
                [&] { return ::symlink(elsewhere.c_str(), (shared / "lnk").c_str()) == 0; }));
            return shared / "lnk/r";
        }
        fs::create_directories(shared / "mine/r");
        fs::permissions(shared / "mine", fs::perms(0700));
        return shared / "mine/r";
    }

    int receive(const fs::path &dir, const std::string &name, const std::string &text) {
        arktest::write_file(dir / name, text, fs::perms(0600));
        std::string path = (dir / name).string();
        EXPECT_EQ(ARK_FN(DB_SetItem)(DB_ITEM_TYPE_FILE, path.data()), DB_NUM_I_OK);
        return ARK_FN(DB_ItemFinishStatus)(DB_ITEM_SUCCESS);
    }

    bool imported() const {
        for (const std::string &call : server.calls())
            if (call.rfind("restore ", 0) == 0)
                return true;
        return false;
    }

    arktest::ScopedCwd cwd;
    arktest::FakeServer server;
    arktest::TempDir tmp;
    fs::path shared = tmp / "shared";
    fs::path elsewhere = tmp / "elsewhere";
    fs::path marker = tmp / "PWNED";
    std::unique_ptr<CtrlVars> ctrl;
};

TEST_P(RestoreDirChecks, AnUntrustedDirectoryIsNeitherImportedNorWrittenNorRemoved) {
    const auto &[p, mode] = GetParam();
    if (mode == Mode::swapped && p.at_fault)
        GTEST_SKIP() << "the swap is of a trusted directory";
    const fs::path dir = plant(p.kind);
    Strings vars = {"DATABASE=alice", "TMP_DIR=" + (tmp / "work").string()};
    if (mode == Mode::no_recovery)
        vars.push_back("RECOVERY=NO");
    ctrl = std::make_unique<CtrlVars>(vars);
    ASSERT_EQ(ARK_FN(DB_InitOperation)(DB_TYPE_RST, DB_LEVEL_FULL, ctrl->get()), DB_NUM_I_OK);

    const int data = receive(dir, "alice.data.zbk", "data");
    fs::path swapped_away;
    if (mode == Mode::swapped) {
        // Renamed after the first file arrived, and another directory put
        // in its place: the close removes neither.
        swapped_away = dir.string() + ".first";
        fs::rename(dir, swapped_away);
        fs::create_directories(dir);
        arktest::write_file(dir / "alice.index.zbk", "ZBK1:mailbox:alice\n", fs::perms(0600));
    }
    const int index = mode == Mode::swapped ? DB_NUM_I_OK
                                            : receive(dir, "alice.index.zbk", "ZBK1:mailbox:alice\n"
                                                                              "C:f:1:0a1b2c3d4e5f:00:1:0a1b2c3d4e5f:end\n");
    char *none[] = {nullptr};
    const int close = ARK_FN(DB_CloseOperation)(none);

    EXPECT_EQ(data, DB_NUM_I_OK);
    EXPECT_FALSE(fs::exists(marker)) << "a planted script ran";
    EXPECT_EQ(arktest::read_file(elsewhere / "kept"), "kept");
    if (p.at_fault) {
        const std::string named = (shared / p.at_fault).string();
        EXPECT_FALSE(imported());
        EXPECT_EQ(mode == Mode::no_recovery ? close : index, DB_NUM_E_ERROR);
        EXPECT_TRUE(fs::exists(dir / "alice.index.zbk")) << "nothing is removed from an untrusted directory";
        if (std::string(p.kind) == "attacker-dir") {
            EXPECT_EQ(arktest::read_file(dir / "alice.script.restore-full.sh"), "#!/bin/sh\ntouch " + marker.string() + "\n");
        }
        bool error_names_it = false;
        for (const std::string &m : arktest::messages())
            error_names_it = error_names_it || (m.rfind("Error:", 0) == 0 && m.find(named + " ") != std::string::npos);
        EXPECT_TRUE(error_names_it) << named << "\n" << arktest::all_messages();
    } else if (mode == Mode::swapped) {
        EXPECT_EQ(close, DB_NUM_E_ERROR);
        EXPECT_TRUE(arktest::has_message_containing("is no longer the directory that received the first file"))
            << arktest::all_messages();
        EXPECT_TRUE(fs::exists(dir / "alice.index.zbk"));
        EXPECT_TRUE(fs::exists(swapped_away / "alice.data.zbk"));
    } else {
        EXPECT_EQ(index, DB_NUM_I_OK) << arktest::all_messages();
        EXPECT_EQ(close, DB_NUM_I_OK) << arktest::all_messages();
        if (mode == Mode::import) {
            EXPECT_TRUE(imported());
            EXPECT_FALSE(fs::exists(dir));
        } else {
            EXPECT_EQ(fs::status(dir / "alice.script.restore-full.sh").permissions(), fs::perms(0700));
        }
    }
}

const Plant kPlants[] = {
    {"AttackersDirectory", "attacker-dir", "att"},
    {"BelowTheAttackersDirectory", "attacker-parent", "att"},
    {"BelowALooseDirectory", "loose-parent", "loose"},
    {"ThroughTheAttackersLink", "attacker-link", "lnk"},
    {"TrustedDirectory", "none", nullptr},
};

INSTANTIATE_TEST_SUITE_P(Plants, RestoreDirChecks,
                         ::testing::Combine(::testing::ValuesIn(kPlants),
                                            ::testing::Values(Mode::import, Mode::no_recovery, Mode::swapped)),
                         [](const auto &info) {
                             return std::string(std::get<0>(info.param).label) + mode_name(std::get<1>(info.param));
                         });

} // namespace
