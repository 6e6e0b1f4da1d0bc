// The system layer's process runner with real programs (/bin/sh, sleep,
// cat): how a run ends, what the child gets (directory, environment, input)
// and where its output goes, children started and waited for apart and
// stopped, and a caller that ignores or handles SIGCHLD.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <optional>
#include <tuple>

#include "support/fixtures.h"
#include "system/fd.h"
#include "system/process.h"

namespace {

namespace fs = std::filesystem;
namespace sys = ark::sys;
using namespace std::chrono_literals;
using State = sys::Result::State;

sys::Command sh(const std::string &script) { return {.argv = {"/bin/sh", "-c", script}}; }

struct Ending {
    const char *name;
    sys::Command (*command)(const fs::path &dir);
    State state;
    int value; // exit status, signal or error number
};
void PrintTo(const Ending &e, std::ostream *os) { *os << e.name; }

class Endings : public ::testing::TestWithParam<Ending> {};

TEST_P(Endings, AreToldApart) {
    arktest::TempDir dir;
    arktest::write_file(dir / "plain", "#!/bin/sh\n", fs::perms(0644));
    const sys::Result r = sys::run(GetParam().command(dir.path()));
    EXPECT_EQ(r.state, GetParam().state) << r.outcome();
    const int value = r.state == State::exited ? r.status : r.state == State::signalled ? r.signal : r.error;
    EXPECT_EQ(value, GetParam().value) << r.outcome();
    EXPECT_EQ(r.succeeded(), r.state == State::exited && r.status == 0);
}

INSTANTIATE_TEST_SUITE_P(
    Runs, Endings,
    ::testing::Values(
        Ending{"ExitZero", [](const fs::path &) { return sh("exit 0"); }, State::exited, 0},
        Ending{"ExitStatus", [](const fs::path &) { return sh("exit 3"); }, State::exited, 3},
        Ending{"KilledBySignal", [](const fs::path &) { return sh("kill -TERM $$"); }, State::signalled, SIGTERM},
        Ending{"NotOnPath", [](const fs::path &) { return sys::Command{.argv = {"ark-no-such-tool"}}; },
               State::not_started, ENOENT},
        Ending{"NotExecutable",
               [](const fs::path &dir) { return sys::Command{.argv = {(dir / "plain").string()}}; },
               State::not_started, EACCES},
        Ending{"MissingDirectory",
               [](const fs::path &dir) {
                   sys::Command c = sh("exit 0");
                   c.cwd = dir / "missing";
                   return c;
               },
               State::not_started, ENOENT},
        Ending{"MissingDirectoryForked",
               [](const fs::path &dir) {
                   sys::Command c = sh("exit 0");
                   c.cwd = dir / "missing";
                   c.die_with_parent = true;
                   return c;
               },
               State::not_started, ENOENT},
        Ending{"OutputFileNotCreatable",
               [](const fs::path &dir) {
                   sys::Command c = sh("exit 0");
                   c.out = sys::Output::to_file(dir / "missing" / "out");
                   return c;
               },
               State::not_started, ENOENT}),
    [](const auto &info) { return std::string(info.param.name); });

// Directory, environment and input reach the child; its two streams come
// back apart, also when both are far larger than a pipe holds; the caller's
// own directory stays.
TEST(Process, ChildGetsItsDirectoryEnvironmentAndInput) {
    arktest::TempDir dir;
    const fs::path before = fs::current_path();
    const std::string input(1 << 20, 'x');
    for (const bool forked : {false, true}) {
        sys::Command c = sh("pwd; echo \"$ARK_PROBE\"; cat; cat /dev/zero | head -c 300000 >&2");
        c.cwd = dir.path();
        c.env = sys::environment_with({{"ARK_PROBE", "a b"}});
        c.input = input;
        c.out = sys::Output::capture();
        c.err = sys::Output::capture();
        c.die_with_parent = forked;
        const sys::Result r = sys::run(c);
        ASSERT_TRUE(r.succeeded()) << r.outcome();
        EXPECT_EQ(r.out, fs::canonical(dir.path()).string() + "\na b\n" + input) << forked;
        EXPECT_EQ(r.err, std::string(300000, '\0')) << forked;
        EXPECT_EQ(fs::current_path(), before);
    }
}

// Only absolute PATH entries are searched: a program of the same name in
// the child's directory is never run through an empty or relative entry.
struct PathCase {
    const char *name;
    const char *path; // "@" stands for the directory of the real tool
    const char *found; // the tool's output, or nullptr when nothing runs
};
void PrintTo(const PathCase &p, std::ostream *os) { *os << p.name; }
class PathSearch : public ::testing::TestWithParam<PathCase> {};

TEST_P(PathSearch, TakesAbsoluteEntriesOnly) {
    arktest::TempDir dir;
    arktest::write_script(dir / "bin" / "ark-probe-tool", "echo found\n");
    arktest::write_script(dir / "work" / "ark-probe-tool", "echo planted\n");
    arktest::write_script(dir / "work" / "rel" / "ark-probe-tool", "echo planted\n");
    std::string path = GetParam().path;
    if (const size_t at = path.find('@'); at != std::string::npos)
        path.replace(at, 1, (dir / "bin").string());
    for (const bool forked : {false, true}) {
        sys::Command c{.argv = {"ark-probe-tool"}, .cwd = dir / "work", .env = sys::environment_with({{"PATH", path}})};
        c.out = sys::Output::capture();
        c.die_with_parent = forked;
        const sys::Result r = sys::run(c);
        if (GetParam().found) {
            EXPECT_TRUE(r.succeeded()) << r.outcome();
            EXPECT_EQ(r.out, std::string(GetParam().found) + "\n") << forked;
        } else {
            EXPECT_EQ(r.state, State::not_started) << r.out;
            EXPECT_EQ(r.error, ENOENT) << forked;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Entries, PathSearch,
                         ::testing::Values(PathCase{"Absolute", "@", "found"},
                                           PathCase{"EmptyFirst", ":@", "found"},
                                           PathCase{"DotFirst", ".:@", "found"},
                                           PathCase{"RelativeFirst", "rel:@:", "found"},
                                           PathCase{"EmptyOnly", "", nullptr},
                                           PathCase{"DotOnly", ".", nullptr},
                                           PathCase{"RelativeAndEmpty", "rel::", nullptr}),
                         [](const auto &info) { return std::string(info.param.name); });

TEST(Process, AbsolutePathEntriesDropEmptyAndRelativeOnes) {
    EXPECT_EQ(sys::absolute_path_entries(":/usr/local/bin:.:bin::/bin:"), "/usr/local/bin:/bin");
    EXPECT_EQ(sys::absolute_path_entries("/bin"), "/bin");
    EXPECT_EQ(sys::absolute_path_entries(""), "/usr/bin:/bin");
    EXPECT_EQ(sys::absolute_path_entries(".:x"), "/usr/bin:/bin");
}

// What the child starts with, spawned or forked: the directory of cwd_fd
// (the one that was opened, even after its name moved, and over cwd), the
// umask asked for or the caller's, and of the caller's close-on-exec
// descriptors exactly the inherited ones.
class ChildSetup : public ::testing::TestWithParam<std::tuple<bool, std::optional<mode_t>>> {};

TEST_P(ChildSetup, DirectoryUmaskAndInheritedDescriptors) {
    const auto [forked, mask] = GetParam();
    arktest::TempDir dir;
    fs::create_directories(dir / "by-name");
    fs::create_directories(dir / "by-fd");
    arktest::write_file(dir / "kept", "");
    arktest::write_file(dir / "closed", "");
    const sys::Fd held(::open((dir / "by-fd").c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    const sys::Fd kept(::open((dir / "kept").c_str(), O_WRONLY | O_APPEND | O_CLOEXEC));
    const sys::Fd closed(::open((dir / "closed").c_str(), O_WRONLY | O_APPEND | O_CLOEXEC));
    ASSERT_TRUE(held && kept && closed);
    fs::rename(dir / "by-fd", dir / "moved");
    fs::create_directories(dir / "by-fd");

    const std::string k = std::to_string(kept.get()), x = std::to_string(closed.get());
    sys::Command c = sh("pwd -P; umask; : > made; echo in >&" + k + "; (echo out >&" + x + ") 2>/dev/null || echo gone");
    c.cwd = dir / "by-name";
    c.cwd_fd = held.get();
    c.umask = mask;
    c.inherit_fds = {kept.get()};
    c.out = sys::Output::capture();
    c.die_with_parent = forked;
    const mode_t caller = ::umask(022);
    const sys::Result r = sys::run(c);
    ::umask(caller);
    ASSERT_TRUE(r.succeeded()) << r.outcome() << r.err;
    EXPECT_EQ(r.out, fs::canonical(dir / "moved").string() + "\n" + (mask ? "0077" : "0022") + "\ngone\n");
    EXPECT_EQ(fs::status(dir / "moved" / "made").permissions(), fs::perms(mask ? 0600 : 0644));
    EXPECT_EQ(arktest::read_file(dir / "kept"), "in\n");
    EXPECT_EQ(arktest::read_file(dir / "closed"), "");
    EXPECT_NE(::fcntl(kept.get(), F_GETFD) & FD_CLOEXEC, 0) << "the caller's flag stays";
}

INSTANTIATE_TEST_SUITE_P(Starts, ChildSetup,
                         ::testing::Combine(::testing::Bool(), ::testing::Values(std::nullopt, mode_t{077})),
                         [](const auto &info) {
                             return std::string(std::get<0>(info.param) ? "Forked" : "Spawned") +
                                    (std::get<1>(info.param) ? "Umask077" : "CallersUmask");
                         });

TEST(Process, BadDirectoryDescriptorOrInheritedDescriptorIsNoStart) {
    arktest::TempDir dir;
    arktest::write_file(dir / "file", "");
    const sys::Fd file(::open((dir / "file").c_str(), O_RDONLY | O_CLOEXEC));
    for (const bool forked : {false, true}) {
        sys::Command c = sh("exit 0");
        c.die_with_parent = forked;
        c.cwd_fd = file.get();
        EXPECT_EQ(sys::run(c).error, ENOTDIR) << forked;
        c.cwd_fd.reset();
        c.inherit_fds = {1};
        EXPECT_EQ(sys::run(c).error, EINVAL) << forked;
        c.inherit_fds = {9999};
        EXPECT_EQ(sys::run(c).error, EBADF) << forked;
    }
}

TEST(Process, OutputGoesToFilesDescriptorsOrNowhere) {
    arktest::TempDir dir;
    const fs::path shared = dir / "both";
    sys::Command c = sh("echo out; echo err >&2");
    c.out = sys::Output::to_file(dir / "out");
    c.err = sys::Output::discard();
    ASSERT_TRUE(sys::run(c).succeeded());
    EXPECT_EQ(arktest::read_file(dir / "out"), "out\n");

    // One descriptor for both streams: they append to each other.
    arktest::write_file(shared, "");
    const int fd = ::open(shared.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    c.out = sys::Output::to_fd(fd);
    c.err = sys::Output::to_fd(fd);
    ASSERT_TRUE(sys::run(c).succeeded());
    ::close(fd);
    EXPECT_EQ(arktest::read_file(shared), "out\nerr\n");
}

// Several children at once, each with its own directory and output, reaped
// by their own pids: a child the caller started itself is left to it.
TEST(Process, ChildrenRunAtOnceAndOnlyTheirOwnPidsAreReaped) {
    arktest::TempDir dir;
    const pid_t foreign = ::fork();
    ASSERT_GE(foreign, 0);
    if (foreign == 0)
        ::_exit(7);
    std::vector<sys::Child> children;
    for (int i = 0; i < 3; ++i) {
        fs::create_directories(dir / std::to_string(i));
        sys::Command c = sh("sleep 0.2; pwd");
        c.cwd = dir / std::to_string(i);
        c.out = sys::Output::capture();
        children.emplace_back(c);
        ASSERT_TRUE(children.back().started());
    }
    EXPECT_FALSE(children[0].poll()) << "still sleeping";
    size_t ended = 0;
    const auto deadline = std::chrono::steady_clock::now() + 20s;
    while (ended < children.size() && std::chrono::steady_clock::now() < deadline) {
        ended = 0;
        for (sys::Child &child : children)
            ended += child.wait_for(20ms).has_value();
    }
    ASSERT_EQ(ended, children.size());
    for (int i = 0; i < 3; ++i) {
        EXPECT_FALSE(children[i].running());
        EXPECT_EQ(children[i].result().out, fs::canonical(dir / std::to_string(i)).string() + "\n");
    }
    int status = 0;
    ASSERT_EQ(::waitpid(foreign, &status, 0), foreign);
    EXPECT_EQ(WEXITSTATUS(status), 7);
}

TEST(Process, StopAsksFirstThenKills) {
    sys::Child polite(sh("exec sleep 30"));
    ASSERT_TRUE(polite.started());
    EXPECT_FALSE(polite.wait_for(50ms));
    const auto start = std::chrono::steady_clock::now();
    sys::Result r = polite.stop(10s);
    EXPECT_EQ(r.state, State::signalled);
    EXPECT_EQ(r.signal, SIGTERM);

    // SIGTERM ignored (and kept ignored across exec): the grace runs out.
    sys::Command deaf = sh("exec sleep 30");
    deaf.ignored_signals = {SIGTERM};
    sys::Child stubborn(deaf);
    ASSERT_TRUE(stubborn.started());
    r = stubborn.stop(200ms);
    EXPECT_EQ(r.state, State::signalled);
    EXPECT_EQ(r.signal, SIGKILL);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 10s);
}

TEST(Process, ChildStillRunningWhenItsHolderEndsIsKilledAndReaped) {
    pid_t pid = -1;
    {
        sys::Child child(sh("exec sleep 30"));
        pid = child.pid();
        ASSERT_GT(pid, 0);
    }
    EXPECT_EQ(::kill(pid, 0), -1);
    EXPECT_EQ(errno, ESRCH);
}

// The caller's SIGCHLD disposition: ignored, the kernel reaps the child and
// its status can't be learned, which is told as such; handled, the handler's
// interruptions do not disturb the wait.
std::atomic<int> g_sigchld{0};
void count_sigchld(int) { ++g_sigchld; }

TEST(Process, CallerThatIgnoresOrHandlesSigchld) {
    struct sigaction ignore {}, handler {}, previous {};
    ignore.sa_handler = SIG_IGN;
    ASSERT_EQ(::sigaction(SIGCHLD, &ignore, &previous), 0);
    const sys::Result unknown = sys::run(sh("exit 4"));
    handler.sa_handler = count_sigchld; // no SA_RESTART
    ::sigaction(SIGCHLD, &handler, nullptr);
    sys::Command c = sh("sleep 0.1 & sleep 0.2; wait; exit 4");
    c.out = sys::Output::capture();
    const sys::Result handled = sys::run(c);
    ::sigaction(SIGCHLD, &previous, nullptr);

    EXPECT_EQ(unknown.state, State::unknown);
    EXPECT_EQ(unknown.error, ECHILD);
    EXPECT_FALSE(unknown.succeeded());
    EXPECT_NE(unknown.outcome().find("SIGCHLD"), std::string::npos) << unknown.outcome();
    EXPECT_EQ(handled.state, State::exited);
    EXPECT_EQ(handled.status, 4);
    EXPECT_GE(g_sigchld.load(), 1);
}

} // namespace
