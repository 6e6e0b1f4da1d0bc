// The item loops of a few hundred mailboxes against the straightforward walk
// they must behave like: the backup hands out, mailbox after mailbox, every
// file of the export directory that belongs to the mailbox at the moment its
// export ends (as the tool itself lists the directory; another mailbox's own
// index and data files excepted), and the restore
// imports, at each finish call, every pending mailbox whose index file has
// arrived, in list order, from the last path announced under that name. The
// tools change the export directory behind the plug-in's back (files for
// other mailboxes, removals, the directory moved away and re-created), and
// the restore feed shuffles files, repeats index files from another
// directory and announces files of mailboxes that are not pending.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <memory>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "support/fixtures.h"
#include "support/plugin_host.h"
#include "support/plugin_lists.h"

namespace {

namespace fs = std::filesystem;
using arktest::CtrlVars;
using Strings = std::vector<std::string>;

constexpr const char *kIndex = "ZBK1:mailbox:%s\n"
                               "R:root:0a1b2c3d4e5f:00\n"
                               "C:f:2:0a1b2c3d4e5f:6162:1:aaaaaaaaaaa1:end\n"
                               "M:m:aaaaaaaaaaa1:g1:bbbbbbbbbbb1:0:12:ck\n";

std::string index_text(const std::string &login) {
    char text[512];
    std::snprintf(text, sizeof text, kIndex, login.c_str());
    return text;
}

std::string stem_of(const std::string &mailbox) { return mailbox == "PUBLIC_FOLDER" ? "Public" : mailbox; }

std::string file_name_of(const std::string &path) { return fs::path(path).filename().string(); }

// Where two sequences part, for a readable failure.
std::string first_difference(const Strings &actual, const Strings &expected) {
    size_t i = 0;
    while (i < actual.size() && i < expected.size() && actual[i] == expected[i])
        ++i;
    auto at = [&](const Strings &s) { return i < s.size() ? s[i] : std::string("(end)"); };
    return "first difference at " + std::to_string(i) + ": " + at(actual) + " instead of " + at(expected);
}

// "user=NAME" messages, in order.
Strings acted_users() {
    Strings out;
    for (const auto &m : arktest::messages())
        if (m.rfind("user=", 0) == 0)
            out.push_back(m.substr(5));
    return out;
}

class ItemLoopEquivalence : public ::testing::Test {
protected:
    void SetUp() override {
        for (int i = 1; i <= 300; ++i) {
            char name[16];
            std::snprintf(name, sizeof name, "user%03d", i);
            logins.push_back(name);
        }
        // Names whose files begin with another mailbox's name, and a user
        // whose files share the public store's stem.
        logins.insert(logins.begin() + 3, "john.doe");
        logins.insert(logins.begin() + 5, "john");
        logins.insert(logins.begin() + 50, "Publicity");
        logins.insert(logins.begin() + 100, "Public");
        selection = logins;
        selection.push_back("PUBLIC_FOLDER");

        std::string listing = "User list for Default:\n\tusername\tfullname\temailaddress\n"
                              "\t---------------------------------------------\n\tSYSTEM\tSYSTEM\t\n";
        for (const auto &login : logins)
            listing += "\t" + login + "\t" + login + " Name\t" + login + "@example.org\n";
        arktest::write_file(tools / "listing.txt", listing);
        const std::string d = "d='" + tools.path().string() + "'\n";
        arktest::write_script(tools / "bin" / "zarafa-admin",
                              d + "case \"$1\" in\n"
                                  "-l) cat \"$d/listing.txt\" ;;\n"
                                  "--details) printf 'Username:\\t%s\\nFullname:\\t%s\\nEmailaddress:\\t%s@x\\n' "
                                  "\"$2\" \"$2\" \"$2\" ;;\n"
                                  "esac\n");
        // The export, then the tool's own side effects for this mailbox, then
        // the directory as the tool leaves it.
        arktest::write_script(tools / "bin" / "zarafa-backup",
                              d + "case \"$1\" in -u) n=$2 ;; -p) n=Public ;; esac\n"
                                  "printf 'backup %s\\n' \"$*\" >> \"$d/calls.log\"\n"
                                  "printf 'data of %s\\n' \"$n\" > \"$n.data.zbk\"\n"
                                  "printf 'ZBK1:mailbox:%s\\nR:root:0a1b2c3d4e5f:00\\n"
                                  "C:f:2:0a1b2c3d4e5f:6162:1:aaaaaaaaaaa1:end\\n' \"$n\" > \"$n.index.zbk\"\n"
                                  "[ -f \"$d/side.$*\" ] && . \"$d/side.$*\"\n"
                                  "printf '== %s\\n' \"$*\" >> \"$d/listings\"\n"
                                  "LC_ALL=C ls -A \"$PWD\" >> \"$d/listings\"\n"
                                  "exit 0\n");
        arktest::write_script(tools / "bin" / "zarafa-restore",
                              d + "cat > /dev/null\n"
                                  "printf '%s in %s\\n' \"$*\" \"$(pwd)\" >> \"$d/calls.log\"\n");
        arktest::clear_messages();
    }
    void TearDown() override { close(); }

    void close() {
        char *none[] = {nullptr};
        ARK_FN(DB_CloseOperation)(none);
    }

    int init(DB_OPERATION_TYPE type, Strings vars) {
        vars.push_back("TMP_DIR=" + work.path().string());
        ctrl = std::make_unique<CtrlVars>(std::move(vars));
        return ARK_FN(DB_InitOperation)(type, DB_LEVEL_FULL, ctrl->get());
    }

    void side_effect(const std::string &call, const std::string &script) {
        arktest::write_file(tools / ("side." + call), script);
    }

    Strings calls(const std::string &prefix) const {
        Strings out;
        if (!fs::exists(tools / "calls.log"))
            return out;
        for (const auto &line : arktest::lines_of(arktest::read_file(tools / "calls.log")))
            if (line.rfind(prefix, 0) == 0)
                out.push_back(line);
        return out;
    }

    // The items a backup hands out, and the items the straightforward walk
    // gives from the tool's own listings of the export directory.
    std::pair<Strings, Strings> backup(const std::string &level, const std::string &more_words = "") {
        fs::remove(tools / "listings");
        fs::remove(tools / "calls.log");
        EXPECT_EQ(init(DB_TYPE_BCK, {"INFO=\"-l\" \"" + level + "\" \"-j\" \"nightly\"" + more_words}), DB_NUM_I_OK);
        Strings delivered;
        char backup_dir[256], original[256], item[256];
        while (ARK_FN(DB_GetItem)(backup_dir, original, item) == DB_NUM_I_OK) {
            delivered.push_back(item);
            EXPECT_EQ(ARK_FN(DB_ItemFinishStatus)(DB_ITEM_SUCCESS), DB_NUM_I_OK);
        }
        close();

        Strings expected;
        const std::string dir = (export_dir()).string().substr(1);
        std::string mailbox;
        for (const auto &line : arktest::lines_of(arktest::read_file(tools / "listings"))) {
            if (line.rfind("== ", 0) == 0) {
                mailbox = line == "== -p" ? "PUBLIC_FOLDER" : line.substr(6);
                continue;
            }
            const bool kept = mailbox == "PUBLIC_FOLDER" ? line.find("Public") != std::string::npos
                                                         : line.rfind(mailbox + ".", 0) == 0;
            if (kept && line[0] != '.' && !own_file_of_another(mailbox, line))
                expected.push_back(dir + "/" + line);
        }
        return {delivered, expected};
    }

    fs::path export_dir() const { return work.path() / "zarafa" / "nightly"; }

    // The index or data file of another mailbox of the run: "john" does not
    // hand out "john.doe.index.zbk", which john.doe hands out itself.
    bool own_file_of_another(const std::string &mailbox, const std::string &name) const {
        for (const auto &other : selection)
            if (stem_of(other) != stem_of(mailbox) &&
                (name == stem_of(other) + ".index.zbk" || name == stem_of(other) + ".data.zbk"))
                return true;
        return false;
    }

    // One announced file: where the host writes it, and what it holds.
    struct Arrival {
        fs::path path;
        std::string login; // empty for a data file
    };

    // Every file of every mailbox, shuffled, in batches of one to three files
    // per finish call. Forty index files come twice, from another directory,
    // in the same batch (either copy last) or later; a few files belong to
    // no pending mailbox.
    using Batch = std::vector<Arrival>;
    std::vector<Batch> restore_feed() const {
        std::vector<Arrival> files;
        for (const auto &mailbox : selection) {
            const std::string stem = stem_of(mailbox);
            files.push_back({restore_dir / "a" / (stem + ".data.zbk"), ""});
            files.push_back({restore_dir / "a" / (stem + ".index.zbk"), stem});
        }
        for (const char *ghost : {"ghost.index.zbk", "xjohn.index.zbk", "john.doe.notes", "Publicity.extra"})
            files.push_back({restore_dir / "c" / ghost, ""});
        std::mt19937 random(20261208);
        std::shuffle(files.begin(), files.end(), random);
        std::vector<Batch> batches;
        for (size_t next = 0; next < files.size();) {
            const size_t size = std::min<size_t>(1 + random() % 3, files.size() - next);
            batches.emplace_back(files.begin() + static_cast<long>(next), files.begin() + static_cast<long>(next + size));
            next += size;
        }
        for (size_t i = 0; i < 40; ++i) {
            const std::string stem = stem_of(selection[i * 7]);
            const Arrival copy{restore_dir / "b" / (stem + ".index.zbk"), stem};
            for (auto &batch : batches) {
                const auto at = std::find_if(batch.begin(), batch.end(), [&](const Arrival &a) {
                    return a.path == restore_dir / "a" / (stem + ".index.zbk");
                });
                if (at == batch.end())
                    continue;
                if (i % 4 == 3)
                    batches.back().push_back(copy); // long after the first
                else
                    batch.insert(i % 2 ? at : at + 1, copy);
                break;
            }
        }
        return batches;
    }

    // Announces the feed, one finish call after each batch; returns the paths the straightforward walk would import, in order,
    // with the directory each one is imported in, and the mailboxes acted on.
    struct Walk {
        Strings imports, acted;
        std::map<std::string, fs::path> first_file; // no-recovery scripts
    };
    Walk announce(const std::vector<Batch> &feed, bool no_recovery) {
        Walk walk;
        Strings pending = selection, received;
        std::map<std::string, std::string> last_index; // file name -> last path received
        std::set<std::string> acted_since;
        for (const Batch &batch : feed) {
            for (const Arrival &a : batch) {
                arktest::write_file(a.path, a.login.empty() ? "data\n" : index_text(a.login));
                std::string path = a.path.string();
                EXPECT_EQ(ARK_FN(DB_SetItem)(DB_ITEM_TYPE_FILE, path.data()), DB_NUM_I_OK);
                const std::string name = file_name_of(path);
                const bool stored = std::any_of(pending.begin(), pending.end(), [&](const std::string &m) {
                    return name.rfind(stem_of(m) + ".", 0) == 0;
                });
                if (!stored)
                    continue;
                received.push_back(path);
                last_index[name] = path;
                if (name.ends_with(".index.zbk"))
                    for (const auto &m : pending)
                        if (stem_of(m) + ".index.zbk" == name)
                            acted_since.erase(m);
            }
            EXPECT_EQ(ARK_FN(DB_ItemFinishStatus)(DB_ITEM_SUCCESS), DB_NUM_I_OK);
            for (auto m = pending.begin(); m != pending.end();) {
                const auto found = last_index.find(stem_of(*m) + ".index.zbk");
                const std::string index = found == last_index.end() ? "" : found->second;
                if (index.empty() || (no_recovery && acted_since.count(*m))) {
                    ++m;
                    continue;
                }
                walk.acted.push_back(*m);
                if (no_recovery) {
                    acted_since.insert(*m);
                    ++m;
                    continue;
                }
                const std::string args = *m == "PUBLIC_FOLDER" ? "-p -r -i -" : "-u " + *m + " -r -i -";
                walk.imports.push_back(args + " in " + fs::path(index).parent_path().string());
                m = pending.erase(m);
            }
        }
        for (const auto &m : pending)
            for (const auto &path : received)
                if (file_name_of(path).rfind(stem_of(m) + ".", 0) == 0) {
                    walk.first_file.emplace(m, fs::path(path).parent_path());
                    break;
                }
        return walk;
    }

    arktest::ScopedCwd cwd;
    arktest::TempDir tools;
    arktest::ScopedPathPrefix path{tools / "bin"};
    arktest::TempDir work;
    fs::path restore_dir = work.path() / "restored";
    std::unique_ptr<CtrlVars> ctrl;
    Strings logins, selection;
};

TEST_F(ItemLoopEquivalence, BackupsHandOutWhatTheDirectorySaysWhileToolsChangeIt) {
    // Left by someone else before the first backup: handed out with the
    // mailbox whose name begins them, like every other file there.
    arktest::write_file(export_dir() / "user005.stale", "old\n");
    arktest::write_file(export_dir() / ".user006.hidden", "old\n");
    side_effect("-u user010", ": > user020.extra.zbk\n: > user011.early\n");
    side_effect("-u user030", "rm -f user020.extra.zbk user005.stale\n: > user031.late\n");
    side_effect("-u john", ": > john.doe.keep\n");

    const auto [full, full_expected] = backup("FULL");
    EXPECT_EQ(full, full_expected) << first_difference(full, full_expected);
    // Every mailbox exported once, in the selection's order.
    Strings exports;
    for (const auto &m : selection)
        exports.push_back(m == "PUBLIC_FOLDER" ? "backup -p" : "backup -u " + m);
    EXPECT_EQ(calls("backup "), exports);
    EXPECT_GT(full.size(), 2 * selection.size());

    // The increment starts from a directory full of index files; midway a
    // tool moves the directory away and puts a copy in its place.
    side_effect("-u user050", "here=$PWD\nmv \"$here\" \"$here.moved\"\nmkdir \"$here\"\n"
                              "cp \"$here.moved\"/* \"$here\"/\ncd \"$here\"\nrm -rf \"$here.moved\"\n: > user051.after-move\n");
    const auto [incr, incr_expected] = backup("INCR");
    EXPECT_EQ(incr, incr_expected) << first_difference(incr, incr_expected);
    EXPECT_EQ(calls("backup "), exports);
}

TEST_F(ItemLoopEquivalence, RestoreImportsWhatTheListWalkImports) {
    const auto feed = restore_feed();
    ASSERT_EQ(init(DB_TYPE_RST, {}), DB_NUM_I_OK);
    arktest::clear_messages();
    const Walk walk = announce(feed, false);
    Strings imports;
    for (const auto &line : calls(""))
        imports.push_back(line);
    EXPECT_EQ(imports, walk.imports) << first_difference(imports, walk.imports);
    EXPECT_EQ(walk.imports.size(), selection.size());
    // Only the mailboxes a call acts on are named, so the log grows with the
    // mailbox count, not with its square.
    EXPECT_EQ(acted_users(), walk.acted) << first_difference(acted_users(), walk.acted);
    EXPECT_EQ(ARK_VAR(g_sARKZarafa).psUsers->iItemCount, 0);
}

TEST_F(ItemLoopEquivalence, NoRecoveryActsOncePerIndexArrivalAndScriptsTheFirstDirectory) {
    const auto feed = restore_feed();
    ASSERT_EQ(init(DB_TYPE_RST, {"RECOVERY=NO"}), DB_NUM_I_OK);
    arktest::clear_messages();
    const Walk walk = announce(feed, true);
    EXPECT_TRUE(calls("").empty());
    EXPECT_EQ(acted_users(), walk.acted) << first_difference(acted_users(), walk.acted);
    EXPECT_GT(walk.acted.size(), selection.size());
    close();
    size_t scripts = 0;
    for (const auto &entry : fs::recursive_directory_iterator(restore_dir))
        if (entry.path().string().ends_with(".script.restore-full.sh"))
            ++scripts;
    EXPECT_EQ(scripts, walk.first_file.size());
    for (const auto &[mailbox, dir] : walk.first_file)
        EXPECT_TRUE(fs::exists(dir / (mailbox + ".script.restore-full.sh"))) << mailbox << " in " << dir;
}

} // namespace

namespace {

// The indexes beside the lists must notice changes that other code makes to
// the lists directly, as the lists' interface allows.
TEST_F(ItemLoopEquivalence, IndexesFollowListsChangedBehindTheirBack) {
    ASSERT_EQ(init(DB_TYPE_RST, {"DATABASE=user001", "DATABASE=user002", "DATABASE=user003"}), DB_NUM_I_OK);
    ARKZarafa &state = ARK_VAR(g_sARKZarafa);
    const fs::path dir = restore_dir / "a";
    for (const char *user : {"user001", "user002", "user003"})
        arktest::write_file(dir / (std::string(user) + ".index.zbk"), index_text(user));

    // A received path appended straight to the list counts like one
    // announced through DB_SetItem.
    std::string path = (dir / "user002.index.zbk").string();
    ASSERT_TRUE(ARK_FN(PushFIFOItem)(state.psFileNames, path.c_str(), static_cast<uint32_t>(path.size() + 1)));
    EXPECT_EQ(ARK_FN(DB_ItemFinishStatus)(DB_ITEM_SUCCESS), DB_NUM_I_OK);
    EXPECT_EQ(calls(""), Strings{"-u user002 -r -i - in " + dir.string()});

    // A mailbox taken off the pending list is no longer restored, and the
    // one behind it still is.
    ASSERT_TRUE(ARK_FN(RemoveFIFOItemAt)(state.psUsers, 0));
    for (const char *user : {"user001", "user003"}) {
        path = (dir / (std::string(user) + ".index.zbk")).string();
        EXPECT_EQ(ARK_FN(DB_SetItem)(DB_ITEM_TYPE_FILE, path.data()), DB_NUM_I_OK);
    }
    EXPECT_EQ(ARK_FN(DB_ItemFinishStatus)(DB_ITEM_SUCCESS), DB_NUM_I_OK);
    EXPECT_EQ(calls(""), (Strings{"-u user002 -r -i - in " + dir.string(), "-u user003 -r -i - in " + dir.string()}));
    EXPECT_EQ(state.psUsers->iItemCount, 0);

    // A one-item list emptied and refilled may reuse the same record
    // address: the new name must still be seen.
    const std::string other = "user004";
    char taken[256];
    ASSERT_TRUE(ARK_FN(PushFIFOItem)(state.psUsers, "user005", 8));
    ASSERT_TRUE(ARK_FN(PullFIFOItem)(state.psUsers, taken, nullptr));
    ASSERT_TRUE(ARK_FN(PushFIFOItem)(state.psUsers, other.c_str(), static_cast<uint32_t>(other.size() + 1)));
    arktest::write_file(dir / "user004.index.zbk", index_text(other));
    path = (dir / "user004.index.zbk").string();
    EXPECT_EQ(ARK_FN(DB_SetItem)(DB_ITEM_TYPE_FILE, path.data()), DB_NUM_I_OK);
    EXPECT_EQ(ARK_FN(DB_ItemFinishStatus)(DB_ITEM_SUCCESS), DB_NUM_I_OK);
    EXPECT_EQ(calls("").back(), "-u user004 -r -i - in " + dir.string());
}

// The same feeds with four tools at a time: the backup hands out the same
// items in the same order, and the restore makes the same imports, each
// mailbox with the same messages, though not in the same order.
TEST_F(ItemLoopEquivalence, FourWorkersHandOutAndImportWhatOneDoes) {
    std::map<std::string, Strings> delivered;
    for (const std::string words : {"", " \"-w\" \"4\""})
        delivered[words] = backup("FULL", words).first;
    EXPECT_EQ(delivered[" \"-w\" \"4\""], delivered[""])
        << first_difference(delivered[" \"-w\" \"4\""], delivered[""]);

    const auto feed = restore_feed();
    std::map<std::string, Strings> imports;
    std::map<std::string, std::map<std::string, Strings>> blocks;
    for (const std::string info : {"", "INFO=\"-w\" \"4\""}) {
        fs::remove(tools / "calls.log");
        ASSERT_EQ(init(DB_TYPE_RST, info.empty() ? Strings{} : Strings{info}), DB_NUM_I_OK);
        arktest::clear_messages();
        announce(feed, false);
        close();
        imports[info] = calls("");
        std::sort(imports[info].begin(), imports[info].end());
        std::string current;
        for (const auto &m : arktest::messages()) {
            if (m.rfind("user=", 0) == 0)
                current = m.substr(5);
            else if (m.rfind("DB_", 0) == 0)
                current.clear();
            if (!current.empty())
                blocks[info][current].push_back(m);
            if (m.rfind("Removing user=", 0) == 0)
                current.clear();
        }
    }
    EXPECT_EQ(imports["INFO=\"-w\" \"4\""], imports[""]);
    EXPECT_EQ(imports[""].size(), selection.size());
    for (const auto &[m, block] : blocks[""])
        EXPECT_EQ(blocks["INFO=\"-w\" \"4\""][m], block)
            << m << ": " << first_difference(blocks["INFO=\"-w\" \"4\""][m], block);
    EXPECT_EQ(blocks[""].size(), selection.size());
}

} // namespace
