// The plug-in's tool runner over the system layer: a tool runs in the
// directory it is given while the process stays where it is, what a failed
// start and an unknown exit status look like to the messages, and the
// command text the messages show.
#include <gtest/gtest.h>

#include <signal.h>

#include <cerrno>

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

TEST(RunTool, CommandTextQuotesOnlyWhatIsNotShellSafe) {
    EXPECT_EQ(ark::command_text({"zarafa-restore", "-u", "a b", "it's", "k:1@x"}),
              "zarafa-restore -u 'a b' 'it'\\''s' k:1@x");
    EXPECT_EQ(ark::shell_quote(""), "''");
}

} // namespace
