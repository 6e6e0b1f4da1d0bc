// The export-directory listing against a real directory: which names it
// gives and in what order, and that it follows every kind of change made
// after its first read (names that come and go, and the directory itself
// replaced), as a fresh read of the directory would.
#include <gtest/gtest.h>

#include <functional>

#include "export_listing.h"
#include "support/fixtures.h"

namespace {

namespace fs = std::filesystem;
using Names = std::vector<std::string>;

struct Change {
    const char *name;
    std::function<void(const fs::path &dir)> make;
    Names bob; // names beginning with "bob." afterwards
};
void PrintTo(const Change &c, std::ostream *os) { *os << c.name; }

class ListingFollows : public ::testing::TestWithParam<Change> {
protected:
    void SetUp() override {
        for (const char *name : {"bob.index.zbk", "bob.data.zbk", "bobby.index.zbk", ".bob.hidden", "alice.data.zbk"})
            arktest::write_file(dir / "export" / name, "x");
    }
    arktest::TempDir dir;
    ark::ExportListing listing;
};

TEST_P(ListingFollows, EveryChangeAfterTheFirstRead) {
    const fs::path exports = dir / "export";
    ASSERT_EQ(listing.names_starting_with(exports, "bob."), (Names{"bob.data.zbk", "bob.index.zbk"}));
    GetParam().make(exports);
    EXPECT_EQ(listing.names_starting_with(exports, "bob."), GetParam().bob);
    // The listing agrees with a fresh one.
    ark::ExportListing fresh;
    EXPECT_EQ(fresh.names_starting_with(exports, "bob."), GetParam().bob);
}

INSTANTIATE_TEST_SUITE_P(
    Changes, ListingFollows,
    ::testing::Values(
        Change{"NoChange", [](const fs::path &) {}, {"bob.data.zbk", "bob.index.zbk"}},
        Change{"Created", [](const fs::path &d) { arktest::write_file(d / "bob.a.zbk", ""); },
               {"bob.a.zbk", "bob.data.zbk", "bob.index.zbk"}},
        Change{"Removed", [](const fs::path &d) { fs::remove(d / "bob.data.zbk"); }, {"bob.index.zbk"}},
        Change{"RenamedWithin",
               [](const fs::path &d) { fs::rename(d / "bob.data.zbk", d / "bobby.data.zbk"); },
               {"bob.index.zbk"}},
        Change{"MovedIn",
               [](const fs::path &d) {
                   arktest::write_file(d.parent_path() / "bob.new.zbk", "");
                   fs::rename(d.parent_path() / "bob.new.zbk", d / "bob.new.zbk");
               },
               {"bob.data.zbk", "bob.index.zbk", "bob.new.zbk"}},
        Change{"HiddenNameCreated", [](const fs::path &d) { arktest::write_file(d / ".bob.tmp", ""); },
               {"bob.data.zbk", "bob.index.zbk"}},
        Change{"DirectoryReplaced",
               [](const fs::path &d) {
                   fs::remove_all(d);
                   arktest::write_file(d / "bob.z.zbk", "");
               },
               {"bob.z.zbk"}},
        Change{"DirectoryMovedAway",
               [](const fs::path &d) {
                   fs::rename(d, d.parent_path() / "moved");
                   fs::create_directory(d);
               },
               {}}),
    [](const auto &info) { return std::string(info.param.name); });

TEST(ExportListing, NamesContainingAnywhereAcrossDirectories) {
    arktest::TempDir dir;
    for (const char *name : {"Public.index.zbk", "Public.data.zbk", "xPublicx", "public.zbk", ".Public"})
        arktest::write_file(dir / "a" / name, "");
    arktest::write_file(dir / "b" / "Public.index.zbk", "");
    ark::ExportListing listing;
    EXPECT_EQ(listing.names_containing(dir / "a", "Public"), (Names{"Public.data.zbk", "Public.index.zbk", "xPublicx"}));
    EXPECT_EQ(listing.names_containing(dir / "b", "Public"), Names{"Public.index.zbk"});
    EXPECT_EQ(listing.names_containing(dir / "missing", "Public"), Names{});
    arktest::write_file(dir / "missing" / "Public.x", "");
    EXPECT_EQ(listing.names_containing(dir / "missing", "Public"), Names{"Public.x"}) << "a missing directory is no cache";
    listing.reset();
    EXPECT_EQ(listing.names_starting_with(dir / "a", "Public."), (Names{"Public.data.zbk", "Public.index.zbk"}));
}

} // namespace
