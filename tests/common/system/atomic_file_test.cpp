// Durable file replacement over every kind of target: what the target holds
// afterwards, that no temporary file stays behind, and that a replacement
// that fails or is dropped leaves the old file whole.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include "support/fixtures.h"
#include "system/atomic_file.h"

namespace {

namespace fs = std::filesystem;
namespace sys = ark::sys;

enum class Target { absent, regular, link_to_other, directory };

struct Replacement {
    const char *name;
    Target target;
    bool commit;
    bool succeeds;
    const char *after; // the target's text afterwards; nullptr: as it was
};
void PrintTo(const Replacement &r, std::ostream *os) { *os << r.name; }

class Replacements : public ::testing::TestWithParam<Replacement> {};

TEST_P(Replacements, LeaveTheNewFileOrTheOldOne) {
    const Replacement &p = GetParam();
    arktest::TempDir dir;
    const fs::path target = dir / "state";
    arktest::write_file(dir / "other", "other");
    switch (p.target) {
    case Target::absent:
        break;
    case Target::regular:
        arktest::write_file(target, "old");
        break;
    case Target::link_to_other:
        fs::create_symlink(dir / "other", target);
        break;
    case Target::directory:
        fs::create_directory(target);
        break;
    }
    std::error_code ec;
    {
        sys::FileReplacement out(target);
        ec = out.error();
        if (!ec) {
            EXPECT_FALSE(out.write("new "));
            EXPECT_FALSE(out.write("text"));
            if (p.commit)
                ec = out.commit();
        }
    }
    EXPECT_EQ(!ec, p.succeeds) << ec.message();
    if (p.after)
        EXPECT_EQ(arktest::read_file(target), p.after);
    else if (p.target == Target::directory)
        EXPECT_TRUE(fs::is_directory(target));
    else
        EXPECT_FALSE(fs::exists(target));
    EXPECT_EQ(arktest::read_file(dir / "other"), "other") << "a link is replaced, never written through";
    EXPECT_FALSE(fs::exists(sys::temporary_sibling(target)));
}

INSTANTIATE_TEST_SUITE_P(
    Targets, Replacements,
    ::testing::Values(Replacement{"NewFile", Target::absent, true, true, "new text"},
                      Replacement{"OverOldFile", Target::regular, true, true, "new text"},
                      Replacement{"OverLink", Target::link_to_other, true, true, "new text"},
                      Replacement{"OverDirectory", Target::directory, true, false, nullptr},
                      Replacement{"DroppedLeavesOldFile", Target::regular, false, true, "old"},
                      Replacement{"DroppedLeavesNothing", Target::absent, false, true, nullptr}),
    [](const auto &info) { return std::string(info.param.name); });

TEST(AtomicFile, DeviceIsWrittenInPlaceAndItsErrorsReported) {
    sys::FileReplacement null("/dev/null");
    ASSERT_FALSE(null.error());
    EXPECT_FALSE(null.write("x"));
    EXPECT_FALSE(null.commit());
    EXPECT_TRUE(fs::is_character_file("/dev/null"));
    EXPECT_FALSE(fs::exists(sys::temporary_sibling("/dev/null")));

    sys::FileReplacement full("/dev/full");
    ASSERT_FALSE(full.error());
    EXPECT_EQ(full.write("x"), std::errc::no_space_on_device);
    EXPECT_TRUE(fs::is_character_file("/dev/full"));
}

// Something planted at the temporary name is never followed, written or
// waited on: a FIFO or a link there fails the replacement at once and the
// target stays; a leftover regular file of a crashed run is replaced.
TEST(AtomicFile, ThePlantedTemporaryNameFailsTheReplacement) {
    arktest::TempDir dir;
    arktest::write_file(dir / "list", "old");
    arktest::write_file(dir / "victim", "victim");
    const fs::path temp = sys::temporary_sibling(dir / "list");
    ASSERT_EQ(::mkfifo(temp.c_str(), 0600), 0);
    EXPECT_EQ(sys::replace_file(dir / "list", "new"), std::errc::file_exists);
    fs::remove(temp);
    fs::create_symlink(dir / "victim", temp);
    EXPECT_EQ(sys::replace_file(dir / "list", "new"), std::errc::file_exists);
    EXPECT_EQ(arktest::read_file(dir / "victim"), "victim");
    EXPECT_EQ(arktest::read_file(dir / "list"), "old");
    fs::remove(temp);
    arktest::write_file(temp, "crashed");
    EXPECT_FALSE(sys::replace_file(dir / "list", "new"));
    EXPECT_EQ(arktest::read_file(dir / "list"), "new");
    EXPECT_EQ(fs::status(dir / "list").permissions(), fs::perms(0600));
}

TEST(AtomicFile, ReplaceCopyAndRemove) {
    arktest::TempDir dir;
    const mode_t old_mask = ::umask(0);
    EXPECT_FALSE(sys::replace_file(dir / "a", "alpha", 0600));
    ::umask(old_mask);
    EXPECT_EQ(arktest::read_file(dir / "a"), "alpha");
    EXPECT_EQ(fs::status(dir / "a").permissions(), fs::perms(0600));

    EXPECT_FALSE(sys::copy_file_durably(dir / "a", dir / "b"));
    EXPECT_EQ(arktest::read_file(dir / "b"), "alpha");
    EXPECT_EQ(sys::copy_file_durably(dir.path(), dir / "c"), std::errc::invalid_argument);
    EXPECT_FALSE(fs::exists(dir / "c"));
    EXPECT_TRUE(sys::replace_file(dir / "missing" / "a", "x"));

    EXPECT_FALSE(sys::rename_durably(dir / "b", dir / "a"));
    EXPECT_FALSE(fs::exists(dir / "b"));
    EXPECT_FALSE(sys::remove_durably(dir / "a"));
    EXPECT_FALSE(sys::remove_durably(dir / "a")) << "absent counts as removed";
    EXPECT_TRUE(fs::is_empty(dir.path()));
}

} // namespace
