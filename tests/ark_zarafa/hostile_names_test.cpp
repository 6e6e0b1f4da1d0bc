// Hostile names end to end, through dbhost, the real plug-in and the server
// simulator: logins, requested names, job and save-set names, work
// directories and restore directories holding blanks, quotes, ";", "|",
// "$()", backquotes, "*", newlines and leading "-", and names at the length
// limits. Nothing is executed, nothing outside the intended directory is
// written or removed, and every refusal says what was refused.
#include "support/dbhost_scene.h"
#include "support/e2e_scene.h"

#include <gtest/gtest.h>

#include <algorithm>

namespace {

using namespace arktest;

// Every shell metacharacter the issue names, each in a login the simulator
// accepts.
const std::vector<std::string> kHostileLogins = {
    "q'uote",          "dq\"uote",      "semi;touch${IFS}PWNED", "pipe|touch${IFS}PWNED",
    "$(touch${IFS}PWNED)", "`touch${IFS}PWNED`", "star*",        "*",
    "-rf",             "--help",        "amp&touch${IFS}PWNED",  "lt<gt>PWNED",
    std::string(99, 'n'),
};

// Shell text in every name: if any of it ran, a file named PWNED would appear.
const std::string kShell = "$(touch PWNED);`touch PWNED`|touch PWNED";

bool nothing_ran(const E2eScene &scene) {
    for (const std::string &path : paths_containing(scene.dir(), "PWNED"))
        if (fs::path(path).filename() == "PWNED")
            return false;
    return true;
}

// The directory of the one save set in the store.
fs::path only_saveset(const fs::path &store) {
    std::vector<fs::path> dirs;
    for (const auto &entry : fs::directory_iterator(store))
        dirs.push_back(entry.path());
    return dirs.size() == 1 ? dirs.front() : fs::path();
}

std::vector<std::string> item_names(const fs::path &saveset_dir) {
    std::vector<std::string> names;
    for (const StoredItem &item : DbhostScene::manifest_items(saveset_dir))
        names.push_back(item.name);
    return names;
}

class HostileNames : public ::testing::Test {
protected:
    E2eScene scene;
};

TEST_F(HostileNames, HostileLoginsAreBackedUpAndRestoredAsData) {
    for (const auto &login : kHostileLogins)
        scene.create_user(login);
    scene.tool_ok({"zarafa-sim", "add-messages", "*", "2"});
    scene.tool_ok({"zarafa-sim", "add-messages", "-rf", "2"});
    std::map<std::string, std::string> before;
    for (const auto &login : kHostileLogins)
        before[login] = scene.content(login);

    const HostRun backup = scene.backup("set", {"--level", "FULL", "--job", "nightly"});
    ASSERT_EQ(backup.exit_status(), 0) << backup.describe();
    EXPECT_EQ(item_names(scene.store() / "set").size(), 2 * (kHostileLogins.size() + 1)) << backup.describe();
    for (const auto &login : kHostileLogins) {
        EXPECT_TRUE(fs::exists(scene.work() / "zarafa" / "nightly" / (login + ".index.zbk"))) << login;
        EXPECT_TRUE(fs::exists(scene.work() / "zarafa" / (login + ".lst"))) << login;
        scene.lose_mailbox(login);
    }

    const HostRun restore = scene.restore("set");
    ASSERT_EQ(restore.exit_status(), 0) << restore.describe();
    for (const auto &login : kHostileLogins)
        EXPECT_EQ(scene.content(login), before[login]) << login;
    EXPECT_TRUE(nothing_ran(scene));
    // The restore directory went, and only it.
    EXPECT_TRUE(fs::is_directory(scene.into()));
    EXPECT_TRUE(paths_containing(scene.into(), "nightly").empty());
    EXPECT_TRUE(fs::exists(scene.work() / "zarafa" / "nightly"));
}

// Without recovery the plug-in leaves a full-restore script beside each
// mailbox's files for the operator; run by /bin/sh, each one restores its
// mailbox and nothing else.
TEST_F(HostileNames, NoRecoveryScriptsForHostileLoginsRestoreThemAsData) {
    const std::vector<std::string> logins(kHostileLogins.begin(), kHostileLogins.begin() + 10);
    std::vector<std::string> args{"--level", "FULL", "--job", "j"};
    for (const auto &login : logins) {
        scene.create_user(login);
        scene.tool_ok({"zarafa-sim", "add-messages", login, "1"});
        args.insert(args.end(), {"--mailbox", login});
    }
    std::map<std::string, std::string> before;
    for (const auto &login : logins)
        before[login] = scene.content(login);
    ASSERT_EQ(scene.backup("set", args).exit_status(), 0);
    std::vector<std::string> wanted;
    for (const auto &login : logins) {
        scene.lose_mailbox(login);
        wanted.insert(wanted.end(), {"--mailbox", login});
    }
    wanted.push_back("--no-recovery");
    const HostRun run = scene.restore("set", wanted);
    ASSERT_EQ(run.exit_status(), 0) << run.describe();

    const fs::path dir = scene.into() / scene.work().relative_path() / "zarafa" / "j";
    for (const auto &login : logins) {
        SCOPED_TRACE(login);
        EXPECT_NE(run.log.find("Call " + login + ".script.restore-full.sh to perform full restore of " + login +
                               " mail box"),
                  std::string::npos);
        ProcessOptions options;
        options.cwd = dir;
        options.env = scene.env();
        const ProcessResult ran = run_process({"/bin/sh", "./" + login + ".script.restore-full.sh"}, options);
        EXPECT_EQ(ran.exit_status, 0) << ran.err;
        EXPECT_EQ(scene.content(login), before[login]);
    }
    EXPECT_TRUE(nothing_ran(scene));
}

// A list line gives the user name up to its first "^": a login holding
// one is backed up, but gets no list file that would name another mailbox.
TEST_F(HostileNames, LoginWithACaretGetsNoListFile) {
    scene.create_user("car");
    scene.create_user("car^et");
    const HostRun run = scene.backup("set", {"--level", "FULL", "--job", "j"});
    EXPECT_EQ(run.exit_status(), 3) << run.describe(); // saved, but with a word about it
    EXPECT_TRUE(run.problem_mentions({"Error: user name car^et in", "holds a \"^\""})) << run.describe();
    EXPECT_TRUE(run.problem_mentions({"Warning: Can't create list file=", "car^et.lst"})) << run.describe();
    EXPECT_EQ(read_file(scene.work() / "zarafa" / "car^et.lst"), "");
    EXPECT_TRUE(fs::exists(scene.work() / "zarafa" / "j" / "car^et.index.zbk"));
}

TEST_F(HostileNames, LoginsTooLongForTheBuffersAreRefusedByName) {
    for (size_t length : {99u, 100u, 101u})
        scene.create_user(std::string(length, 'a' + static_cast<char>(length - 99)));
    const HostRun run = scene.backup("set");
    EXPECT_EQ(run.exit_status(), 3) << run.describe(); // the others are saved, with a warning
    EXPECT_FALSE(run.problem_mentions({std::string(99, 'a')}));
    EXPECT_TRUE(run.problem_mentions({"Warning: user name of 100 characters is too long", std::string(40, 'b')}))
        << run.describe();
    EXPECT_TRUE(run.problem_mentions({"Warning: user name of 101 characters is too long", std::string(40, 'c')}))
        << run.describe();
    const auto items = item_names(scene.store() / "set");
    EXPECT_EQ(std::count_if(items.begin(), items.end(),
                            [](const std::string &i) { return i.find(std::string(99, 'a') + ".") != i.npos; }),
              2);
    EXPECT_EQ(items.size(), 4u); // the 99-character mailbox and the public store
}

// The account listing, row by row: the login is the whole first column,
// whatever else the row holds. Each case's account is backed up and restored
// whole beside the account "a", or, when its row can't be read, named in a
// "Warning:" while "a" still is.
struct ListingCase {
    std::string name;
    std::string login;
    std::string fullname;
    std::string fault; // of the simulator's listing
};

void PrintTo(const ListingCase &c, std::ostream *os) { *os << c.name; }

class ListingRows : public ::testing::TestWithParam<ListingCase> {};

TEST_P(ListingRows, EveryAccountIsBackedUpAndRestoredWholeOrNamed) {
    const ListingCase &c = GetParam();
    E2eScene scene;
    scene.tool_ok({"zarafa-sim", "create-user", "a", "A", "a@example.org"});
    scene.tool_ok({"zarafa-sim", "create-user", c.login, c.fullname, "x@example.org"});
    scene.tool_ok({"zarafa-sim", "add-messages", "a", "2", "--seed", "3"});
    scene.tool_ok({"zarafa-sim", "add-messages", c.login, "3", "--seed", "4"});
    const std::vector<std::string> logins{"a", c.login};
    std::map<std::string, std::string> before;
    for (const auto &login : logins)
        before[login] = scene.content(login);

    const HostRun backup = scene.backup("set", {"--level", "FULL", "--job", "nightly"}, c.fault);
    const bool readable = c.fault.empty();
    if (readable) {
        ASSERT_EQ(backup.exit_status(), 0) << backup.describe();
        EXPECT_TRUE(backup.problems().empty()) << backup.describe();
    } else {
        EXPECT_TRUE(backup.problem_mentions({"Warning: the row", c.login, "names no account"})) << backup.describe();
    }
    // Every mailbox hands out its own two files, once.
    std::vector<std::string> items = item_names(scene.store() / "set");
    std::sort(items.begin(), items.end());
    std::vector<std::string> expected_items;
    for (const auto &login : logins)
        if (readable || login == "a")
            for (const char *suffix : {".data.zbk", ".index.zbk"})
                expected_items.push_back(DbhostScene::item_of(scene.work() / "zarafa" / "nightly" / (login + suffix)));
    for (const char *file : {"Public.data.zbk", "Public.index.zbk"})
        expected_items.push_back(DbhostScene::item_of(scene.work() / "zarafa" / "nightly" / file));
    std::sort(expected_items.begin(), expected_items.end());
    EXPECT_EQ(items, expected_items) << backup.describe();

    for (const auto &login : logins)
        scene.lose_mailbox(login);
    const HostRun restore = scene.restore("set");
    ASSERT_TRUE(restore.survived()) << restore.describe();
    EXPECT_EQ(scene.content("a"), before["a"]) << restore.describe();
    if (readable) {
        EXPECT_EQ(restore.exit_status(), 0) << restore.describe();
        EXPECT_EQ(scene.content(c.login), before[c.login]) << restore.describe();
    }
}

INSTANTIATE_TEST_SUITE_P(
    Accounts, ListingRows,
    ::testing::Values(ListingCase{"LoginWithABlank", "a b", "A B", ""},
                      ListingCase{"LoginWithBlanksAround", "a  b c", "Abc", ""},
                      ListingCase{"LoginHoldingUsername", "usernames", "Many Users", ""},
                      ListingCase{"LoginHoldingSYSTEM", "SYSTEMS", "Systems Team", ""},
                      ListingCase{"FullNameHoldingSYSTEM", "op", "SYSTEM Operator", ""},
                      ListingCase{"FullNameHoldingUsername", "ux", "the username desk", ""},
                      ListingCase{"FullNameOfDashes", "dash", "---------", ""},
                      ListingCase{"RowWithoutTab", "b c", "B C", "admin-blank-row:b c"}),
    [](const ::testing::TestParamInfo<ListingCase> &info) { return info.param.name; });

// Names that the server does not list are refused one by one, however they
// are made; none of them reaches a tool.
TEST_F(HostileNames, RequestedNamesAreOnlyComparedNeverRun) {
    scene.populate(1);
    const std::vector<std::string> names = {kShell, "a\nb", "*", "../../etc", "-x", "a b;c", "'\"",
                                            std::string(99, 'x')};
    std::vector<std::string> args;
    for (const auto &name : names)
        args.insert(args.end(), {"--mailbox", name});
    const HostRun run = scene.backup("set", args);
    ASSERT_TRUE(run.survived());
    EXPECT_EQ(run.exit_status(), 3) << run.describe(); // nothing to save, which is worth a word
    for (const auto &name : names)
        EXPECT_NE(run.log.find("Warning: User \"" + name + "\" was not found on the server"), std::string::npos)
            << name;
    EXPECT_TRUE(item_names(scene.store() / "set").empty());
    EXPECT_TRUE(nothing_ran(scene));
    // No tool saw these names: the log shows no export or details query for them.
    EXPECT_EQ(run.log.find("zarafa-backup -u"), std::string::npos);

    for (size_t length : {100u, 101u, 255u, 256u}) {
        const HostRun lengthy = scene.backup("l" + std::to_string(length), {"--mailbox", std::string(length, 'y')});
        EXPECT_TRUE(lengthy.problem_mentions(
            {"Warning: mailbox name of " + std::to_string(length) + " characters is too long (at most 99)"}))
            << lengthy.describe();
        // A refused name must not widen the selection to every mailbox.
        EXPECT_TRUE(item_names(scene.store() / ("l" + std::to_string(length))).empty());
    }
}

struct NameCase {
    std::string name;
    bool accepted;
    std::string refusal; // part of the message when refused
};

void PrintTo(const NameCase &c, std::ostream *os) { *os << "\"" << c.name << "\""; }

// Job names of FULL and INCR backups name a directory below "zarafa": taken
// as they are, they stay below it; a ".." component is refused.
class HostileJobNames : public HostileNames, public ::testing::WithParamInterface<NameCase> {};

TEST_P(HostileJobNames, ExportStaysBelowTheWorkDirectory) {
    const NameCase &c = GetParam();
    scene.populate(1);
    const HostRun run = scene.backup("set", {"--level", "FULL", "--job", c.name});
    ASSERT_TRUE(run.survived());
    EXPECT_TRUE(nothing_ran(scene));
    // Nothing was written beside the work directory, the store and the log.
    for (const auto &entry : fs::directory_iterator(scene.dir())) {
        const std::string name = entry.path().filename().string();
        EXPECT_TRUE(name == "server" || name == "work" || name == "store" || name == "dbhost.log") << name;
    }
    if (!c.accepted) {
        EXPECT_NE(run.exit_status(), 0);
        EXPECT_TRUE(run.problem_mentions({c.refusal})) << run.describe();
        EXPECT_TRUE(paths_containing(scene.work(), ".zbk").empty());
        return;
    }
    EXPECT_EQ(run.exit_status(), 0) << run.describe();
    const fs::path dir = scene.work() / "zarafa" / c.name;
    EXPECT_TRUE(fs::exists(dir / "user0001.index.zbk")) << run.describe();
    EXPECT_TRUE(fs::exists(dir / "Public.index.zbk"));
    EXPECT_EQ(item_names(scene.store() / "set").size(), 4u);

    // A second FULL run removes that directory, and nothing else.
    write_file(scene.work() / "zarafa" / "keep", "x", fs::perms(0600));
    const HostRun again = scene.backup("set2", {"--level", "FULL", "--job", c.name});
    EXPECT_EQ(again.exit_status(), 0) << again.describe();
    EXPECT_TRUE(fs::exists(scene.work() / "zarafa" / "keep"));
    EXPECT_TRUE(fs::exists(scene.work() / "zarafa" / "user0001.lst"));
}

INSTANTIATE_TEST_SUITE_P(
    HostileNames, HostileJobNames,
    ::testing::Values(NameCase{kShell, true, ""}, NameCase{"a b 'c' \"d\"", false, "double-quote"},
                      NameCase{"new\nline", true, ""}, NameCase{"*", true, ""}, NameCase{"-rf", true, ""},
                      NameCase{"semi;colon|pipe", true, ""}, NameCase{std::string(100, 'j'), true, ""},
                      NameCase{std::string(101, 'j'), false, "Warning: value is too long"},
                      NameCase{"..", false, "Error: Can't use the export directory"},
                      NameCase{"a/../../escape", false, "Error: Can't use the export directory"}),
    [](const auto &info) { return "case" + std::to_string(info.index); });

// Save-set names name the directory of a COPY backup ("/" and "." become
// "_"), and reach the plug-in in "SAVESET=".
class HostileSaveSetNames : public HostileNames, public ::testing::WithParamInterface<NameCase> {};

TEST_P(HostileSaveSetNames, CopyExportStaysBelowTheWorkDirectory) {
    const NameCase &c = GetParam();
    scene.populate(1);
    const auto outside = tree_snapshot(scene.dir() / "server");
    const HostRun run = scene.backup(c.name);
    ASSERT_TRUE(run.survived());
    EXPECT_TRUE(nothing_ran(scene));
    EXPECT_EQ(tree_snapshot(scene.dir() / "server").size(), outside.size());
    if (!c.accepted) {
        EXPECT_NE(run.exit_status(), 0);
        EXPECT_TRUE(run.problem_mentions({c.refusal})) << run.describe();
        EXPECT_TRUE(paths_containing(scene.work(), ".zbk").empty());
        return;
    }
    EXPECT_EQ(run.exit_status(), 0) << run.describe();
    // Every exported file was delivered and deleted, with its directory.
    EXPECT_TRUE(paths_containing(scene.work(), ".zbk").empty());
    std::string dir = c.name;
    std::replace(dir.begin(), dir.end(), '/', '_');
    std::replace(dir.begin(), dir.end(), '.', '_');
    const fs::path set = only_saveset(scene.store());
    ASSERT_FALSE(set.empty());
    EXPECT_EQ(item_names(set).size(), 4u);
    for (const auto &item : item_names(set))
        EXPECT_NE(item.find("/zarafa/" + dir + "/"), std::string::npos) << item;
}

INSTANTIATE_TEST_SUITE_P(
    HostileNames, HostileSaveSetNames,
    ::testing::Values(NameCase{kShell, true, ""}, NameCase{"../../up.and/away", true, ""},
                      NameCase{"new\nline 'q' \"dq\"", true, ""}, NameCase{"-rf *", true, ""},
                      NameCase{std::string(200, 's'), true, ""}),
    [](const auto &info) { return "case" + std::to_string(info.index); });

// A received path too long for the plug-in's buffers is refused by name and
// fails the restore; nothing of that mailbox is run.
TEST_F(HostileNames, ReceivedPathTooLongIsRefusedByName) {
    scene.populate(1);
    ASSERT_EQ(scene.backup("set", {"--mailbox", "user0001"}).exit_status(), 0);
    scene.set_into(scene.dir() / std::string(200, 'i'));
    const HostRun run = scene.restore("set");
    ASSERT_TRUE(run.survived());
    EXPECT_EQ(run.exit_status(), 1) << run.describe();
    EXPECT_TRUE(run.problem_mentions({"Error: path of", "is too long (at most 255), the file of mailbox user0001"}))
        << run.describe();
    EXPECT_EQ(run.log.find("restore-full.sh"), std::string::npos);
}

// A path of exactly length characters below base: directories of 50
// characters, the last one filling up.
fs::path path_of_length(const fs::path &base, size_t length) {
    std::string path = base.string();
    while (path.size() < length) {
        const size_t room = length - path.size() - 1;
        path += "/" + std::string(std::min<size_t>(room, 50), 'p');
    }
    return path;
}

TEST_F(HostileNames, PathsAtTheLimitsAreTakenOrRefusedByName) {
    scene.populate(1);
    // The export directory is WORK/zarafa/sNN; the longest file of
    // user0001 in it, "user0001.index.zbk", must leave a 255-character path.
    for (size_t length : {225u, 226u, 255u, 256u}) {
        SCOPED_TRACE(length);
        const fs::path work = path_of_length(scene.dir() / "w" / std::to_string(length), length);
        ASSERT_EQ(work.string().size(), length);
        scene.set_work(work);
        const HostRun run = scene.backup("s" + std::to_string(length % 100));
        ASSERT_TRUE(run.survived());
        if (length == 225) {
            EXPECT_EQ(run.exit_status(), 0) << run.describe();
            continue;
        }
        EXPECT_EQ(run.exit_status(), 1) << run.describe();
        if (length == 256) {
            EXPECT_TRUE(run.problem_mentions({"Error: Can't accept control variable TMP_DIR= value of 256"}))
                << run.describe();
        } else {
            EXPECT_TRUE(run.problem_mentions({"Error: export directory", "is too long for the mailbox user0001"}))
                << run.describe();
        }
    }
}

TEST_F(HostileNames, ListFileNamesAtTheLimitAreTakenOrRefused) {
    scene.populate(1);
    ASSERT_EQ(scene.backup("set", {"--level", "FULL", "--job", "j"}).exit_status(), 0);
    const std::string list = read_file(scene.work() / "zarafa" / "user0001.lst");
    for (size_t length : {255u, 256u}) {
        SCOPED_TRACE(length);
        const fs::path file = path_of_length(scene.dir() / "l", length);
        fs::create_directories(file.parent_path());
        write_file(file, list);
        const HostRun run = scene.restore("set", {"--list-file", "user0001@" + file.string()});
        ASSERT_TRUE(run.survived());
        if (length == 255) {
            EXPECT_EQ(run.exit_status(), 0) << run.describe();
        } else {
            EXPECT_EQ(run.exit_status(), 1) << run.describe();
            EXPECT_NE(run.log.find("Error: list file name too long"), std::string::npos);
        }
    }
}

// Work and restore directories whose names hold shell text: the round trip
// works, and the removal after the restore takes the restore directory only.
TEST_F(HostileNames, HostileWorkAndRestoreDirectoriesStayData) {
    scene.populate(2);
    // Received paths hold the work directory, the job name and the restore
    // directory together, within 255 characters.
    const std::string awkward = "-a b;c|d 'e' \"f\" *\nnew$(x)`y`";
    scene.set_work(scene.dir() / ("w " + awkward));
    scene.set_into(scene.dir() / ("i " + awkward));
    const std::string before = scene.content("user0002");
    // A job name travels in double quotes and can't hold one.
    const std::string job = "-j b;c|d 'e' *\n" + kShell;
    const HostRun backup = scene.backup("set", {"--level", "FULL", "--job", job});
    ASSERT_EQ(backup.exit_status(), 0) << backup.describe();

    fs::create_directories(scene.into());
    write_file(scene.into() / "sentinel", "stays");
    write_file(scene.dir() / "beside", "stays");
    scene.lose_mailbox("user0002");
    const HostRun restore = scene.restore("set", {"--mailbox", "user0002"});
    ASSERT_EQ(restore.exit_status(), 0) << restore.describe();
    EXPECT_EQ(scene.content("user0002"), before);
    EXPECT_TRUE(nothing_ran(scene));
    EXPECT_EQ(read_file(scene.into() / "sentinel"), "stays");
    EXPECT_EQ(read_file(scene.dir() / "beside"), "stays");
    EXPECT_TRUE(paths_containing(scene.into(), ".zbk").empty());
    EXPECT_TRUE(paths_containing(scene.into(), "restore-full.sh").empty());
    // The job's export directory, with its index files, is untouched.
    EXPECT_TRUE(fs::exists(scene.work() / "zarafa" / job / "user0002.index.zbk"));
}

} // namespace
