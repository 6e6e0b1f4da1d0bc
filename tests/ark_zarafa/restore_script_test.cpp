// The full-restore script: its exact text for plain names and the public
// store, run for real by /bin/sh against a recording zarafa-restore, and
// hostile mailbox names that must stay data.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <string>

#include "support/fixtures.h"
#include "support/index_samples.h"
#include "support/plugin_host.h"
#include "utils.h"

namespace {

namespace fs = std::filesystem;
using arktest::has_message;
using arktest::read_file;
using arktest::write_file;

std::string template_for(const std::string &user) {
    return "#!/bin/sh\n"
           "USER=" + user + "\n"
           "INDEX=${USER}.index.zbk\n"
           "root=`head -2 ${INDEX} | tail -1 | cut -d\\: -f3`\n"
           "grep ^C ${INDEX} | grep ${root} | cut -d\\: -f7 | zarafa-restore -u ${USER} -r -i -\n";
}

// Folder keys directly below the root of index_text, as the tool is fed them.
const std::string kRootFolders = "aaaaaaaaaaa1\naaaaaaaaaaa3\n";

class RestoreScript : public ::testing::Test {
protected:
    void SetUp() override {
        arktest::clear_messages();
        fs::create_directories(restore);
        fs::create_directories(tools);
        // Records its arguments, one bracketed word each, and its input.
        arktest::write_script(tools / "zarafa-restore",
                              "for a in \"$@\"; do printf '[%s]' \"$a\"; done > '" + (tools / "args").string() +
                                  "'\ncat > '" + (tools / "stdin").string() + "'\n");
    }

    int generate(const std::string &user, char *name_out = nullptr) {
        return ARK_FN(utils_generate_full_rst_script)(restore.c_str(), user.c_str(), name_out);
    }
    // Runs the script as the operator would, in the restore directory.
    arktest::ProcessResult run(const std::string &script) {
        arktest::ProcessOptions options;
        options.cwd = restore;
        options.env["PATH"] = tools.string() + ":/usr/bin:/bin";
        return arktest::run_process({"/bin/sh", "./" + script}, options);
    }

    arktest::ScopedCwd cwd;
    arktest::TempDir dir;
    fs::path restore = dir / "restore";
    fs::path tools = dir / "tools";
};

TEST_F(RestoreScript, AliceGetsTheExactTemplateWhichFeedsTheRootFolders) {
    const mode_t old_mask = ::umask(077);
    char name[256] = "untouched";
    const int written = generate("alice", name);
    ::umask(old_mask);
    ASSERT_EQ(written, 1) << arktest::all_messages();
    EXPECT_STREQ(name, "alice.script.restore-full.sh");
    const fs::path script = restore / name;
    const std::string text = read_file(script);
    EXPECT_EQ(text, template_for("alice"));
    EXPECT_EQ(text.size(), 177u);
    EXPECT_EQ(text.substr(10, 11), "USER=alice\n");
    EXPECT_EQ(fs::status(script).permissions(), fs::perms(0700));
    EXPECT_TRUE(has_message("utils_generate_full_rst_script(-)"));
    // The process stays in the directory last entered.
    EXPECT_EQ(fs::current_path(), fs::canonical(restore));

    write_file(restore / "alice.index.zbk", arktest::index_text("alice"));
    const auto result = arktest::run_process({"./alice.script.restore-full.sh"},
                                             {restore, {{"PATH", tools.string() + ":/usr/bin:/bin"}}, {}});
    EXPECT_EQ(result.exit_status, 0) << result.err;
    EXPECT_EQ(read_file(tools / "args"), "[-u][alice][-r][-i][-]");
    EXPECT_EQ(read_file(tools / "stdin"), kRootFolders);
}

TEST_F(RestoreScript, PublicStoreReadsThePublicIndexAndRestoresThePublicStore) {
    ASSERT_EQ(generate("PUBLIC_FOLDER"), 1);
    const std::string script = "PUBLIC_FOLDER.script.restore-full.sh";
    EXPECT_NE(read_file(restore / script).find("INDEX=Public.index.zbk\n"), std::string::npos);
    write_file(restore / "Public.index.zbk", arktest::index_text("public"));
    const auto result = run(script);
    EXPECT_EQ(result.exit_status, 0) << result.err;
    EXPECT_EQ(read_file(tools / "args"), "[-p][-r][-i][-]");
    EXPECT_EQ(read_file(tools / "stdin"), kRootFolders);
}

class PlainNames : public RestoreScript, public ::testing::WithParamInterface<const char *> {};

TEST_P(PlainNames, AreWrittenExactlyAsTheTemplate) {
    ASSERT_EQ(generate(GetParam()), 1);
    EXPECT_EQ(read_file(restore / (std::string(GetParam()) + ".script.restore-full.sh")), template_for(GetParam()));
}

INSTANTIATE_TEST_SUITE_P(Names, PlainNames, ::testing::Values("john.doe", "a_b-c@example.com", "X9", "o-l"));

struct Hostile {
    const char *label;
    const char *name;
};
void PrintTo(const Hostile &h, std::ostream *os) { *os << h.label; }

class HostileNames : public RestoreScript, public ::testing::WithParamInterface<Hostile> {};

TEST_P(HostileNames, StayDataWhenTheScriptRuns) {
    const std::string user = GetParam().name;
    write_file(restore / "victim", "keep");
    write_file(restore / (user + ".index.zbk"), arktest::index_text("hostile"));
    char name[256] = {};
    ASSERT_EQ(generate(user, name), 1) << arktest::all_messages();
    EXPECT_EQ(std::string(name), user + ".script.restore-full.sh");

    const auto result = run(name);
    EXPECT_EQ(result.exit_status, 0) << result.err;
    EXPECT_EQ(read_file(tools / "args"), "[-u][" + user + "][-r][-i][-]");
    EXPECT_EQ(read_file(tools / "stdin"), kRootFolders);
    for (const fs::path &place : {restore, tools, dir.path(), fs::current_path()})
        EXPECT_FALSE(fs::exists(place / "PWNED")) << place;
    EXPECT_EQ(read_file(restore / "victim"), "keep");
}

INSTANTIATE_TEST_SUITE_P(
    Names, HostileNames,
    ::testing::Values(Hostile{"CommandSubstitution", "$(touch PWNED)"}, Hostile{"Backquotes", "`touch PWNED`"},
                      Hostile{"Semicolon", "x;touch PWNED"}, Hostile{"Blank", "a b"},
                      Hostile{"Quotes", "it's \"q\" $HOME"}, Hostile{"Glob", "*"},
                      Hostile{"Newline", "a\ntouch PWNED"}, Hostile{"LeadingDash", "-rf"},
                      Hostile{"Redirect", "x>victim"}, Hostile{"Variable", "${IFS}touch${IFS}PWNED"}),
    [](const auto &info) { return std::string(info.param.label); });

TEST_F(RestoreScript, NamesThatLeaveTheDirectoryAreRefused) {
    for (const char *user : {"../evil", "a/b", ""}) {
        arktest::clear_messages();
        EXPECT_EQ(generate(user), 0) << user;
        EXPECT_TRUE(arktest::has_message_containing("Error: mailbox name [")) << user;
    }
    EXPECT_FALSE(fs::exists(dir / "evil.script.restore-full.sh"));
    EXPECT_TRUE(fs::is_empty(restore));
}

TEST_F(RestoreScript, FailuresLeaveNoScriptBehind) {
    const std::string missing = (dir / "missing").string();
    EXPECT_EQ(ARK_FN(utils_generate_full_rst_script)(missing.c_str(), "alice", nullptr), 0);
    EXPECT_TRUE(has_message("Error: path doesn't exist [" + missing + "]"));
    EXPECT_EQ(ARK_FN(utils_generate_full_rst_script)(nullptr, "alice", nullptr), 0);
    EXPECT_EQ(ARK_FN(utils_generate_full_rst_script)(restore.c_str(), nullptr, nullptr), 0);
    EXPECT_EQ(generate(std::string(233, 'n')), 0);
    EXPECT_TRUE(arktest::has_message_containing("is too long"));

    // A link planted under the script's name does not redirect the write.
    write_file(dir / "target", "keep");
    fs::create_symlink(dir / "target", restore / "alice.script.restore-full.sh");
    EXPECT_EQ(generate("alice"), 0);
    EXPECT_TRUE(has_message("Error: Can't open file=alice.script.restore-full.sh"));
    EXPECT_EQ(read_file(dir / "target"), "keep");
}

} // namespace
