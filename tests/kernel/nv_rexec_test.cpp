// nv_rexec run as a process: command line, usage screen and exit statuses,
// the argument vector and output files of the ssh client it starts (a fake
// ssh on PATH), interrupts, the log configuration, its linkage with libnv,
// and one run against a real OpenSSH server on 127.0.0.1.
#include <gtest/gtest.h>

#include <signal.h>

#include <cctype>
#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

#include "support/fixtures.h"
#include "support/ssh_child.h"
#include "support/ssh_server.h"

using namespace arktest;
using namespace std::chrono_literals;

namespace {

const std::string kTool = std::string(ARK_BIN_DIR) + "/nv_rexec";
const std::string kLib = std::string(ARK_LIB_DIR) + "/libnv.so";

// Records its arguments (NUL-separated), writes one line to each stream and
// exits with $NV_FAKE_RC. With NV_FAKE_MODE=shell it runs its last argument
// with /bin/sh -c, as sshd hands a command to the user's shell.
const char *const kRecordingSsh = R"(
for a in "$@"; do printf '%s\0' "$a"; done > "$NV_FAKE_DIR/args"
if [ "$NV_FAKE_MODE" = shell ]; then
  for last in "$@"; do :; done
  exec /bin/sh -c "$last"
fi
printf 'remote-out\n'
printf 'remote-err\n' >&2
exit "${NV_FAKE_RC:-0}"
)";

// Stays running until the test creates "go" (at most 20 s), announcing itself
// through "ready"; notes a SIGHUP in "hup".
const char *const kWaitingSsh = R"(
trap 'echo hup > "$NV_FAKE_DIR/hup"; exit 129' HUP
for a in "$@"; do printf '%s\0' "$a"; done > "$NV_FAKE_DIR/args"
echo $$ > "$NV_FAKE_DIR/ready.tmp" && mv "$NV_FAKE_DIR/ready.tmp" "$NV_FAKE_DIR/ready"
i=0
while [ ! -e "$NV_FAKE_DIR/go" ] && [ "$i" -lt 400 ]; do sleep 0.05; i=$((i+1)); done
printf 'finished\n'
echo done > "$NV_FAKE_DIR/done"
exit "${NV_FAKE_RC:-0}"
)";

// "YYYY-MM-DD hh:mm:ss " at the start of a trace line.
bool starts_with_time_stamp(std::string_view line) {
    constexpr std::string_view mask = "0000-00-00 00:00:00 ";
    if (line.size() < mask.size())
        return false;
    for (size_t i = 0; i < mask.size(); ++i)
        if (mask[i] == '0' ? !std::isdigit(static_cast<unsigned char>(line[i])) : line[i] != mask[i])
            return false;
    return true;
}

using arktest::lines_of;

std::string pad80(std::string s) {
    if (s.size() < 80)
        s.append(80 - s.size(), ' ');
    return s;
}

// Every line but the first (the tool's identification) as the screen shows it.
std::string usage_tail() {
    const std::vector<std::string> lines = {
        std::string(80, '-'),
        "",
        " Description:  Execute a command on a remote client",
        "",
        " Syntax:",
        " nv_rexec -L <outfile> -E <errfile> <hostname> <command>",
        "",
        " Example: nv_rexec -L STDOUT linux ark",
        "",
        "",
        std::string(80, '-'),
    };
    std::string text;
    for (const auto &l : lines)
        text += pad80(l) + "\n";
    return text;
}

void expect_usage_screen(const std::string &out) {
    auto nl = out.find('\n');
    ASSERT_NE(nl, std::string::npos) << out;
    EXPECT_TRUE(out.starts_with("$Id: ")) << out;
    EXPECT_EQ(out.substr(nl + 1), usage_tail());
}

std::vector<std::string> split_nul(const std::string &text) {
    std::vector<std::string> parts;
    size_t start = 0;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\0') {
            parts.push_back(text.substr(start, i - start));
            start = i + 1;
        }
    }
    return parts;
}

std::vector<std::string> ssh_argv(const std::string &host, const std::string &cmd) {
    return {"-o", "BatchMode=yes", "--", host, cmd};
}

class NvRexec : public ::testing::Test {
protected:
    void SetUp() override {
        fs::create_directories(dir_ / "bin");
        fs::create_directories(dir_ / "conf");
        fs::create_directories(dir_ / "work");
        fs::create_directories(fake_dir());
        write_script(dir_ / "bin" / "ssh", kRecordingSsh);
    }

    fs::path fake_dir() const { return dir_ / "fake"; }
    fs::path work() const { return dir_ / "work"; }
    fs::path trace_file() const { return dir_ / "conf" / "trace.log"; }

    void use_waiting_ssh() { write_script(dir_ / "bin" / "ssh", kWaitingSsh); }
    void enable_tracing() {
        write_file(dir_ / "conf" / "nv_rexec.lgc", "# test\nTRACE_LEVEL=1\nLOG_FILE=trace.log\n");
    }

    ChildOptions options(std::map<std::string, std::string> extra = {}) const {
        ChildOptions o;
        const char *path = std::getenv("PATH");
        o.env["PATH"] = (dir_ / "bin").string() + ":" + (path ? path : "/usr/bin:/bin");
        o.env["NV_CONFIG_DIR"] = (dir_ / "conf").string();
        o.env["NV_FAKE_DIR"] = fake_dir().string();
        for (auto &[k, v] : extra)
            o.env[k] = v;
        o.cwd = work();
        return o;
    }

    ProcessResult run(std::vector<std::string> args, std::map<std::string, std::string> extra = {}) {
        args.insert(args.begin(), kTool);
        return run_bounded(args, options(std::move(extra)), 30s);
    }

    bool ssh_ran() const { return fs::exists(fake_dir() / "args"); }
    std::vector<std::string> recorded_args() const { return split_nul(read_file_or_empty(fake_dir() / "args")); }

    TempDir dir_;
};

// ---- command line and usage screen ----

class HelpArgument : public NvRexec, public ::testing::WithParamInterface<std::string> {};

TEST_P(HelpArgument, PrintsUsageAndExitsZero) {
    ProcessResult r = run({GetParam()});
    EXPECT_EQ(r.exit_status, 0);
    expect_usage_screen(r.out);
    EXPECT_FALSE(ssh_ran());
}

INSTANTIATE_TEST_SUITE_P(Forms, HelpArgument, ::testing::Values("-h", "-?", "/?", "?", "?anything"));

struct UsageCase {
    std::string name;
    std::vector<std::string> args;
};
void PrintTo(const UsageCase &c, std::ostream *os) { *os << c.name; }

class UsageError : public NvRexec, public ::testing::WithParamInterface<UsageCase> {};

TEST_P(UsageError, PrintsUsageAndExitsThree) {
    ProcessResult r = run(GetParam().args);
    EXPECT_EQ(r.exit_status, 3) << r.err;
    expect_usage_screen(r.out);
    EXPECT_FALSE(ssh_ran());
}

INSTANTIATE_TEST_SUITE_P(
    Cases, UsageError,
    ::testing::Values(UsageCase{"NoArguments", {}}, UsageCase{"HostAlone", {"host"}},
                      UsageCase{"HelpWithAnotherWord", {"-h", "x"}}, UsageCase{"OptionsAndHostOnly", {"-L", "out", "host"}},
                      UsageCase{"OptionWithoutValue", {"-L"}}, UsageCase{"HelpWordTwice", {"-h", "-h"}}),
    [](const auto &info) { return info.param.name; });

TEST_F(NvRexec, HelpLetterAmongOtherArgumentsIsAnIgnoredOption) {
    ProcessResult r = run({"-h", "x"});
    EXPECT_EQ(r.exit_status, 3);
    EXPECT_NE(r.err.find("invalid option -- 'h'"), std::string::npos) << r.err;
}

// ---- what ssh receives, and where its output goes ----

TEST_F(NvRexec, OutputAndErrorFilesReceiveTheStreams) {
    ProcessResult r = run({"-L", "out", "-E", "err", "h", "ls", "-l", "/tmp"});
    EXPECT_EQ(r.exit_status, 0) << r.err;
    EXPECT_EQ(recorded_args(), ssh_argv("h", "\"ls\" \"-l\" \"/tmp\" "));
    EXPECT_EQ(read_file_or_empty(work() / "out"), "remote-out\n");
    EXPECT_EQ(read_file_or_empty(work() / "err"), "remote-err\n");
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "");
}

TEST_F(NvRexec, ErrorFileWithoutOutputFileIsDropped) {
    ProcessResult r = run({"-E", "err", "h", "ls"});
    EXPECT_EQ(r.exit_status, 0) << r.err;
    EXPECT_EQ(recorded_args(), ssh_argv("h", "\"ls\" "));
    EXPECT_FALSE(fs::exists(work() / "err"));
    EXPECT_EQ(r.out, "");                // no output file: the output is not shown
    EXPECT_EQ(r.err, "remote-err\n");    // error output reaches the tool's stderr
}

TEST_F(NvRexec, StdoutMeansTheToolsOwnOutput) {
    ProcessResult r = run({"-L", "STDOUT", "linux", "ark"});
    EXPECT_EQ(r.exit_status, 0) << r.err;
    EXPECT_EQ(r.out, "remote-out\n");
    EXPECT_EQ(r.err, "remote-err\n");
    EXPECT_FALSE(fs::exists(work() / "STDOUT"));
}

TEST_F(NvRexec, OneFileForBothStreamsKeepsBoth) {
    ProcessResult r = run({"-L", "all", "-E", "all", "h", "ls"});
    EXPECT_EQ(r.exit_status, 0) << r.err;
    EXPECT_EQ(read_file_or_empty(work() / "all"), "remote-out\nremote-err\n");
}

TEST_F(NvRexec, OutputFileIsReplacedNotAppended) {
    write_file(work() / "out", "old contents that are longer than the new ones\n");
    ProcessResult r = run({"-L", "out", "h", "ls"});
    EXPECT_EQ(r.exit_status, 0) << r.err;
    EXPECT_EQ(read_file_or_empty(work() / "out"), "remote-out\n");
}

TEST_F(NvRexec, CommandWordsAreNotParsedAsOptions) {
    ProcessResult r = run({"-m", "ignored", "-z", "h", "-L", "x", "--", "-E"});
    EXPECT_EQ(r.exit_status, 0) << r.err;
    EXPECT_NE(r.err.find("invalid option -- 'z'"), std::string::npos) << r.err;
    EXPECT_EQ(recorded_args(), ssh_argv("h", "\"-L\" \"x\" \"--\" \"-E\" "));
    EXPECT_FALSE(fs::exists(work() / "x"));
}

TEST_F(NvRexec, HostThatLooksLikeAnOptionStaysTheHost) {
    ProcessResult r = run({"--", "-oProxyCommand=touch pwned", "ls"});
    EXPECT_EQ(r.exit_status, 0) << r.err;
    EXPECT_EQ(recorded_args(), ssh_argv("-oProxyCommand=touch pwned", "\"ls\" "));
}

// Each word reaches the remote shell as exactly that word: the fake ssh runs
// the command string with a real /bin/sh.
TEST_F(NvRexec, EveryWordArrivesLiterallyAtTheRemoteShell) {
    const std::vector<std::string> words = {"a\"b", "$(touch pwned)", "`touch pwned2`", "x\\", "\\\"", "two words",
                                            "$HOME", "semi;colon", "it's", ""};
    std::vector<std::string> args = {"-L", "out", "h", "printf", "[%s]\\n"};
    args.insert(args.end(), words.begin(), words.end());
    ProcessResult r = run(args, {{"NV_FAKE_MODE", "shell"}});
    EXPECT_EQ(r.exit_status, 0) << r.err;
    std::string expected;
    for (const auto &w : words)
        expected += "[" + w + "]\n";
    EXPECT_EQ(read_file_or_empty(work() / "out"), expected);
    EXPECT_FALSE(fs::exists(work() / "pwned"));
    EXPECT_FALSE(fs::exists(work() / "pwned2"));
}

// ---- exit status ----

class RemoteStatus : public NvRexec, public ::testing::WithParamInterface<std::pair<int, int>> {};

TEST_P(RemoteStatus, ZeroOnlyWhenSshSucceeds) {
    auto [ssh_status, tool_status] = GetParam();
    ProcessResult r = run({"-L", "out", "h", "false"}, {{"NV_FAKE_RC", std::to_string(ssh_status)}});
    EXPECT_EQ(r.exit_status, tool_status) << r.err;
    EXPECT_EQ(read_file_or_empty(work() / "out"), "remote-out\n");
}

INSTANTIATE_TEST_SUITE_P(Statuses, RemoteStatus,
                         ::testing::Values(std::pair{0, 0}, std::pair{1, 2}, std::pair{3, 2}, std::pair{255, 2}));

TEST_F(NvRexec, MissingSshClientFailsWithAMessage) {
    fs::remove(dir_ / "bin" / "ssh");
    ChildOptions o = options();
    o.env["PATH"] = (dir_ / "bin").string();
    ProcessResult r = run_bounded({kTool, "h", "ls"}, o, 30s);
    EXPECT_EQ(r.exit_status, 2);
    EXPECT_NE(r.err.find("Error: cannot start ssh for h: No such file or directory"), std::string::npos) << r.err;
}

TEST_F(NvRexec, UnwritableOutputFileFailsWithoutRunningTheCommand) {
    ProcessResult r = run({"-L", "missing/dir/out", "h", "ls"});
    EXPECT_EQ(r.exit_status, 2);
    EXPECT_NE(r.err.find("Error: cannot open output file missing/dir/out: No such file or directory"),
              std::string::npos)
        << r.err;
    EXPECT_FALSE(ssh_ran());
}

TEST_F(NvRexec, SshKilledBySignalIsAFailure) {
    write_script(dir_ / "bin" / "ssh", "kill -KILL $$\n");
    ProcessResult r = run({"h", "ls"});
    EXPECT_EQ(r.exit_status, 2);
    EXPECT_NE(r.err.find("Error: ssh for h ended by signal 9"), std::string::npos) << r.err;
}

// ---- the 255-character limits ----

struct LimitCase {
    std::string name;
    std::vector<std::string> args;
    bool accepted;
    std::string error;
};
void PrintTo(const LimitCase &c, std::ostream *os) { *os << c.name; }

class ArgumentLimit : public NvRexec, public ::testing::WithParamInterface<LimitCase> {};

TEST_P(ArgumentLimit, LongerThan255IsRefused) {
    const LimitCase &c = GetParam();
    ProcessResult r = run(c.args);
    if (c.accepted) {
        EXPECT_EQ(r.exit_status, 0) << r.err;
        EXPECT_TRUE(ssh_ran());
    } else {
        EXPECT_EQ(r.exit_status, 3);
        EXPECT_NE(r.err.find(c.error), std::string::npos) << r.err;
        expect_usage_screen(r.out);
        EXPECT_FALSE(ssh_ran());
    }
}

// A word of n characters takes n + 3 in the command string.
INSTANTIATE_TEST_SUITE_P(
    Cases, ArgumentLimit,
    ::testing::Values(
        LimitCase{"Host255", {std::string(255, 'h'), "ls"}, true, ""},
        LimitCase{"Host256", {std::string(256, 'h'), "ls"}, false, "Error: host name longer than 255 characters"},
        LimitCase{"OutFile255", {"-L", std::string(255, 'o'), "h", "ls"}, true, ""},
        LimitCase{"OutFile256", {"-L", std::string(256, 'o'), "h", "ls"}, false,
                  "Error: output file name longer than 255 characters"},
        LimitCase{"ErrFile256", {"-L", "o", "-E", std::string(256, 'e'), "h", "ls"}, false,
                  "Error: error file name longer than 255 characters"},
        LimitCase{"Command255", {"h", std::string(252, 'c')}, true, ""},
        LimitCase{"Command256", {"h", std::string(253, 'c')}, false, "Error: command longer than 255 characters"},
        LimitCase{"CommandOfManyWords", {"h", std::string(200, 'c'), std::string(60, 'd')}, false,
                  "Error: command longer than 255 characters"},
        LimitCase{"EscapesCount", {"h", std::string(127, '$')}, false, "Error: command longer than 255 characters"},
        LimitCase{"BarInOutFile", {"-L", "a|b", "h", "ls"}, false, "Error: output file name must not contain \"|\""},
        LimitCase{"BarInHost", {"h|x", "ls"}, false, "Error: host name must not contain \"|\""}),
    [](const auto &info) { return info.param.name; });

// ---- log configuration ----

TEST_F(NvRexec, TracingWritesTimeStampedLinesToTheConfiguredFile) {
    enable_tracing();
    ProcessResult r = run({"-L", "out", "-E", "err", "h", "ls"});
    EXPECT_EQ(r.exit_status, 0) << r.err;
    const std::string trace = read_file_or_empty(trace_file());
    const auto lines = lines_of(trace);
    ASSERT_FALSE(lines.empty());
    for (const auto &line : lines) {
        EXPECT_TRUE(starts_with_time_stamp(line)) << line;
        EXPECT_EQ(line.substr(20, 9), "NV_REXEC[") << line;
    }
    EXPECT_NE(trace.find("]: Host: h, Command: \"ls\" \n"), std::string::npos) << trace;
    EXPECT_NE(trace.find("REMOTE_CMD command on h ended with status 0"), std::string::npos) << trace;
}

TEST_F(NvRexec, TraceLevelZeroWritesNothing) {
    write_file(dir_ / "conf" / "nv_rexec.lgc", "TRACE_LEVEL=0\nLOG_FILE=trace.log\n");
    ProcessResult r = run({"h", "ls"});
    EXPECT_EQ(r.exit_status, 0) << r.err;
    EXPECT_EQ(read_file_or_empty(trace_file()), "");
}

TEST_F(NvRexec, BrokenConfigurationWarnsAndStillRuns) {
    write_file(dir_ / "conf" / "nv_rexec.lgc", "TRACE_LEVEL=lots\nLOG_FILE=trace.log\n");
    ProcessResult r = run({"-L", "out", "h", "ls"});
    EXPECT_EQ(r.exit_status, 0) << r.err;
    EXPECT_NE(r.err.find("Warning: "), std::string::npos);
    EXPECT_NE(r.err.find("bad TRACE_LEVEL \"lots\"; tracing off"), std::string::npos) << r.err;
    EXPECT_FALSE(fs::exists(trace_file()));
    EXPECT_EQ(read_file_or_empty(work() / "out"), "remote-out\n");
}

// ---- interrupts ----

class Interrupt : public NvRexec {
protected:
    std::unique_ptr<Child> start(std::vector<std::string> args, std::map<std::string, std::string> extra = {}) {
        use_waiting_ssh();
        args.insert(args.begin(), kTool);
        ChildOptions o = options(std::move(extra));
        o.err_file = dir_ / "tool.err";
        o.out_file = dir_ / "tool.out";
        o.own_process_group = true;
        auto child = std::make_unique<Child>(args, o);
        EXPECT_TRUE(wait_until([&] { return fs::exists(fake_dir() / "ready"); }, 20s)) << "fake ssh never started";
        return child;
    }
    bool traced(const std::string &text) const {
        return read_file_or_empty(trace_file()).find(text) != std::string::npos;
    }
    void let_command_finish() { write_file(fake_dir() / "go", ""); }
    std::string tool_err() const { return read_file_or_empty(dir_ / "tool.err"); }
};

struct OnceCase {
    std::string name;
    int signo;
    bool to_group; // as a terminal's interrupt key does
    int remote_status;
    int tool_status;
};
void PrintTo(const OnceCase &c, std::ostream *os) { *os << c.name; }

class InterruptOnce : public Interrupt, public ::testing::WithParamInterface<OnceCase> {};

TEST_P(InterruptOnce, CommandRunsOnAndItsStatusCounts) {
    const OnceCase &c = GetParam();
    enable_tracing();
    auto tool = start({"-L", "out", "h", "sleep"}, {{"NV_FAKE_RC", std::to_string(c.remote_status)}});
    if (c.to_group)
        tool->signal_group(c.signo);
    else
        tool->signal(c.signo);
    ASSERT_TRUE(wait_until([&] { return traced("--- SIGNAL_HANDLER got SIGINT gcInterrupt set to y"); }, 10s))
        << read_file_or_empty(trace_file());
    EXPECT_TRUE(traced("+++ SIGNAL_HANDLER " + std::to_string(c.signo)));
    EXPECT_FALSE(fs::exists(fake_dir() / "done"));
    let_command_finish();

    auto r = tool->wait_for(20s);
    ASSERT_TRUE(r.has_value()) << "nv_rexec did not end";
    EXPECT_EQ(r->exit_status, c.tool_status);
    EXPECT_TRUE(fs::exists(fake_dir() / "done"));
    EXPECT_EQ(read_file_or_empty(work() / "out"), "finished\n");
    EXPECT_NE(tool_err().find("Warning: interrupt received; the command on h runs on"), std::string::npos)
        << tool_err();
}

INSTANTIATE_TEST_SUITE_P(Signals, InterruptOnce,
                         ::testing::Values(OnceCase{"Sigint", SIGINT, false, 0, 0},
                                           OnceCase{"SigintFailingCommand", SIGINT, false, 1, 2},
                                           OnceCase{"Sigterm", SIGTERM, false, 0, 0},
                                           OnceCase{"SigintToProcessGroup", SIGINT, true, 0, 0}),
                         [](const auto &info) { return info.param.name; });

TEST_F(Interrupt, FirstInterruptWithoutTracingIsAnnounced) {
    auto tool = start({"h", "sleep"});
    tool->signal(SIGINT);
    ASSERT_TRUE(wait_until([&] { return tool_err().find("Warning: interrupt received") != std::string::npos; }, 10s));
    let_command_finish();
    auto r = tool->wait_for(20s);
    ASSERT_TRUE(r.has_value());
    EXPECT_EQ(r->exit_status, 0);
}

class InterruptTwice : public Interrupt, public ::testing::WithParamInterface<std::pair<int, int>> {};

TEST_P(InterruptTwice, SecondOneEndsWithStatusTwoAndHangsUpSsh) {
    auto [first, second] = GetParam();
    enable_tracing();
    auto tool = start({"-L", "out", "h", "sleep"});
    tool->signal(first);
    ASSERT_TRUE(wait_until([&] { return traced("gcInterrupt set to y"); }, 10s));
    tool->signal(second);

    auto r = tool->wait_for(10s);
    ASSERT_TRUE(r.has_value()) << "nv_rexec did not end on the second interrupt";
    EXPECT_EQ(r->exit_status, 2);
    EXPECT_TRUE(traced("--- SIGNAL_HANDLER got signal twice so exit now with code 2"));
    EXPECT_TRUE(wait_until([&] { return fs::exists(fake_dir() / "hup"); }, 10s)) << "ssh was left running";
    EXPECT_FALSE(fs::exists(fake_dir() / "done"));
}

INSTANTIATE_TEST_SUITE_P(Signals, InterruptTwice,
                         ::testing::Values(std::pair{SIGINT, SIGINT}, std::pair{SIGINT, SIGTERM},
                                           std::pair{SIGTERM, SIGINT}));

// ---- linkage with the runtime library ----

TEST(NvRexecLinkage, ToolExportsWhatLibnvBindsByName) {
    const std::vector<std::string> names = {"strLog", "eLang",      "gcInterrupt", "tmp_sc",   "gszRo",
                                            "gszRw",  "strpAnfang", "strpEnde",    "strpNext", "SIGNAL_HANDLER"};
    ProcessResult undefined = run_bounded({"nm", "-D", "--undefined-only", kLib}, {}, 30s);
    ProcessResult exported = run_bounded({"nm", "-D", "--defined-only", kTool}, {}, 30s);
    ASSERT_EQ(undefined.exit_status, 0) << undefined.err;
    ASSERT_EQ(exported.exit_status, 0) << exported.err;
    for (const auto &name : names) {
        EXPECT_NE(undefined.out.find(" U " + name + "\n"), std::string::npos) << name;
        bool found = false;
        for (const char *kind : {" B ", " D ", " T "})
            found = found || exported.out.find(kind + name + "\n") != std::string::npos;
        EXPECT_TRUE(found) << name;
    }
}

TEST(NvRexecLinkage, ToolLinksLibnvAndThePostgresClient) {
    ProcessResult r = run_bounded({"readelf", "-d", kTool}, {}, 30s);
    ASSERT_EQ(r.exit_status, 0) << r.err;
    EXPECT_NE(r.out.find("[libnv.so]"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("[libpq.so.5]"), std::string::npos) << r.out;
}

// ---- a real OpenSSH server ----

TEST(NvRexecRealSsh, CommandRunsOnTheServerAndItsOutputLandsInTheFile) {
    SshServer server; // throws, failing the test, when sshd cannot start
    TempDir dir;
    fs::create_directories(dir / "conf");
    ChildOptions o;
    const char *path = std::getenv("PATH");
    o.env["PATH"] = server.client_bin_dir().string() + ":" + (path ? path : "/usr/bin:/bin");
    o.env["NV_CONFIG_DIR"] = (dir / "conf").string();
    o.cwd = dir.path();

    // SSH_CONNECTION exists only in a session that sshd started.
    ProcessResult ok = run_bounded(
        {kTool, "-L", "out", "-E", "err", "127.0.0.1", "sh", "-c", "echo \"$SSH_CONNECTION\"; echo 'two  words'"}, o,
        60s);
    EXPECT_EQ(ok.exit_status, 0) << ok.err << "\n" << server.log();
    const std::string out = read_file_or_empty(dir / "out");
    std::istringstream connection(out);
    std::string client, client_port, server_addr, server_port, rest;
    connection >> client >> client_port >> server_addr >> server_port;
    EXPECT_EQ(client, "127.0.0.1") << out;
    EXPECT_EQ(server_addr, "127.0.0.1") << out;
    EXPECT_EQ(server_port, std::to_string(server.port())) << out;
    EXPECT_TRUE(out.ends_with(" " + server_port + "\ntwo  words\n")) << out;
    EXPECT_EQ(read_file_or_empty(dir / "err"), "");
    EXPECT_NE(server.log().find("Accepted publickey"), std::string::npos) << server.log();

    ProcessResult failed =
        run_bounded({kTool, "-L", "out2", "-E", "err2", "127.0.0.1", "sh", "-c", "echo broken >&2; exit 3"}, o, 60s);
    EXPECT_EQ(failed.exit_status, 2) << failed.err;
    EXPECT_EQ(read_file_or_empty(dir / "err2"), "broken\n");
}

} // namespace
