// The plug-in's tool runner over the system layer: a tool runs in the
// directory it is given while the process stays where it is, what a failed
// start and an unknown exit status look like to the messages, and the
// command text the messages show.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

#include "run_tool.h"
#include "support/fixtures.h"

namespace {

namespace fs = std::filesystem;

TEST(RunTool, RunsInTheGivenDirectoryAndLeavesTheProcessWhereItIs) {
    arktest::TempDir dir;
    const fs::path before = fs::current_path();
    const ark::ToolRun run =
        ark::run_tool({"/bin/sh", "-c", "pwd; cat; exit 2"}, {.capture_output = true, .input = "in", .cwd = dir.path()});
    EXPECT_TRUE(run.started);
    EXPECT_EQ(run.exit_status, 2);
    EXPECT_FALSE(run.succeeded());
    EXPECT_EQ(run.output, fs::canonical(dir.path()).string() + "\nin");
    EXPECT_EQ(run.outcome(), "exit status 2");
    EXPECT_EQ(fs::current_path(), before);
}

TEST(RunTool, FailedStartAndUnknownEndAreToldApart) {
    const ark::ToolRun missing = ark::run_tool({"ark-no-such-tool"});
    EXPECT_FALSE(missing.started);
    EXPECT_EQ(missing.start_errno, ENOENT);
    EXPECT_EQ(missing.start_error, "No such file or directory");

    struct sigaction ignore {}, previous {};
    ignore.sa_handler = SIG_IGN;
    ASSERT_EQ(::sigaction(SIGCHLD, &ignore, &previous), 0);
    const ark::ToolRun unknown = ark::run_tool({"/bin/sh", "-c", "exit 0"});
    ::sigaction(SIGCHLD, &previous, nullptr);
    EXPECT_TRUE(unknown.started);
    EXPECT_FALSE(unknown.succeeded()) << "a status that could not be learned is no success";
    EXPECT_EQ(unknown.outcome(),
              "an exit status that could not be learned (No child processes: SIGCHLD is ignored, or the tool was "
              "reaped elsewhere)");
}

// Every tool gets umask 077, a PATH without empty or relative entries (so
// that neither the plug-in nor the tool runs a program planted in the
// directory it works in), and the descriptors the operation hands down.
TEST(RunTool, ToolsGetAPrivateUmaskAnAbsolutePathAndTheInheritedDescriptors) {
    arktest::TempDir dir;
    arktest::write_script(dir / "zarafa-backup", "echo planted\n");
    arktest::write_file(dir / "lock", "");
    const int lock = ::open((dir / "lock").c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_GE(lock, 0);
    const char *old = std::getenv("PATH");
    const std::string path = std::string(old ? old : "/usr/bin:/bin");
    arktest::ScopedEnv env("PATH", ".::" + path + ":");
    const std::string script = "umask; echo \"$PATH\"; : > made; [ -e /proc/self/fd/" + std::to_string(lock) +
                               " ] && echo inherited; zarafa-backup 2>/dev/null || echo none";
    ark::set_inherited_by_tools({lock});
    const ark::ToolRun with = ark::run_tool({"/bin/sh", "-c", script}, {.capture_output = true, .cwd = dir.path().string()});
    ark::set_inherited_by_tools({});
    const ark::ToolRun without = ark::run_tool({"/bin/sh", "-c", script}, {.capture_output = true, .cwd = dir.path().string()});
    ::close(lock);
    EXPECT_EQ(with.output, "0077\n" + ark::sys::absolute_path_entries(path) + "\ninherited\nnone\n");
    EXPECT_EQ(without.output, "0077\n" + ark::sys::absolute_path_entries(path) + "\nnone\n");
    EXPECT_EQ(fs::status(dir / "made").permissions(), fs::perms(0600));
    EXPECT_FALSE(ark::run_tool({"zarafa-backup"}, {.cwd = dir.path().string()}).started);
}

TEST(RunTool, CommandTextQuotesOnlyWhatIsNotShellSafe) {
    EXPECT_EQ(ark::command_text({"zarafa-restore", "-u", "a b", "it's", "k:1@x"}),
              "zarafa-restore -u 'a b' 'it'\\''s' k:1@x");
    EXPECT_EQ(ark::shell_quote(""), "''");
}

} // namespace
