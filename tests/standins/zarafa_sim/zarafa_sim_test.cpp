// The groupware server simulator, run as real processes: the listing and
// details the plug-in parses, the index-file rules its readers rely on, the
// export/restore round trip through the full-restore script run by /bin/sh,
// incremental exports, single-key restores, injected faults and error exits.
#include "support/fixtures.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <cstdlib>
#include <set>
#include <sstream>

namespace {

using namespace arktest;

// The full-restore script the plug-in writes, with the mailbox name for %s.
constexpr const char *restore_script_template =
    "#!/bin/sh\n"
    "USER=%s\n"
    "INDEX=${USER}.index.zbk\n"
    "root=`head -2 ${INDEX} | tail -1 | cut -d\\: -f3`\n"
    "grep ^C ${INDEX} | grep ${root} | cut -d\\: -f7 | zarafa-restore -u ${USER} -r -i -\n";

using arktest::lines_of;

// Fields as the plug-in counts them: runs of ":" are one separator.
std::vector<std::string> plugin_fields(const std::string &line) {
    std::vector<std::string> fields;
    std::string current;
    for (char c : line) {
        if (c != ':') {
            current.push_back(c);
        } else if (!current.empty()) {
            fields.push_back(current);
            current.clear();
        }
    }
    if (!current.empty())
        fields.push_back(current);
    return fields;
}

// Fields as "cut -d:" counts them.
std::vector<std::string> cut_fields(const std::string &line) {
    std::vector<std::string> fields;
    std::string current;
    for (char c : line) {
        if (c == ':') {
            fields.push_back(current);
            current.clear();
        } else {
            current.push_back(c);
        }
    }
    fields.push_back(current);
    return fields;
}

bool is_key(const std::string &text) {
    return text.size() == 12 && text.find_first_not_of("0123456789abcdef") == std::string::npos;
}

std::map<std::string, std::string> tree_contents(const fs::path &root) {
    std::map<std::string, std::string> files;
    for (const auto &entry : fs::recursive_directory_iterator(root))
        if (entry.is_regular_file())
            files[fs::relative(entry.path(), root).string()] = read_file(entry.path());
    return files;
}

class SimTest : public ::testing::Test {
protected:
    TempDir tmp;
    fs::path store = tmp / "store";
    fs::path exports = tmp / "export";
    std::string fault; // ZARAFA_SIM_FAULT of the next runs

    void SetUp() override {
        fs::create_directories(exports);
        fs::create_directories(store);
    }

    ProcessResult run(const std::vector<std::string> &argv, const fs::path &cwd = {},
                      std::optional<std::string> input = std::nullopt) {
        ProcessOptions options;
        options.cwd = cwd.empty() ? exports : cwd;
        const char *path = std::getenv("PATH");
        options.env["PATH"] = std::string(ARK_SIM_BIN_DIR) + ":" + (path ? path : "/usr/bin:/bin");
        options.env["ZARAFA_SIM_STORE"] = store.string();
        options.env["ZARAFA_SIM_FAULT"] = fault;
        options.input = std::move(input);
        return run_process(argv, options);
    }

    // A run that must succeed; returns its standard output.
    std::string ok(const std::vector<std::string> &argv, const fs::path &cwd = {},
                   std::optional<std::string> input = std::nullopt) {
        const ProcessResult r = run(argv, cwd, std::move(input));
        EXPECT_EQ(r.exit_status, 0) << argv[0] << " " << (argv.size() > 1 ? argv[1] : "") << ": " << r.err;
        return r.out;
    }

    void populate(int users, int folders, int messages, int seed = 7) {
        ok({"zarafa-sim", "populate", "--users", std::to_string(users), "--folders", std::to_string(folders),
            "--messages", std::to_string(messages), "--seed", std::to_string(seed)});
    }

    std::string dump(const std::string &name) { return ok({"zarafa-sim", "dump", "-u", name}); }

    ProcessResult run_restore_script(const std::string &user, const fs::path &dir) {
        std::string text = restore_script_template;
        text.replace(text.find("%s"), 2, user);
        write_file(dir / (user + ".script.restore-full.sh"), text, fs::perms(0775));
        return run({"/bin/sh", user + ".script.restore-full.sh"}, dir);
    }

    std::string index_text(const std::string &prefix, const fs::path &dir = {}) {
        return read_file((dir.empty() ? exports : dir) / (prefix + ".index.zbk"));
    }

    // Record keys of an index: folder keys and message keys.
    std::pair<std::vector<std::string>, std::vector<std::string>> index_keys(const std::string &text) {
        std::vector<std::string> folders, messages;
        for (const std::string &line : lines_of(text)) {
            if (line.rfind("C", 0) == 0)
                folders.push_back(plugin_fields(line).at(6));
            else if (line.find("M:") != std::string::npos)
                messages.push_back(plugin_fields(line).at(4));
        }
        return {folders, messages};
    }
};

// ---------------------------------------------------------------------------
// zarafa-admin output as the plug-in reads it

TEST_F(SimTest, ListingHasHeaderTitleDashesSystemThenOneTabIndentedRowPerLogin) {
    populate(3, 2, 1);
    ok({"zarafa-admin", "-c", "zed", "-f", "Zed Zimmer", "-e", "zed@example.org"});
    const auto lines = lines_of(ok({"zarafa-admin", "-l"}));
    ASSERT_EQ(lines.size(), 8u);
    EXPECT_EQ(lines[0].find("username"), std::string::npos) << "the header is not the title line";
    EXPECT_NE(lines[1].find("username"), std::string::npos);
    EXPECT_NE(lines[2].find("---------"), std::string::npos);
    EXPECT_EQ(lines[3].rfind("\tSYSTEM\t", 0), 0u);
    const std::vector<std::string> logins = {"user0001", "user0002", "user0003", "zed"};
    for (std::size_t i = 0; i < logins.size(); ++i) {
        const std::string &row = lines[4 + i];
        ASSERT_EQ(row.rfind("\t" + logins[i] + "\t", 0), 0u) << row;
        EXPECT_EQ(row.find("SYSTEM"), std::string::npos);
    }
    EXPECT_EQ(lines[7], "\tzed\tZed Zimmer");
}

TEST_F(SimTest, DetailsCarryValuesAfterLastTabAndUnknownUsersGetTheNotFoundLine) {
    ok({"zarafa-admin", "-c", "ann", "-f", "Ann Adler", "-e", "ann@example.org", "-p", "secret"});
    const auto lines = lines_of(ok({"zarafa-admin", "--details", "ann"}));
    std::map<std::string, std::string> values;
    for (const std::string &line : lines)
        if (line.find('\t') != std::string::npos)
            values[line.substr(0, line.find(':'))] = line.substr(line.rfind('\t') + 1);
    EXPECT_EQ(values["Fullname"], "Ann Adler");
    EXPECT_EQ(values["Emailaddress"], "ann@example.org");
    EXPECT_EQ(lines.at(0).find("Unable"), std::string::npos);

    const ProcessResult missing = run({"zarafa-admin", "--details", "nobody"});
    EXPECT_NE(missing.exit_status, 0);
    EXPECT_EQ(lines_of(missing.out).at(0), "Unable to show user details, user not found.");
    const ProcessResult bad = run({"zarafa-admin", "--details", "../ann"});
    EXPECT_EQ(lines_of(bad.out).at(0), "Unable to show user details, user not found.");
}

TEST_F(SimTest, HostileLoginsAreStoredListedExportedAndRestoredWithoutRunningAnything) {
    const std::vector<std::string> names = {"a b", "x;y", "$(touch PWNED)", "`touch PWNED`", "-dash", "q'\"*"};
    for (const std::string &name : names) {
        ok({"zarafa-admin", "-c", name, "-f", "Full " + name, "-e", "e@example.org"});
        ok({"zarafa-sim", "add-messages", "-u", name, "3", "--seed", "5"});
    }
    const std::string listing = ok({"zarafa-admin", "-l"});
    for (const std::string &name : names) {
        EXPECT_NE(listing.find("\n\t" + name + "\tFull " + name + "\n"), std::string::npos) << name;
        EXPECT_NE(ok({"zarafa-admin", "--details", name}).find("Fullname:\tFull " + name + "\n"), std::string::npos);
        const std::string before = dump(name);
        ok({"zarafa-backup", "-u", name});
        const std::string index = index_text(name);
        EXPECT_EQ(lines_of(index).at(0).substr(lines_of(index).at(0).rfind(':') + 1), name);
        ok({"zarafa-admin", "-d", name});
        std::string keys;
        for (const std::string &k : index_keys(index).first)
            keys += k + "\n";
        ok({"zarafa-restore", "-u", name, "-r", "-i", "-"}, {}, keys);
        EXPECT_EQ(dump(name), before) << name;
    }
    EXPECT_FALSE(fs::exists(exports / "PWNED"));
    EXPECT_FALSE(fs::exists(tmp / "PWNED"));
}

TEST_F(SimTest, LoginsThatCannotBeListedOrNamedInFilesAreRefused) {
    for (const std::string &bad : std::vector<std::string>{"a/b", "a:b", std::string("tab\there"), std::string("nl\nx"), std::string(""),
                                   std::string("SYSTEM"), std::string("public"), std::string(128, 'a')}) {
        const ProcessResult r = run({"zarafa-admin", "-c", bad});
        EXPECT_NE(r.exit_status, 0) << bad;
        EXPECT_EQ(r.err.rfind("Error: ", 0), 0u) << r.err;
    }
    ok({"zarafa-admin", "-c", std::string(127, 'a')});
    const ProcessResult dup = run({"zarafa-admin", "-c", std::string(127, 'a')});
    EXPECT_NE(dup.exit_status, 0);
    EXPECT_EQ(lines_of(ok({"zarafa-admin", "-l"})).size(), 5u);
}

// ---------------------------------------------------------------------------
// Store handling

TEST_F(SimTest, EveryToolFailsClearlyWithoutAStore) {
    const std::vector<std::vector<std::string>> commands = {
        {"zarafa-admin", "-l"}, {"zarafa-backup", "-a"}, {"zarafa-restore", "-u", "x", "000000000000"},
        {"zarafa-sim", "dump", "x"}};
    for (auto argv : commands) {
        argv.insert(argv.begin(), {"env", "-u", "ZARAFA_SIM_STORE"});
        ProcessResult r = run(argv);
        EXPECT_NE(r.exit_status, 0) << argv[3];
        EXPECT_NE(r.err.find("Error: ZARAFA_SIM_STORE is not set"), std::string::npos) << r.err;

        argv.erase(argv.begin(), argv.begin() + 3);
        argv.insert(argv.begin(), {"env", "ZARAFA_SIM_STORE=" + (tmp / "missing").string()});
        r = run(argv);
        EXPECT_NE(r.exit_status, 0);
        EXPECT_NE(r.err.find("Error: the mail store"), std::string::npos) << r.err;
        EXPECT_TRUE(r.out.empty()) << "a reader must not mistake anything for a listing";
    }
    EXPECT_FALSE(fs::exists(tmp / "missing"));

    // A directory that holds something else is not taken over.
    write_file(tmp / "other" / "notes.txt", "mine\n");
    const ProcessResult r = run({"env", "ZARAFA_SIM_STORE=" + (tmp / "other").string(), "zarafa-admin", "-l"});
    EXPECT_NE(r.exit_status, 0);
    EXPECT_NE(r.err.find("is not a mail store"), std::string::npos) << r.err;
    EXPECT_EQ(tree_contents(tmp / "other").size(), 1u);
}

TEST_F(SimTest, PopulateIsDeterministicPerSeedAndNeedsAnEmptyStore) {
    populate(4, 6, 3, 42);
    const auto first = tree_contents(store);
    store = tmp / "store2";
    populate(4, 6, 3, 42);
    EXPECT_EQ(tree_contents(store), first);
    store = tmp / "store3";
    populate(4, 6, 3, 43);
    EXPECT_NE(tree_contents(store), first);

    const ProcessResult again = run({"zarafa-sim", "populate", "--users", "1"});
    EXPECT_NE(again.exit_status, 0);
    EXPECT_NE(again.err.find("not empty"), std::string::npos);
    const ProcessResult bad = run({"zarafa-sim", "populate", "--users", "-3"});
    EXPECT_NE(bad.exit_status, 0);
}

TEST_F(SimTest, KeysStayUniqueAfterRestoringIntoAnotherStore) {
    populate(1, 3, 2);
    ok({"zarafa-backup", "-u", "user0001"});
    const std::string before = dump("user0001");
    store = tmp / "fresh";
    fs::create_directories(store);
    std::string keys;
    for (const std::string &k : index_keys(index_text("user0001")).first)
        keys += k + "\n";
    ok({"zarafa-restore", "-u", "user0001", "-r", "-i", "-"}, {}, keys);
    EXPECT_EQ(dump("user0001"), before);
    // New messages must not take keys the restore brought in.
    ok({"zarafa-sim", "add-messages", "user0001", "40"});
    std::set<std::string> seen;
    for (const std::string &line : lines_of(dump("user0001"))) {
        if (line.find("message ") != std::string::npos) {
            EXPECT_TRUE(seen.insert(line.substr(line.find("message ") + 8, 12)).second) << line;
        }
    }
    EXPECT_EQ(seen.size(), 46u);
}

// ---------------------------------------------------------------------------
// Index files as the plug-in and the full-restore script read them

TEST_F(SimTest, IndexFilesFollowTheLineAndFieldRules) {
    populate(2, 9, 3);
    ok({"zarafa-backup", "-a"});
    for (const std::string prefix : {"user0001", "user0002", "Public"}) {
        SCOPED_TRACE(prefix);
        const auto lines = lines_of(index_text(prefix));
        ASSERT_GE(lines.size(), 2u);
        const std::string &header = lines[0];
        EXPECT_EQ(header.substr(header.rfind(':') + 1), prefix == "Public" ? "public" : prefix);
        EXPECT_LE(header.size(), 98u);
        EXPECT_NE(lines[1][0], 'C');
        const std::string root = cut_fields(lines[1]).at(2);
        ASSERT_TRUE(is_key(root)) << lines[1];

        std::size_t c_lines = 0, m_lines = 0, top_level = 0;
        std::set<std::string> folder_keys{root};
        for (std::size_t i = 0; i < lines.size(); ++i) {
            const std::string &line = lines[i];
            const bool begins_c = line.rfind("C", 0) == 0;
            EXPECT_EQ(begins_c, line.find("C:") != std::string::npos) << line;
            if (line.find("M:") != std::string::npos) {
                ++m_lines;
                EXPECT_FALSE(begins_c) << line;
                const auto f = plugin_fields(line);
                ASSERT_GE(f.size(), 6u) << line;
                EXPECT_TRUE(is_key(f[4])) << line;
                EXPECT_EQ(f, cut_fields(line)) << "no empty fields";
            } else if (begins_c) {
                ++c_lines;
                const auto f = plugin_fields(line);
                ASSERT_GE(f.size(), 8u) << line;
                EXPECT_TRUE(is_key(f[6])) << line;
                EXPECT_EQ(f, cut_fields(line)) << "no empty fields";
                // The parent (an earlier field) was listed before: the root or
                // a folder above.
                EXPECT_EQ(folder_keys.count(f[2]), 1u) << line;
                folder_keys.insert(f[6]);
                if (f[2] == root) {
                    ++top_level;
                    EXPECT_NE(line.find(root), std::string::npos);
                }
            } else {
                EXPECT_LT(i, 2u) << "only the header and the root line are not records: " << line;
            }
        }
        EXPECT_EQ(c_lines, 9u);
        EXPECT_EQ(m_lines, 27u);
        EXPECT_GE(top_level, 4u);
        EXPECT_LT(top_level, 9u) << "populate makes subfolders";
    }
}

// ---------------------------------------------------------------------------
// Round trips

TEST_F(SimTest, FullRestoreScriptBringsBackADeletedMailboxIdentically) {
    populate(3, 8, 4);
    const std::string before = dump("user0002");
    const std::string others = dump("user0001") + dump("user0003");
    ok({"zarafa-backup", "-u", "user0002"});
    ok({"zarafa-admin", "-d", "user0002"});
    EXPECT_NE(run({"zarafa-sim", "dump", "user0002"}).exit_status, 0);
    EXPECT_EQ(ok({"zarafa-admin", "-l"}).find("user0002"), std::string::npos);

    const ProcessResult r = run_restore_script("user0002", exports);
    EXPECT_EQ(r.exit_status, 0) << r.err;
    EXPECT_EQ(dump("user0002"), before);
    EXPECT_NE(ok({"zarafa-admin", "--details", "user0002"}).find("@example.org"), std::string::npos);

    // Running it again changes nothing.
    EXPECT_EQ(run_restore_script("user0002", exports).exit_status, 0);
    EXPECT_EQ(dump("user0002"), before);
    EXPECT_EQ(dump("user0001") + dump("user0003"), others);
}

TEST_F(SimTest, PublicStoreExportsAsPublicAndRestoresWholeIntoAnEmptyStore) {
    populate(1, 5, 2);
    const std::string before = ok({"zarafa-sim", "dump", "-p"});
    ok({"zarafa-backup", "-p"});
    EXPECT_TRUE(fs::exists(exports / "Public.data.zbk"));
    std::string keys;
    for (const std::string &k : index_keys(index_text("Public")).first)
        keys += k + "\n";
    store = tmp / "new-server";
    fs::create_directories(store);
    ok({"zarafa-restore", "-p", "-r", "-i", "-"}, {}, keys);
    EXPECT_EQ(ok({"zarafa-sim", "dump", "-p"}), before);
    const ProcessResult as_user = run({"zarafa-restore", "-u", "Public", "-r", "-i", "-"}, {}, keys);
    EXPECT_NE(as_user.exit_status, 0);
}

TEST_F(SimTest, IncrementalExportHoldsOnlyNewMessagesAndBothRunsRestoreTheWholeMailbox) {
    populate(2, 5, 4);
    const fs::path full = tmp / "full", incr = tmp / "incr";
    ok({"zarafa-backup", "-u", "user0001"});
    fs::create_directories(full);
    fs::copy(exports, full, fs::copy_options::recursive);
    fs::remove(exports / "user0001.data.zbk"); // as a FULL backup leaves the job directory

    ok({"zarafa-sim", "add-messages", "user0001", "6", "--seed", "9"});
    const std::string wanted = dump("user0001");
    ok({"zarafa-backup", "-u", "user0001"});
    fs::create_directories(incr);
    fs::copy(exports, incr, fs::copy_options::recursive);

    const std::string data = read_file(incr / "user0001.data.zbk");
    std::size_t records = 0;
    for (std::size_t pos = 0; (pos = data.find("\nmessage:", pos)) != std::string::npos; ++pos)
        ++records;
    EXPECT_EQ(records, 6u);
    std::map<std::string, int> per_generation;
    for (const std::string &line : lines_of(index_text("user0001", incr)))
        if (line.find("M:") != std::string::npos)
            ++per_generation[cut_fields(line).at(2)];
    EXPECT_EQ(per_generation, (std::map<std::string, int>{{"1", 20}, {"2", 6}}));

    ok({"zarafa-admin", "-d", "user0001"});
    ProcessResult r = run_restore_script("user0001", incr);
    EXPECT_EQ(r.exit_status, 0) << r.err;
    EXPECT_NE(r.err.find("Warning: 20 messages skipped"), std::string::npos) << r.err;
    EXPECT_NE(dump("user0001"), wanted);
    r = run_restore_script("user0001", full);
    EXPECT_EQ(r.exit_status, 0) << r.err;
    EXPECT_EQ(dump("user0001"), wanted);

    // A later run with nothing new writes an empty data file and a full index.
    ok({"zarafa-backup", "-u", "user0001"});
    EXPECT_EQ(read_file(exports / "user0001.data.zbk").find("message:"), std::string::npos);
    EXPECT_EQ(index_keys(index_text("user0001")).second.size(), 26u);
}

TEST_F(SimTest, IncrementalExportAfterADamagedIndexExportsTheUnlistedMessagesAgain) {
    populate(1, 4, 5);
    fault = "backup-truncated-index";
    ok({"zarafa-backup", "-u", "user0001"});
    fault.clear();
    const std::string damaged = index_text("user0001");
    std::size_t listed = 0; // complete M lines that survived the cut
    for (const std::string &line : lines_of(damaged.substr(0, damaged.rfind('\n') + 1)))
        listed += line.find("M:") != std::string::npos;
    ASSERT_LT(listed, 20u);

    ok({"zarafa-sim", "add-messages", "user0001", "2"});
    const ProcessResult r = run({"zarafa-backup", "-u", "user0001"});
    EXPECT_EQ(r.exit_status, 0);
    EXPECT_NE(r.err.find("Warning: "), std::string::npos) << "the damaged line is reported";
    const std::string data = read_file(exports / "user0001.data.zbk");
    std::size_t records = 0;
    for (std::size_t pos = 0; (pos = data.find("\nmessage:", pos)) != std::string::npos; ++pos)
        ++records;
    EXPECT_EQ(records, 22 - listed);
    const auto keys = index_keys(index_text("user0001")).second;
    EXPECT_EQ(std::set<std::string>(keys.begin(), keys.end()).size(), 22u);
    EXPECT_EQ(keys.size(), 22u);
}

TEST_F(SimTest, SingleKeyRestoresBringBackOneMessageOrOneFolderWithItsParents) {
    populate(1, 9, 2);
    ok({"zarafa-backup", "-u", "user0001"});
    const std::string index = index_text("user0001");
    const std::string root = cut_fields(lines_of(index)[1]).at(2);
    // A folder two levels down, one of its messages, and its parent.
    std::string deep, parent, message;
    for (const std::string &line : lines_of(index)) {
        const auto f = cut_fields(line);
        if (line[0] == 'C' && f[2] != root && deep.empty()) {
            deep = f[6];
            parent = f[2];
        } else if (line.find("M:") != std::string::npos && f[1] == deep && message.empty()) {
            message = f[4];
        }
    }
    ASSERT_FALSE(message.empty()) << index;

    ok({"zarafa-admin", "-d", "user0001"});
    ok({"zarafa-restore", "-u", "user0001", message});
    std::string listing = dump("user0001");
    EXPECT_NE(listing.find("folder " + parent + " parent root"), std::string::npos) << listing;
    EXPECT_NE(listing.find("folder " + deep + " parent " + parent), std::string::npos);
    EXPECT_NE(listing.find("message " + message), std::string::npos);
    EXPECT_EQ(lines_of(listing).size(), 3u + 2 + 1) << listing;

    // The parent alone, not recursive: its own messages, not the subfolder's.
    ok({"zarafa-restore", "-u", "user0001", parent});
    listing = dump("user0001");
    EXPECT_EQ(lines_of(listing).size(), 3u + 2 + 1 + 2) << listing;
    ok({"zarafa-restore", "-u", "user0001", parent, message});
    EXPECT_EQ(dump("user0001"), listing) << "restoring again duplicates nothing";
}

// ---------------------------------------------------------------------------
// Error exits

TEST_F(SimTest, RestoreErrorsGoToStandardErrorWithAFailureStatus) {
    populate(1, 3, 2);
    ok({"zarafa-backup", "-u", "user0001"});
    const auto [folders, messages] = index_keys(index_text("user0001"));
    ok({"zarafa-admin", "-d", "user0001"});

    auto expect_error = [&](const std::vector<std::string> &argv, const std::string &text) {
        const ProcessResult r = run(argv);
        EXPECT_NE(r.exit_status, 0) << argv.back();
        EXPECT_NE(r.err.find("Error: "), std::string::npos) << r.err;
        EXPECT_NE(r.err.find(text), std::string::npos) << r.err;
    };
    expect_error({"zarafa-restore", "-u", "user0001", "0123456789ab"}, "not in the index file");
    expect_error({"zarafa-restore", "-u", "user0001", "not-a-key"}, "is not a record key");
    expect_error({"zarafa-restore", "-u", "nobody", folders[0]}, "nobody.index.zbk not found");
    expect_error({"zarafa-restore", "-x"}, "unknown option");

    // A message whose text was damaged is not in this data file.
    std::string data = read_file(exports / "user0001.data.zbk");
    const std::size_t at = data.find("message:" + messages[0]);
    data[data.find("Subject", at)] = 's';
    write_file(exports / "user0001.data.zbk", data);
    expect_error({"zarafa-restore", "-u", "user0001", messages[0]}, "is not in this data file");
    // The rest of a folder restore goes on.
    const ProcessResult r = run({"zarafa-restore", "-u", "user0001", "-r", "-i", "-"}, {},
                                folders[0] + "\n" + folders[1] + "\n" + folders[2] + "\n");
    EXPECT_NE(r.exit_status, 0);
    EXPECT_EQ(lines_of(dump("user0001")).size(), 3u + 3 + 5);

    fs::remove(exports / "user0001.data.zbk");
    expect_error({"zarafa-restore", "-u", "user0001", messages[1]}, "user0001.data.zbk not found");
    write_file(exports / "user0001.data.zbk", "not a data file\n");
    expect_error({"zarafa-restore", "-u", "user0001", messages[1]}, "no valid header");
}

TEST_F(SimTest, ExportOfAnUnknownUserFailsAndWritesNothing) {
    populate(1, 1, 1);
    const ProcessResult r = run({"zarafa-backup", "-u", "ghost"});
    EXPECT_NE(r.exit_status, 0);
    EXPECT_NE(r.err.find("Error: user ghost not found"), std::string::npos);
    EXPECT_TRUE(fs::is_empty(exports));
    EXPECT_NE(run({"zarafa-backup", "-u"}).exit_status, 0);
    EXPECT_NE(run({"zarafa-backup", "-p", "-a"}).exit_status, 0);
}

// ---------------------------------------------------------------------------
// Injected faults

struct BackupFault {
    const char *fault;
    bool exit_failure; // non-zero status
    bool killed;
    const char *data;  // "full", "half" or "none"
    const char *index; // "full", "half" or "none"
};

void PrintTo(const BackupFault &p, std::ostream *os) { *os << p.fault; }

class SimBackupFaultTest : public SimTest, public ::testing::WithParamInterface<BackupFault> {};

TEST_P(SimBackupFaultTest, FaultHitsOnlyTheNamedMailbox) {
    const BackupFault &p = GetParam();
    populate(2, 4, 3);
    const fs::path clean = tmp / "clean";
    fs::create_directories(clean);
    ok({"zarafa-backup", "-a"}, clean);

    fault = std::string(p.fault) + ":user0001";
    const ProcessResult r = run({"zarafa-backup", "-a"});
    EXPECT_EQ(r.signal == SIGKILL, p.killed);
    if (!p.killed) {
        EXPECT_EQ(r.exit_status != 0, p.exit_failure) << r.err;
    }

    auto expect_file = [&](const std::string &name, const std::string &how) {
        SCOPED_TRACE(name);
        if (how == "none") {
            EXPECT_FALSE(fs::exists(exports / name));
            return;
        }
        ASSERT_TRUE(fs::exists(exports / name));
        const std::string good = read_file(clean / name), got = read_file(exports / name);
        EXPECT_EQ(got, how == "full" ? good : good.substr(0, good.size() / 2));
    };
    expect_file("user0001.data.zbk", p.data);
    expect_file("user0001.index.zbk", p.index);
    // Mailboxes after the faulty one: untouched, unless the tool died.
    for (const std::string name : {"user0002.data.zbk", "user0002.index.zbk", "Public.index.zbk"})
        expect_file(name, p.killed ? "none" : "full");
    for (const auto &entry : fs::directory_iterator(exports))
        EXPECT_NE(entry.path().filename().string()[0], '.') << "no temporary file left behind";
}

INSTANTIATE_TEST_SUITE_P(
    Faults, SimBackupFaultTest,
    ::testing::Values(BackupFault{"backup-exit", true, false, "full", "full"},
                      BackupFault{"backup-no-files", false, false, "none", "none"},
                      BackupFault{"backup-data-only", false, false, "full", "none"},
                      BackupFault{"backup-truncated-index", false, false, "full", "half"},
                      BackupFault{"backup-half-data", false, true, "half", "none"}),
    [](const auto &info) {
        std::string name = info.param.fault;
        std::replace(name.begin(), name.end(), '-', '_');
        return name;
    });

TEST_F(SimTest, AdminFaultsEmptyOrGarbleTheOutput) {
    populate(2, 1, 1);
    fault = "admin-empty";
    EXPECT_EQ(ok({"zarafa-admin", "-l"}), "");
    EXPECT_EQ(ok({"zarafa-admin", "--details", "user0001"}), "");

    fault = "admin-garbage";
    const std::string garbage = ok({"zarafa-admin", "-l"});
    EXPECT_EQ(garbage.find("User list"), std::string::npos);
    EXPECT_NE(garbage.find("$(touch PWNED)"), std::string::npos);
    EXPECT_NE(garbage.find(std::string(2000, 'A')), std::string::npos) << "a line longer than any buffer";
    EXPECT_NE(garbage.find('\0'), std::string::npos);
    EXPECT_NE(garbage.back(), '\n');
    EXPECT_FALSE(fs::exists(exports / "PWNED"));

    fault = "admin-empty:user0001";
    EXPECT_EQ(ok({"zarafa-admin", "--details", "user0001"}), "");
    EXPECT_NE(ok({"zarafa-admin", "--details", "user0002"}).find("Fullname:\t"), std::string::npos);
    EXPECT_NE(ok({"zarafa-admin", "-l"}).find("\tuser0001\t"), std::string::npos);

    fault = "admin-emty";
    const ProcessResult typo = run({"zarafa-admin", "-l"});
    EXPECT_NE(typo.err.find("Warning: unknown fault \"admin-emty\""), std::string::npos);
}

TEST_F(SimTest, RestoreFaultsFailTheNamedKeysOrMailbox) {
    populate(2, 5, 2);
    const std::string before1 = dump("user0001"), before2 = dump("user0002");
    ok({"zarafa-backup", "-a"});
    const auto folders = index_keys(index_text("user0001")).first;
    ok({"zarafa-admin", "-d", "user0001"});
    ok({"zarafa-admin", "-d", "user0002"});

    // Fail one top-level folder: the others come back, the run reports it.
    std::string top;
    const std::string root = cut_fields(lines_of(index_text("user0001"))[1]).at(2);
    for (const std::string &line : lines_of(index_text("user0001")))
        if (line[0] == 'C' && cut_fields(line)[2] == root)
            top = cut_fields(line)[6];
    fault = "restore-key:" + top;
    ProcessResult r = run_restore_script("user0001", exports);
    EXPECT_NE(r.exit_status, 0);
    EXPECT_NE(r.err.find("Error: record " + top), std::string::npos) << r.err;
    EXPECT_EQ(dump("user0001").find("folder " + top), std::string::npos);
    fault.clear();
    EXPECT_EQ(run_restore_script("user0001", exports).exit_status, 0);
    EXPECT_EQ(dump("user0001"), before1);

    fault = "restore-fail:user0002";
    r = run_restore_script("user0002", exports);
    EXPECT_NE(r.exit_status, 0);
    EXPECT_NE(run({"zarafa-sim", "dump", "user0002"}).exit_status, 0) << "nothing restored, not even the account";
    fault = "restore-fail:user0001";
    EXPECT_EQ(run_restore_script("user0002", exports).exit_status, 0);
    EXPECT_EQ(dump("user0002"), before2);
}

} // namespace
