// The save-set store of dbhost: items that must not be stored or restored,
// damaged stored files, interrupted backups, odd save-set names, immutable
// save sets and their explicit replacement, and the listing.
#include <signal.h>
#include <sys/stat.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <set>
#include <sstream>
#include <utility>

#include "support/dbhost_scene.h"

namespace arktest {
namespace {

using Strings = std::vector<std::string>;

bool contains(const std::string &text, const std::string &part) { return text.find(part) != std::string::npos; }

// Every path below dir, relative to it.
std::set<std::string> tree(const fs::path &dir) {
    std::set<std::string> out;
    for (const auto &entry : fs::recursive_directory_iterator(dir))
        out.insert(fs::relative(entry.path(), dir).string());
    return out;
}

std::string sha256sum(const fs::path &file) {
    auto r = run_process({"sha256sum", file.string()});
    return r.out.substr(0, 64);
}

// ---- items that the host refuses or cannot store --------------------------

struct BadItem {
    const char *label;
    std::string name; // "@src" is replaced by the scene's source directory
    const char *message;
};

void PrintTo(const BadItem &item, std::ostream *os) { *os << item.label; }

class DbhostBadBackupItem : public ::testing::TestWithParam<BadItem> {};

TEST_P(DbhostBadBackupItem, IsFailedWithAnErrorWhileTheOthersAreStored) {
    const BadItem &bad = GetParam();
    DbhostScene scene;
    std::string good1 = scene.add_source("a.data.zbk", "a"), good2 = scene.add_source("b.data.zbk", "b");
    std::string name = bad.name;
    if (auto at = name.find("@src"); at != std::string::npos)
        name.replace(at, 4, DbhostScene::item_of(scene.source()));
    auto r = scene.backup("s", {}, {{"DBHOST_TEST_ITEMS", good1 + "\n" + name + "\n" + good2}});
    EXPECT_EQ(r.exit_status, 1) << r.err;
    EXPECT_TRUE(contains(r.err, "Error: ") && contains(r.err, bad.message)) << r.err;
    EXPECT_EQ(scene.calls().at(5), "DB_ItemFinishStatus 3") << lines(scene.calls());
    EXPECT_EQ(scene.calls().at(7), "DB_ItemFinishStatus 1") << lines(scene.calls());

    auto items = DbhostScene::manifest_items(scene.store() / "s");
    ASSERT_EQ(items.size(), 2u);
    EXPECT_EQ(items[0].name, good1);
    EXPECT_EQ(items[1].name, good2);
    // Nothing but the manifest and the two items' files (with their directories).
    for (const auto &path : tree(scene.store() / "s"))
        EXPECT_TRUE(path == "manifest" || path.starts_with("data")) << path;
    for (const auto &path : tree(scene.store() / "s" / "data")) {
        fs::path full = scene.store() / "s" / "data" / path;
        EXPECT_TRUE(fs::is_directory(full) || path == good1 || path == good2) << path;
    }
    EXPECT_EQ(tree(scene.dir()).count("etc"), 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Items, DbhostBadBackupItem,
    ::testing::Values(BadItem{"Absolute", "/etc/hostname", "absolute"},
                      BadItem{"DotDotOnly", "..", "(\"..\")"},
                      BadItem{"DotDotInside", "@src/../../../etc/hostname", "(\"..\")"},
                      BadItem{"DotComponent", "@src/./a.data.zbk", "not a plain relative path"},
                      BadItem{"DoubleSlash", "@src//a.data.zbk", "not a plain relative path"},
                      BadItem{"Duplicate", "@src/a.data.zbk", "already stored"},
                      BadItem{"Missing", "@src/nonexistent", "No such file"},
                      BadItem{"Directory", "@src", "not a regular file"}),
    [](const auto &info) { return std::string(info.param.label); });

TEST(DbhostRestoreSafety, ManifestNameLeadingOutsideIsSkippedWithAnError) {
    DbhostScene scene;
    std::string good = scene.add_source("a.data.zbk", "a");
    ASSERT_EQ(scene.backup("s").exit_status, 0);
    // A manifest edited by hand (or damaged) names an item outside the target.
    std::string manifest = read_file(scene.store() / "s" / "manifest");
    std::string sha_of_a = DbhostScene::manifest_items(scene.store() / "s").at(0).sha256;
    manifest.insert(manifest.find("end\t"), "item\t1\t" + sha_of_a + "\tCOPY\t0\t../escaped\n");
    write_file(scene.store() / "s" / "manifest", manifest);
    scene.clear_record();

    auto r = scene.restore("s");
    EXPECT_EQ(r.exit_status, 1);
    EXPECT_TRUE(contains(r.err, "Error: skipping item \"../escaped\"")) << r.err;
    EXPECT_FALSE(fs::exists(scene.dir() / "escaped"));
    EXPECT_EQ(read_file(scene.into() / good), "a");
    for (const auto &call : scene.calls())
        EXPECT_FALSE(contains(call, "escaped")) << call;
}

TEST(DbhostRestoreSafety, SymbolicLinkBelowTargetIsNotFollowed) {
    DbhostScene scene;
    std::string item = scene.add_source("a.data.zbk", "a");
    ASSERT_EQ(scene.backup("s").exit_status, 0);
    fs::create_directories(scene.into());
    fs::create_directories(scene.dir() / "elsewhere");
    fs::create_directory_symlink(scene.dir() / "elsewhere", scene.into() / fs::path(item).begin()->string());
    auto r = scene.restore("s");
    EXPECT_EQ(r.exit_status, 1);
    EXPECT_TRUE(contains(r.err, "is a symbolic link")) << r.err;
    EXPECT_TRUE(fs::is_empty(scene.dir() / "elsewhere"));
}

// ---- damaged stored files --------------------------------------------------

struct Damage {
    const char *label;
    void (*apply)(const fs::path &stored);
};

void PrintTo(const Damage &damage, std::ostream *os) { *os << damage.label; }

class DbhostDamagedItem : public ::testing::TestWithParam<Damage> {};

TEST_P(DbhostDamagedItem, IsReportedAsFailedAndNotWritten) {
    DbhostScene scene;
    std::string victim = scene.add_source("m/alice.data.zbk", "mail of alice");
    std::string other = scene.add_source("m/alice.index.zbk", "index of alice");
    ASSERT_EQ(scene.backup("s").exit_status, 0);
    GetParam().apply(scene.store() / "s" / "data" / victim);
    scene.clear_record();

    auto r = scene.restore("s");
    EXPECT_EQ(r.exit_status, 1);
    EXPECT_TRUE(contains(r.err, "Error: item " + victim)) << r.err;
    EXPECT_TRUE(contains(r.out, "item 1: " + victim + " FAILED")) << r.out;
    EXPECT_FALSE(fs::exists(scene.into() / victim));
    EXPECT_EQ(read_file(scene.into() / other), "index of alice");
    // The plug-in hears of the failed item, and of the good one afterwards.
    auto calls = scene.calls();
    auto at = std::find(calls.begin(), calls.end(), "DB_SetItem 2 " + (scene.into() / victim).string() + " (missing)");
    ASSERT_NE(at, calls.end()) << lines(calls);
    EXPECT_EQ(*(at + 1), "DB_ItemFinishStatus 3");
    EXPECT_EQ(*(at + 2), "DB_SetItem 2 " + (scene.into() / other).string() + " (file of 14 bytes)");
    EXPECT_EQ(*(at + 3), "DB_ItemFinishStatus 1");
    // No partial copy is left beside it.
    EXPECT_EQ(tree((scene.into() / victim).parent_path()), (std::set<std::string>{"alice.index.zbk"}));
}

INSTANTIATE_TEST_SUITE_P(
    Damages, DbhostDamagedItem,
    ::testing::Values(Damage{"ChangedByte", [](const fs::path &p) { write_file(p, "mail of alicE"); }},
                      Damage{"Truncated", [](const fs::path &p) { fs::resize_file(p, 4); }},
                      Damage{"Extended", [](const fs::path &p) { write_file(p, "mail of alice!"); }},
                      Damage{"Removed", [](const fs::path &p) { fs::remove(p); }}),
    [](const auto &info) { return std::string(info.param.label); });

// ---- interrupted backups ---------------------------------------------------

struct Interruption {
    const char *label;
    const char *abort_at;
    size_t items_stored;
};

void PrintTo(const Interruption &i, std::ostream *os) { *os << i.label; }

class DbhostInterrupted : public ::testing::TestWithParam<Interruption> {};

TEST_P(DbhostInterrupted, ManifestClaimsExactlyTheFilesThatAreStored) {
    const Interruption &cut = GetParam();
    DbhostScene scene;
    Strings names;
    for (int i = 0; i < 5; ++i)
        names.push_back(scene.add_source("u" + std::to_string(i) + ".data.zbk", std::string(1000 * (i + 1), 'x')));
    auto r = scene.backup("night", {"--level", "FULL"}, {{"DBHOST_TEST_ABORT", cut.abort_at}});
    ASSERT_EQ(r.signal, SIGABRT) << r.out << r.err;

    fs::path set = scene.store() / "night";
    auto items = DbhostScene::manifest_items(set);
    ASSERT_EQ(items.size(), cut.items_stored);
    std::set<std::string> claimed;
    for (size_t i = 0; i < items.size(); ++i) {
        EXPECT_EQ(items[i].name, names[i]);
        fs::path file = set / "data" / items[i].name;
        ASSERT_TRUE(fs::is_regular_file(file)) << file;
        EXPECT_EQ(fs::file_size(file), items[i].size);
        EXPECT_EQ(sha256sum(file), items[i].sha256);
        claimed.insert(items[i].name);
    }
    for (const auto &entry : fs::recursive_directory_iterator(set / "data")) {
        if (entry.is_regular_file()) {
            EXPECT_TRUE(claimed.contains(fs::relative(entry.path(), set / "data").string())) << entry.path();
        }
    }
    EXPECT_FALSE(contains(read_file(set / "manifest"), "\nend\t"));

    auto list = scene.run({"list", "--store", scene.store().string()});
    EXPECT_EQ(list.exit_status, 0);
    EXPECT_TRUE(contains(list.out, "incomplete  night\n")) << list.out;

    // What the interrupted backup holds can be restored, with a warning.
    r = scene.restore("night");
    EXPECT_EQ(r.exit_status, 3) << r.err;
    EXPECT_TRUE(contains(r.err, "Warning: save set \"night\" is incomplete")) << r.err;
    for (const auto &item : items)
        EXPECT_EQ(read_file(scene.into() / item.name), read_file(scene.source() / fs::path(item.name).filename()));
}

INSTANTIATE_TEST_SUITE_P(Cuts, DbhostInterrupted,
                         ::testing::Values(Interruption{"BeforeFirstItem", "DB_GetItem:1", 0},
                                           Interruption{"InGetItem", "DB_GetItem:3", 2},
                                           Interruption{"InFinishStatus", "DB_ItemFinishStatus:2", 2},
                                           Interruption{"InClose", "DB_CloseOperation:1", 5}),
                         [](const auto &info) { return std::string(info.param.label); });

// ---- batches: a crash between a batch's flush and its synced line -----------

// What a power loss may have done to the items of the batch that was never
// confirmed, beyond what the killed process left.
enum class Tear { none, truncated_file, removed_file, cut_manifest_line };

struct BatchCrash {
    const char *label;
    uint64_t kill_at_batch;    // batches of 2 items over 5 items: the third is the one before the close
    size_t confirmed;          // item lines above the last synced line
    size_t written;            // item lines written when the process died
    Tear tear;
};

void PrintTo(const BatchCrash &c, std::ostream *os) { *os << c.label; }

// The item lines of a manifest, and how many of them precede its last synced line.
std::pair<size_t, size_t> item_lines(const std::string &manifest) {
    size_t items = 0, confirmed = 0;
    std::istringstream in(manifest);
    for (std::string line; std::getline(in, line);) {
        if (line.starts_with("item\t"))
            ++items;
        else if (line.starts_with("synced\t"))
            confirmed = items;
    }
    return {items, confirmed};
}

class DbhostBatchCrash : public ::testing::TestWithParam<BatchCrash> {};

TEST_P(DbhostBatchCrash, RestoreUsesOnlyWholeItemsAndNamesTheSaveSetIncomplete) {
    const BatchCrash &c = GetParam();
    DbhostScene scene;
    Strings names;
    for (int i = 0; i < 5; ++i)
        names.push_back(scene.add_source("u" + std::to_string(i) + ".data.zbk", std::string(700 * (i + 1), 'a' + i)));
    auto r = scene.backup("night", {"--level", "FULL", "--test-batch-items", "2", "--test-kill-before-commit",
                                    std::to_string(c.kill_at_batch)});
    ASSERT_EQ(r.signal, SIGKILL) << r.out << r.err;

    const fs::path set = scene.store() / "night";
    const std::string manifest = read_file(set / "manifest");
    EXPECT_EQ(item_lines(manifest), std::make_pair(c.written, c.confirmed)) << manifest;
    EXPECT_FALSE(contains(manifest, "\nend\t")) << manifest;

    // The last item written is the one a power loss tears.
    std::set<std::string> expected(names.begin(), names.begin() + static_cast<long>(c.written));
    const std::string &victim = names[c.written - 1];
    switch (c.tear) {
    case Tear::none:
        break;
    case Tear::truncated_file:
        fs::resize_file(set / "data" / victim, 10);
        break;
    case Tear::removed_file:
        fs::remove(set / "data" / victim);
        break;
    case Tear::cut_manifest_line: {
        const size_t line = manifest.rfind("item\t");
        fs::resize_file(set / "manifest", line + 12);
        break;
    }
    }
    if (c.tear != Tear::none)
        expected.erase(victim);

    auto list = scene.run({"list", "--store", scene.store().string()});
    EXPECT_TRUE(contains(list.out, "incomplete  night\n")) << list.out;

    scene.clear_record();
    r = scene.restore("night");
    EXPECT_EQ(r.exit_status, 3) << r.out << r.err;
    EXPECT_TRUE(contains(r.err, "Warning: save set \"night\" is incomplete (its backup was interrupted); restoring the " +
                                    std::to_string(expected.size()) + " items it holds"))
        << r.err;
    const bool left_out = c.tear == Tear::truncated_file || c.tear == Tear::removed_file;
    EXPECT_EQ(contains(r.err, "Warning: item " + victim + " of save set \"night\" was stored after its last durable "
                                                           "batch and its file is not whole; it is left out"),
              left_out)
        << r.err;
    std::set<std::string> restored;
    for (const auto &entry : fs::recursive_directory_iterator(scene.into()))
        if (entry.is_regular_file())
            restored.insert(fs::relative(entry.path(), scene.into()).string());
    EXPECT_EQ(restored, expected);
    for (const auto &name : restored)
        EXPECT_EQ(read_file(scene.into() / name), read_file(scene.source() / fs::path(name).filename())) << name;
    // The plug-in is never handed a torn item, nor told of a failed one.
    for (const auto &call : scene.calls()) {
        EXPECT_NE(call, "DB_ItemFinishStatus 3");
        EXPECT_TRUE(c.tear == Tear::none || !contains(call, victim)) << call;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Batches, DbhostBatchCrash,
    ::testing::Values(BatchCrash{"FirstBatchWhole", 1, 0, 2, Tear::none},
                      BatchCrash{"FirstBatchTornFile", 1, 0, 2, Tear::truncated_file},
                      BatchCrash{"SecondBatchWhole", 2, 2, 4, Tear::none},
                      BatchCrash{"SecondBatchRemovedFile", 2, 2, 4, Tear::removed_file},
                      BatchCrash{"SecondBatchCutManifestLine", 2, 2, 4, Tear::cut_manifest_line},
                      BatchCrash{"BatchBeforeCloseWhole", 3, 4, 5, Tear::none},
                      BatchCrash{"BatchBeforeCloseTornFile", 3, 4, 5, Tear::truncated_file}),
    [](const auto &info) { return std::string(info.param.label); });

// A job's chain takes from an interrupted FULL only what is whole: a torn
// index of its last batch makes the mailbox not whole there.
TEST(DbhostBatchCrash, ChainDoesNotTakeAFullWhoseIndexIsTorn) {
    DbhostScene scene;
    std::map<std::string, std::string> item; // "f1 data" -> item name
    for (const std::string set : {"f1", "f2"})
        for (const std::string kind : {"data", "index"})
            item[set + " " + kind] = scene.add_source(set + "/a." + kind + ".zbk", set + " " + kind);
    auto items_of = [&](const std::string &set) { return item[set + " data"] + "\n" + item[set + " index"]; };
    ASSERT_EQ(scene.backup("f1", {"--level", "FULL", "--job", "j"}, {{"DBHOST_TEST_ITEMS", items_of("f1")}})
                  .exit_status,
              0);
    auto r = scene.backup("f2", {"--level", "FULL", "--job", "j", "--test-kill-before-commit", "1"},
                          {{"DBHOST_TEST_ITEMS", items_of("f2")}});
    ASSERT_EQ(r.signal, SIGKILL) << r.err;
    fs::resize_file(scene.store() / "f2" / "data" / item["f2 index"], 3);

    scene.clear_record();
    r = scene.run({"restore", "--plugin", DbhostScene::plugin().string(), "--store", scene.store().string(), "--job",
                   "j", "--into", scene.into().string()});
    EXPECT_EQ(r.exit_status, 3) << r.out << r.err;
    EXPECT_TRUE(contains(r.out, "\n    a: \"f1\", \"f2\"\n")) << r.out;
    EXPECT_TRUE(contains(r.err, "item " + item["f2 index"] + " of save set \"f2\" was stored after its last durable "
                                                            "batch"))
        << r.err;
    EXPECT_EQ(read_file(scene.into() / item["f1 index"]), "f1 index");
    EXPECT_EQ(read_file(scene.into() / item["f2 data"]), "f2 data");
    EXPECT_FALSE(fs::exists(scene.into() / item["f2 index"]));
}

// ---- the flush before the close, and STORED=NO -------------------------------

struct SyncFailure {
    const char *label;
    Strings args;
    Strings acknowledgements; // DB_ItemFinishStatus of the three items
    bool stored;
    size_t confirmed; // item lines above the last synced line
};

void PrintTo(const SyncFailure &f, std::ostream *os) { *os << f.label; }

class DbhostSyncFailure : public ::testing::TestWithParam<SyncFailure> {};

TEST_P(DbhostSyncFailure, CloseIsToldWhetherTheItemsAreStored) {
    const SyncFailure &f = GetParam();
    DbhostScene scene;
    for (int i = 0; i < 3; ++i)
        scene.add_source("u" + std::to_string(i) + ".data.zbk", "mail " + std::to_string(i));
    const bool replace = std::find(f.args.begin(), f.args.end(), "--replace") != f.args.end();
    if (replace) {
        ASSERT_EQ(scene.backup("s").exit_status, 0);
        scene.clear_record();
    }
    const std::string old_manifest = replace ? read_file(scene.store() / "s" / "manifest") : "";
    auto r = scene.backup("s", f.args);
    EXPECT_EQ(r.exit_status, f.stored ? 0 : 1) << r.out << r.err;

    Strings acks;
    for (const auto &call : scene.calls())
        if (call.starts_with("DB_ItemFinishStatus"))
            acks.push_back(call.substr(20));
    EXPECT_EQ(acks, f.acknowledgements) << lines(scene.calls());
    const Strings close_vars = scene.vars_after("DB_CloseOperation");
    EXPECT_EQ(std::count(close_vars.begin(), close_vars.end(), "STORED=NO"), f.stored ? 0 : 1) << lines(close_vars);
    EXPECT_EQ(close_vars.size(), scene.vars_after("DB_InitOperation").size() + (f.stored ? 0 : 1));
    EXPECT_EQ(contains(r.err, "Error: the items of save set \"s\" could not be made durable, so the plug-in is told "
                              "that they are not stored (STORED=NO): "),
              !f.stored)
        << r.err;

    // A replacement whose items are not durable leaves the old save set and
    // is kept as a failed one of its own.
    const std::string kept = replace && !f.stored ? "s.failed-2" : "s";
    if (replace && !f.stored) {
        EXPECT_EQ(read_file(scene.store() / "s" / "manifest"), old_manifest);
    }
    const std::string manifest = read_file(scene.store() / kept / "manifest");
    EXPECT_TRUE(contains(manifest, f.stored ? "\tcomplete\n" : "\tfailed\n")) << manifest;
    EXPECT_EQ(item_lines(manifest).second, f.confirmed) << manifest;
}

INSTANTIATE_TEST_SUITE_P(
    Flushes, DbhostSyncFailure,
    ::testing::Values(SyncFailure{"AllDurable", {}, {"1", "1", "1"}, true, 3},
                      SyncFailure{"AllDurableInBatchesOfOne", {"--test-batch-items", "1"}, {"1", "1", "1"}, true, 3},
                      SyncFailure{"FlushBeforeCloseFails", {"--test-fail-sync", "1"}, {"1", "1", "1"}, false, 0},
                      // The item whose batch could not be flushed fails, and so do the later ones.
                      SyncFailure{"FirstBatchFails",
                                  {"--test-batch-items", "1", "--test-fail-sync", "1"},
                                  {"3", "3", "3"},
                                  false,
                                  0},
                      SyncFailure{"SecondBatchFails",
                                  {"--test-batch-items", "1", "--test-fail-sync", "2"},
                                  {"1", "3", "3"},
                                  false,
                                  1},
                      SyncFailure{"ReplacementFlushFails", {"--replace", "--test-fail-sync", "1"}, {"1", "1", "1"},
                                  false, 0}),
    [](const auto &info) { return std::string(info.param.label); });

// ---- stores written before items were made durable in batches -----------------

// Their manifests have no synced lines: every item line of them is taken as
// whole, also in a save set whose backup was interrupted.
TEST(DbhostStoreFormat, VersionOneManifestsStillListAndRestore) {
    DbhostScene scene;
    const std::string a = scene.add_source("alice.data.zbk", "mail of alice");
    const std::string i = scene.add_source("alice.index.zbk", "index of alice");
    ASSERT_EQ(scene.backup("whole", {"--level", "FULL", "--job", "j"}).exit_status, 0);
    ASSERT_EQ(scene.backup("cut", {"--level", "INCR", "--job", "j"}).exit_status, 0);
    auto as_version_one = [&](const std::string &set, bool ended) {
        std::istringstream in(read_file(scene.store() / set / "manifest"));
        std::string text;
        for (std::string line; std::getline(in, line);) {
            if (line == "dbhost-saveset\t2")
                line = "dbhost-saveset\t1";
            if (!line.starts_with("synced\t") && (ended || !line.starts_with("end\t")))
                text += line + "\n";
        }
        write_file(scene.store() / set / "manifest", text);
    };
    as_version_one("whole", true);
    as_version_one("cut", false);

    auto list = scene.run({"list", "--store", scene.store().string()});
    EXPECT_EQ(list.exit_status, 0) << list.err;
    EXPECT_TRUE(contains(list.out, "  complete    whole\n") && contains(list.out, "  incomplete  cut\n")) << list.out;
    EXPECT_FALSE(contains(list.err, "Warning")) << list.err;

    auto r = scene.restore("whole");
    EXPECT_EQ(r.exit_status, 0) << r.err;
    EXPECT_EQ(read_file(scene.into() / a), "mail of alice");
    EXPECT_EQ(read_file(scene.into() / i), "index of alice");

    // An item of an interrupted version-1 save set is not checked ahead and
    // left out: a damaged one fails loudly, as it always did.
    fs::remove_all(scene.into());
    write_file(scene.store() / "cut" / "data" / a, "mail of alicE");
    r = scene.restore("cut");
    EXPECT_EQ(r.exit_status, 1) << r.err;
    EXPECT_TRUE(contains(r.err, "Warning: save set \"cut\" is incomplete") && contains(r.err, "Error: item " + a))
        << r.err;
    EXPECT_FALSE(contains(r.err, "left out")) << r.err;
    EXPECT_EQ(read_file(scene.into() / i), "index of alice");
}

// ---- save-set names ----------------------------------------------------------

TEST(DbhostSavesetName, OddNamesStayInsideTheStoreAndDoNotCollide) {
    DbhostScene scene;
    scene.add_source("a.data.zbk", "a");
    const Strings names{"../escape", "a/b", "..", ".", ".hidden", "/", "%2F", "x y;rm -rf z", "tab\there"};
    for (const auto &name : names) {
        auto r = scene.backup(name);
        ASSERT_EQ(r.exit_status, 0) << name << r.err;
    }
    // One visible directory per save set, directly below the store, nothing
    // anywhere else.
    size_t directories = 0;
    for (const auto &entry : fs::directory_iterator(scene.store())) {
        EXPECT_TRUE(entry.is_directory()) << entry.path();
        EXPECT_FALSE(entry.path().filename().string().starts_with(".")) << entry.path();
        ++directories;
    }
    EXPECT_EQ(directories, names.size());
    EXPECT_EQ(tree(scene.dir()).count("escape"), 0u);
    EXPECT_EQ(tree(scene.store()).count("a"), 0u);

    auto list = scene.run({"list", "--store", scene.store().string()});
    EXPECT_TRUE(contains(list.out, "  ../escape\n") && contains(list.out, "  x y;rm -rf z\n") &&
                contains(list.out, "  tab\\x09here\n"))
        << list.out;
    for (const auto &name : names) {
        fs::remove_all(scene.into());
        auto r = scene.restore(name);
        EXPECT_EQ(r.exit_status, 0) << name << r.err;
    }
}

TEST(DbhostSavesetName, TooLongForTheStoreIsRefused) {
    DbhostScene scene;
    auto r = scene.backup(std::string(300, 'n'));
    EXPECT_EQ(r.exit_status, 1);
    EXPECT_TRUE(contains(r.err, "too long")) << r.err;
}

// ---- immutability and replacement -------------------------------------------

// A failed replacement keeps the old save set, and its own items too, as a
// failed save set of its own: the plug-in took them as stored.
TEST(DbhostReplace, ExistingSavesetIsRefusedUnlessReplaceAndKeptWhenReplacementFails) {
    DbhostScene scene;
    std::string item = scene.add_source("alice.data.zbk", "first");
    ASSERT_EQ(scene.backup("s").exit_status, 0);
    std::string manifest = read_file(scene.store() / "s" / "manifest");

    write_file(scene.source() / "alice.data.zbk", "second");
    scene.clear_record();
    auto r = scene.backup("s");
    EXPECT_EQ(r.exit_status, 1);
    EXPECT_TRUE(contains(r.err, "Error: save set \"s\" already exists")) << r.err;
    EXPECT_FALSE(fs::exists(scene.record())) << "the plug-in was driven although the save set exists";
    EXPECT_EQ(read_file(scene.store() / "s" / "manifest"), manifest);

    // The first item fails, the second is stored.
    write_file(scene.source() / "alice.index.zbk", "index");
    r = scene.backup("s", {"--replace"}, {{"DBHOST_TEST_FAIL", "DB_GetItem:1"}});
    EXPECT_EQ(r.exit_status, 1);
    EXPECT_TRUE(contains(r.err, "was not replaced") && contains(r.err, "kept as save set \"s.failed-2\"")) << r.err;
    EXPECT_EQ(read_file(scene.store() / "s" / "manifest"), manifest);
    const auto kept = DbhostScene::manifest_items(scene.store() / "s.failed-2");
    ASSERT_EQ(kept.size(), 1u);
    EXPECT_EQ(read_file(scene.store() / "s.failed-2" / "data" / kept[0].name), "index");
    EXPECT_TRUE(contains(read_file(scene.store() / "s.failed-2" / "manifest"), "name\ts.failed-2\n"));

    r = scene.backup("s", {"--replace"});
    EXPECT_EQ(r.exit_status, 0) << r.err;
    r = scene.restore("s");
    EXPECT_EQ(r.exit_status, 0) << r.err;
    EXPECT_EQ(read_file(scene.into() / item), "second");
    // The old save set is gone, the failed replacement is listed.
    std::set<std::string> top;
    for (const auto &entry : fs::directory_iterator(scene.store()))
        top.insert(entry.path().filename().string());
    EXPECT_EQ(top, (std::set<std::string>{"s", "s.failed-2"}));
    auto list = scene.run({"list", "--store", scene.store().string()});
    EXPECT_TRUE(contains(list.out, "  failed      s.failed-2\n")) << list.out;
}

// A --replace backup that died is kept by the next --replace of that name,
// and until then listed as unfinished.
TEST(DbhostReplace, InterruptedReplacementIsKeptByTheNextOne) {
    DbhostScene scene;
    scene.add_source("alice.data.zbk", "first");
    ASSERT_EQ(scene.backup("s").exit_status, 0);
    write_file(scene.source() / "alice.data.zbk", "second");
    auto r = scene.backup("s", {"--replace", "--test-kill-after-call", "3"});
    ASSERT_EQ(r.signal, SIGKILL) << r.err;
    auto list = scene.run({"list", "--store", scene.store().string()});
    EXPECT_TRUE(contains(list.out, "  incomplete  s (an unfinished --replace, kept at its next run)\n")) << list.out;

    write_file(scene.source() / "alice.data.zbk", "third");
    r = scene.backup("s", {"--replace"});
    EXPECT_EQ(r.exit_status, 3) << r.err;
    EXPECT_TRUE(contains(r.err, "Warning: an earlier --replace backup of save set \"s\" was not finished; its items "
                                "are kept as save set \"s.failed-2\""))
        << r.err;
    const auto kept = DbhostScene::manifest_items(scene.store() / "s.failed-2");
    ASSERT_EQ(kept.size(), 1u);
    EXPECT_EQ(read_file(scene.store() / "s.failed-2" / "data" / kept[0].name), "second");
    const auto now = DbhostScene::manifest_items(scene.store() / "s");
    ASSERT_EQ(now.size(), 1u);
    EXPECT_EQ(read_file(scene.store() / "s" / "data" / now[0].name), "third");
}

// ---- listing -------------------------------------------------------------------

TEST(DbhostList, ShowsSavesetsAndTheItemsOfOne) {
    DbhostScene scene;
    std::string a = scene.add_source("alice.data.zbk", "12345");
    scene.add_source("alice.index.zbk", "123");
    ASSERT_EQ(scene.backup("full-1", {"--level", "FULL", "--job", "nightly"}).exit_status, 0);
    ASSERT_EQ(scene.backup("copy-1", {}, {{"DBHOST_TEST_FAIL", "DB_GetItem:2"}}).exit_status, 1);

    auto r = scene.run({"list", "--store", scene.store().string()});
    ASSERT_EQ(r.exit_status, 0) << r.err;
    std::istringstream out(r.out);
    Strings rows;
    for (std::string line; std::getline(out, line);)
        rows.push_back(line);
    ASSERT_EQ(rows.size(), 3u) << r.out;
    EXPECT_TRUE(rows[1].starts_with("COPY         1               5  ") && rows[1].ends_with("  failed      copy-1"))
        << rows[1];
    EXPECT_TRUE(rows[2].starts_with("FULL         2               8  ") && rows[2].ends_with("  complete    full-1"))
        << rows[2];

    r = scene.run({"list", "--store", scene.store().string(), "--saveset", "full-1"});
    ASSERT_EQ(r.exit_status, 0) << r.err;
    EXPECT_TRUE(contains(r.out, "Save set \"full-1\": level FULL, job nightly, created ")) << r.out;
    EXPECT_TRUE(contains(r.out, "             5  " + sha256sum(scene.source() / "alice.data.zbk") + "  FULL ")) << r.out;
    EXPECT_TRUE(r.out.ends_with("  " + a + "\n") || contains(r.out, "  " + a + "\n")) << r.out;

    fs::remove(scene.log());
    r = scene.run({"list", "--store", scene.store().string(), "--saveset", "nope"});
    EXPECT_EQ(r.exit_status, 1);
    EXPECT_TRUE(contains(r.err, "Error: save set \"nope\" does not exist")) << r.err;
    r = scene.run({"list", "--store", (scene.dir() / "nostore").string()});
    EXPECT_EQ(r.exit_status, 1);
    EXPECT_FALSE(fs::exists(scene.log())) << "listing keeps no log";
}

} // namespace
} // namespace arktest
