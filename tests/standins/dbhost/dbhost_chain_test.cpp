// How dbhost chooses the save sets of a job's restore, per mailbox: the last
// FULL that holds the mailbox whole, the latest whole DIFF after it, every
// later save set that holds files of it; what there is when no FULL holds it
// whole. The fixture plug-in hands out mailbox files as the real one names
// them, so each case is a sequence of backups and the chains the summary
// must name; the restore must hand the plug-in exactly those save sets' files.
#include <gtest/gtest.h>

#include <set>
#include <sstream>

#include "support/dbhost_scene.h"

namespace arktest {
namespace {

bool contains(const std::string &text, const std::string &part) { return text.find(part) != std::string::npos; }

struct Backup {
    std::string saveset;
    std::string level;
    // Mailboxes by name; "a" stores a.data.zbk and a.index.zbk, "a-" only
    // a.data.zbk (the backup ended before its index), "a+" only the index.
    std::vector<std::string> mailboxes;
};

struct ChainSelection {
    const char *label;
    std::vector<Backup> backups;
    std::vector<std::string> restore_mailboxes; // empty: the whole job
    // The summary's line of each mailbox: `a: "f1", "i1"`.
    std::vector<std::string> chains;
    bool warns = false; // a mailbox that no FULL holds whole, or none at all
};

void PrintTo(const ChainSelection &c, std::ostream *os) { *os << c.label; }

class DbhostChainSelection : public ::testing::TestWithParam<ChainSelection> {};

TEST_P(DbhostChainSelection, NamesAndRestoresTheShortestWholeChainOfEachMailbox) {
    const ChainSelection &c = GetParam();
    DbhostScene scene;
    // Every save set's files differ, so the restored files tell which one they came from.
    for (const Backup &b : c.backups) {
        std::string items;
        for (std::string m : b.mailboxes) {
            const char kind = m.back() == '-' || m.back() == '+' ? m.back() : ' ';
            if (kind != ' ')
                m.pop_back();
            if (kind != '+')
                items += scene.add_source(b.saveset + "/" + m + ".data.zbk", b.saveset + " data of " + m) + "\n";
            if (kind != '-')
                items += scene.add_source(b.saveset + "/" + m + ".index.zbk", b.saveset + " index of " + m) + "\n";
        }
        auto r = scene.backup(b.saveset, {"--level", b.level, "--job", "j"}, {{"DBHOST_TEST_ITEMS", items}});
        ASSERT_EQ(r.exit_status, 0) << r.err;
    }
    std::vector<std::string> args{"restore", "--plugin", DbhostScene::plugin().string(), "--store",
                                  scene.store().string(), "--job", "j", "--into", scene.into().string()};
    for (const std::string &m : c.restore_mailboxes)
        args.insert(args.end(), {"--mailbox", m});
    scene.clear_record();
    auto r = scene.run(args);
    EXPECT_EQ(r.exit_status, c.warns ? 3 : 0) << r.out << r.err;
    for (const std::string &line : c.chains)
        EXPECT_TRUE(contains(r.out, "\n    " + line + "\n")) << line << "\n" << r.out;
    EXPECT_EQ(contains(r.err, "Warning: no FULL save set of job \"j\" holds mailbox"), c.warns) << r.err;

    // The files handed to the plug-in are those of the chains, each once.
    std::multiset<std::string> handed, expected;
    for (const std::string &call : scene.calls()) {
        // "DB_SetItem TYPE PATH (FOUND)"
        if (!call.starts_with("DB_SetItem") || call.find(".zbk") == std::string::npos)
            continue;
        std::string path = call.substr(call.find(' ', 11) + 1);
        const fs::path file = path.substr(0, path.rfind(" ("));
        handed.insert(file.filename().string() + " of " + file.parent_path().filename().string());
    }
    for (const std::string &line : c.chains) {
        const std::string mailbox = line.substr(0, line.find(':'));
        std::stringstream sets(line.substr(line.find(':') + 1));
        for (std::string set; std::getline(sets, set, ',');) {
            set = set.substr(set.find('"') + 1);
            set = set.substr(0, set.find('"'));
            for (const char *kind : {".data.zbk", ".index.zbk"})
                if (fs::exists(scene.source() / set / (mailbox + kind)))
                    expected.insert(mailbox + kind + " of " + set);
        }
    }
    EXPECT_EQ(handed, expected) << lines(scene.calls());
}

INSTANTIATE_TEST_SUITE_P(
    Chains, DbhostChainSelection,
    ::testing::Values(
        // A FULL stopped before it reached b: b's chain keeps the FULL before it.
        ChainSelection{"InterruptedFull",
                       {{"f1", "FULL", {"a", "b"}}, {"i1", "INCR", {"a", "b"}}, {"f2", "FULL", {"a"}},
                        {"i2", "INCR", {"a", "b"}}},
                       {},
                       {R"(a: "f2", "i2")", R"(b: "f1", "i1", "i2")"}},
        ChainSelection{"FullWithoutIndexIsNotWhole",
                       {{"f1", "FULL", {"a"}}, {"f2", "FULL", {"a-"}}, {"i1", "INCR", {"a"}}},
                       {"a"},
                       {R"(a: "f1", "f2", "i1")"}},
        // The latest whole DIFF stands for everything between it and the FULL.
        ChainSelection{"LatestDiffAndTheIncrsAfterIt",
                       {{"f1", "FULL", {"a", "b"}}, {"d1", "DIFF", {"a", "b"}}, {"i1", "INCR", {"a", "b"}},
                        {"d2", "DIFF", {"a", "b"}}, {"i2", "INCR", {"a"}}},
                       {},
                       {R"(a: "f1", "d2", "i2")", R"(b: "f1", "d2")"}},
        ChainSelection{"DiffWithoutIndexStandsForNothing",
                       {{"f1", "FULL", {"a"}}, {"d1", "DIFF", {"a"}}, {"i1", "INCR", {"a"}},
                        {"d2", "DIFF", {"a-"}}},
                       {},
                       {R"(a: "f1", "d1", "i1", "d2")"}},
        ChainSelection{"DiffBeforeTheFullIsNotUsed",
                       {{"d0", "DIFF", {"a"}}, {"f1", "FULL", {"a"}}, {"i1", "INCR", {"a"}}},
                       {},
                       {R"(a: "f1", "i1")"}},
        ChainSelection{"NoWholeFullRestoresWhatThereIs",
                       {{"f1", "FULL", {"a-", "b"}}, {"i1", "INCR", {"a"}}, {"i2", "INCR", {"b"}}},
                       {"a", "b"},
                       {R"(a: "f1", "i1" (no FULL save set holds it whole))", R"(b: "f1", "i2")"},
                       true},
        ChainSelection{"OnlyTheRequestedMailboxes",
                       {{"f1", "FULL", {"a", "b"}}, {"i1", "INCR", {"b"}}, {"i2", "INCR", {"a", "b"}}},
                       {"a"},
                       {R"(a: "f1", "i2")"}}),
    [](const auto &info) { return std::string(info.param.label); });

TEST(DbhostChainSelection, AMailboxNoSaveSetHoldsIsNamed) {
    DbhostScene scene;
    const std::string items = scene.add_source("a.data.zbk", "a") + "\n" + scene.add_source("a.index.zbk", "i");
    ASSERT_EQ(scene.backup("f1", {"--level", "FULL", "--job", "j"}, {{"DBHOST_TEST_ITEMS", items}}).exit_status, 0);
    auto r = scene.run({"restore", "--plugin", DbhostScene::plugin().string(), "--store", scene.store().string(),
                        "--job", "j", "--into", scene.into().string(), "--mailbox", "a", "--mailbox", "nobody"});
    EXPECT_EQ(r.exit_status, 3) << r.out << r.err;
    EXPECT_TRUE(contains(r.err, "Warning: no save set of job \"j\" holds files of mailbox nobody")) << r.err;
    EXPECT_TRUE(contains(r.out, "\n    nobody: no save set holds it\n")) << r.out;

    auto none = scene.run({"restore", "--plugin", DbhostScene::plugin().string(), "--store",
                           scene.store().string(), "--job", "j", "--into", scene.into().string(), "--mailbox",
                           "nobody"});
    EXPECT_EQ(none.exit_status, 1) << none.out << none.err;
    EXPECT_TRUE(contains(none.err, "Error: no save set of job \"j\" holds files of the mailboxes to restore"))
        << none.err;
}

} // namespace
} // namespace arktest
