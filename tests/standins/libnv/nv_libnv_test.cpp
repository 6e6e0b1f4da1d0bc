// The runtime library loaded with dlopen into a process that defines the
// globals and the signal handler it binds by name, as every program of the
// product does: the log configuration, trace lines, str_chain's bounds and
// REMOTE_CMD's refusals of bad targets.
#include <gtest/gtest.h>

#include <dlfcn.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cctype>
#include <cstring>
#include <optional>
#include <stdexcept>
#include <ctime>
#include <string>

#include "libnv.h"
#include "support/fixtures.h"
#include "support/ssh_child.h"

using namespace arktest;

extern "C" {
str_log strLog{};
LANGUAGES eLang = LANG_EN;
char gcInterrupt = 'n';
char tmp_sc[NV_TMP_SC_LEN]{};
char gszRo[NV_GSZ_LEN]{};
char gszRw[NV_GSZ_LEN]{};
sFormat *strpAnfang = nullptr;
sFormat *strpEnde = nullptr;
sFormat *strpNext = nullptr;
void SIGNAL_HANDLER(int) {}
}

namespace {

class Libnv {
public:
    static Libnv &get() {
        static Libnv lib;
        return lib;
    }
    template <class F> F fn(const char *name) {
        void *sym = dlsym(handle_, name);
        if (!sym)
            throw std::runtime_error(std::string("missing ") + name);
        return reinterpret_cast<F>(sym);
    }

private:
    Libnv() {
        handle_ = dlopen(ARK_LIB_DIR "/libnv.so", RTLD_NOW | RTLD_LOCAL);
        if (!handle_)
            throw std::runtime_error(dlerror());
    }
    void *handle_;
};

#define NV_FN(name) (Libnv::get().fn<decltype(&::name)>(#name))

// v_set_log_main installs the program's handler for SIGINT and SIGTERM; the
// test process gets its defaults back so that it can still be stopped.
void set_log_main(const char *config, const char *component, str_log *log) {
    NV_FN(v_set_log_main)(config, component, log);
    std::signal(SIGINT, SIG_DFL);
    std::signal(SIGTERM, SIG_DFL);
}

// Standard error of the calls made while it lives, read back afterwards.
class CaptureStderr {
public:
    explicit CaptureStderr(const fs::path &file) : file_(file) {
        fflush(stderr);
        saved_ = dup(2);
        int fd = open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        dup2(fd, 2);
        close(fd);
    }
    ~CaptureStderr() { restore(); }
    std::string text() {
        restore();
        return read_file_or_empty(file_);
    }

private:
    void restore() {
        if (saved_ < 0)
            return;
        fflush(stderr);
        dup2(saved_, 2);
        close(saved_);
        saved_ = -1;
    }
    fs::path file_;
    int saved_ = -1;
};

// ---- v_set_log_main ----

struct ConfigCase {
    std::string name;
    std::optional<std::string> config; // nullopt: no file
    int level;                         // expected iFlg
    std::string log_file;              // expected szFile, relative to the configuration's directory
    std::string warning;               // expected on stderr ("" : stderr stays empty)
    LANGUAGES lang = LANG_EN;
};
void PrintTo(const ConfigCase &c, std::ostream *os) { *os << c.name; }

class LogConfig : public ::testing::TestWithParam<ConfigCase> {};

TEST_P(LogConfig, FillsTheDescriptor) {
    const ConfigCase &c = GetParam();
    TempDir dir;
    if (c.config)
        write_file(dir / "nv_rexec.lgc", *c.config);
    ScopedEnv env("NV_CONFIG_DIR", dir.path().string());
    gcInterrupt = 'y';
    eLang = LANG_HR;
    strpAnfang = reinterpret_cast<sFormat *>(&strLog);
    std::memset(gszRw, 'x', sizeof gszRw - 1);

    str_log log;
    std::memset(&log, 0x5a, sizeof log);
    CaptureStderr err(dir / "stderr");
    set_log_main("nv_rexec.lgc", "NV_REXEC", &log);
    const std::string warnings = err.text();

    EXPECT_EQ(log.iFlg, c.level);
    EXPECT_EQ(log.iVerify, 0);
    EXPECT_STREQ(log.szIns, "NV_REXEC");
    EXPECT_EQ(std::string(log.szFile), c.log_file.empty() ? "" : (dir / c.log_file).string());
    if (c.warning.empty())
        EXPECT_EQ(warnings, "");
    else
        EXPECT_NE(warnings.find(c.warning), std::string::npos) << warnings;
    EXPECT_EQ(eLang, c.lang);
    EXPECT_EQ(gcInterrupt, 'n');
    EXPECT_EQ(strpAnfang, nullptr);
    EXPECT_EQ(gszRw[0], '\0');
}

INSTANTIATE_TEST_SUITE_P(
    Cases, LogConfig,
    ::testing::Values(
        ConfigCase{"NoFile", std::nullopt, 0, "", ""},
        ConfigCase{"LevelAndFile", "TRACE_LEVEL=2\nLOG_FILE=t.log\n", 2, "t.log", ""},
        ConfigCase{"CommentsBlanksAndSpaces", "# trace\n\n  trace_level = 1 \r\n LOG_FILE =  sub/../t.log\n", 1,
                   "t.log", ""},
        ConfigCase{"LevelZero", "TRACE_LEVEL=0\nLOG_FILE=t.log\n", 0, "", ""},
        ConfigCase{"BadLevel", "TRACE_LEVEL=-1\nLOG_FILE=t.log\n", 0, "", "bad TRACE_LEVEL \"-1\"; tracing off"},
        ConfigCase{"HugeLevel", "TRACE_LEVEL=99999999999\nLOG_FILE=t.log\n", 0, "", "bad TRACE_LEVEL"},
        ConfigCase{"NoLogFile", "TRACE_LEVEL=1\n", 0, "", "TRACE_LEVEL without LOG_FILE; tracing off"},
        ConfigCase{"LogFileInMissingDirectory", "TRACE_LEVEL=1\nLOG_FILE=no/such/dir/t.log\n", 0, "",
                   "Warning: cannot open log file"},
        ConfigCase{"LogFileNameTooLong", "TRACE_LEVEL=1\nLOG_FILE=/" + std::string(400, 'l') + "\n", 0, "",
                   "Warning: log file name longer than 383 characters; tracing off"},
        ConfigCase{"UnknownKeyIgnored", "COLOUR=blue\nTRACE_LEVEL=1\nLOG_FILE=t.log\n", 1, "t.log",
                   "unknown key \"COLOUR\" ignored"},
        ConfigCase{"LineWithoutEquals", "TRACE_LEVEL 1\n", 0, "", "no \"=\" in \"TRACE_LEVEL 1\""},
        ConfigCase{"Language", "LANGUAGE=de\n", 0, "", "", LANG_DE},
        ConfigCase{"UnknownLanguage", "LANGUAGE=xx\n", 0, "", "unknown LANGUAGE \"xx\"; English used", LANG_EN}),
    [](const auto &info) { return info.param.name; });

TEST(LogConfigFile, DirectoryInsteadOfFileWarns) {
    TempDir dir;
    fs::create_directories(dir / "nv_rexec.lgc");
    ScopedEnv env("NV_CONFIG_DIR", dir.path().string());
    str_log log{};
    CaptureStderr err(dir / "stderr");
    set_log_main("nv_rexec.lgc", "NV_REXEC", &log);
    EXPECT_NE(err.text().find("Warning: cannot read log configuration"), std::string::npos);
    EXPECT_EQ(log.iFlg, 0);
}

TEST(LogConfigFile, LongComponentNameIsCut) {
    TempDir dir;
    ScopedEnv env("NV_CONFIG_DIR", dir.path().string());
    str_log log{};
    const std::string name(100, 'c');
    set_log_main("nv_rexec.lgc", name.c_str(), &log);
    EXPECT_EQ(std::string(log.szIns), name.substr(0, NV_LOG_INS_LEN - 1));
}

// ---- WRITE_TRACE ----

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

str_log tracing_to(const fs::path &file, const char *component = "NV_TEST") {
    str_log log{};
    file.string().copy(log.szFile, sizeof log.szFile - 1);
    std::string(component).copy(log.szIns, sizeof log.szIns - 1);
    log.iFlg = 1;
    return log;
}

TEST(WriteTrace, OneTimeStampedLinePerCall) {
    TempDir dir;
    str_log log = tracing_to(dir / "t.log");
    NV_FN(WRITE_TRACE)(&log, "value %d of %s", 42, "x");
    NV_FN(WRITE_TRACE)(&log, "ends with newline\n");
    const std::string text = read_file(dir / "t.log");
    const std::string who = "NV_TEST[" + std::to_string(getpid()) + "]: ";
    auto nl = text.find('\n');
    ASSERT_NE(nl, std::string::npos) << text;
    const std::string first = text.substr(0, nl + 1), second = text.substr(nl + 1);
    EXPECT_TRUE(starts_with_time_stamp(first)) << text;
    EXPECT_TRUE(starts_with_time_stamp(second)) << text;
    EXPECT_EQ(first.substr(20), who + "value 42 of x\n");
    EXPECT_EQ(second.substr(20), who + "ends with newline\n");
}

TEST(WriteTrace, TimeStampIsLocalTime) {
    TempDir dir;
    ScopedEnv tz("TZ", "XYZ-5:30");
    tzset();
    str_log log{};
    ScopedEnv cfg("NV_CONFIG_DIR", dir.path().string());
    set_log_main("nv_rexec.lgc", "NV_TEST", &log); // takes the offset now in force
    log = tracing_to(dir / "t.log");
    // The trace is written between two readings of the clock: its stamp is
    // one of the local times in that interval.
    const std::time_t before = std::time(nullptr);
    NV_FN(WRITE_TRACE)(&log, "tick");
    const std::time_t after = std::time(nullptr);
    const std::string text = read_file(dir / "t.log");
    bool matched = false;
    for (std::time_t t = before; t <= after && !matched; ++t) {
        std::tm local{};
        localtime_r(&t, &local);
        char stamp[32];
        std::strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S", &local);
        matched = text.starts_with(stamp);
    }
    EXPECT_TRUE(matched) << text;
    unsetenv("TZ");
    tzset();
}

TEST(WriteTrace, LongLinesAreCut) {
    TempDir dir;
    str_log log = tracing_to(dir / "t.log");
    const std::string big(5000, 'b');
    NV_FN(WRITE_TRACE)(&log, "%s", big.c_str());
    const std::string text = read_file(dir / "t.log");
    EXPECT_EQ(text.size(), 1023u);
    EXPECT_EQ(text.back(), '\n');
    EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 1);
}

TEST(WriteTrace, NothingWhenTracingIsOff) {
    TempDir dir;
    str_log log = tracing_to(dir / "t.log");
    log.iFlg = 0;
    NV_FN(WRITE_TRACE)(&log, "hidden");
    EXPECT_FALSE(fs::exists(dir / "t.log"));
}

TEST(WriteTrace, NullDescriptorMeansTheProgramsLog) {
    TempDir dir;
    strLog = tracing_to(dir / "t.log", "PROG");
    NV_FN(WRITE_TRACE)(nullptr, "via strLog");
    strLog = str_log{};
    EXPECT_NE(read_file(dir / "t.log").find("PROG["), std::string::npos);
}

TEST(WriteTrace, UnterminatedFieldsAreNotReadPastTheirEnd) {
    TempDir dir;
    str_log log = tracing_to(dir / "t.log");
    std::memset(log.szIns, 'i', sizeof log.szIns); // no terminator
    NV_FN(WRITE_TRACE)(&log, "bounded");
    const std::string text = read_file(dir / "t.log");
    EXPECT_NE(text.find(std::string(NV_LOG_INS_LEN - 1, 'i') + "["), std::string::npos) << text;
}

// ---- str_chain ----

TEST(StrChain, JoinsUntilTheEmptyString) {
    char *r = NV_FN(str_chain)(tmp_sc, 1, "host", "|", "out", "", "never");
    EXPECT_EQ(r, tmp_sc);
    EXPECT_STREQ(tmp_sc, "host|out");
    NV_FN(str_chain)(tmp_sc, 0, "|err", "");
    EXPECT_STREQ(tmp_sc, "host|out|err");
    NV_FN(str_chain)(tmp_sc, 1, "fresh", "");
    EXPECT_STREQ(tmp_sc, "fresh");
}

TEST(StrChain, NullBufferMeansTmpSc) {
    std::memset(tmp_sc, 0, sizeof tmp_sc);
    char *r = NV_FN(str_chain)(nullptr, 1, "a", "b", "");
    EXPECT_EQ(r, tmp_sc);
    EXPECT_STREQ(tmp_sc, "ab");
}

TEST(StrChain, StopsAtTheBufferSize) {
    struct {
        char buf[NV_TMP_SC_LEN];
        char guard[64];
    } area;
    std::memset(area.guard, 'G', sizeof area.guard);
    const std::string piece(20000, 'p');
    NV_FN(str_chain)(area.buf, 1, piece.c_str(), piece.c_str(), "");
    EXPECT_EQ(std::strlen(area.buf), static_cast<size_t>(NV_TMP_SC_LEN - 1));
    EXPECT_EQ(std::string(area.guard, sizeof area.guard), std::string(64, 'G'));
    NV_FN(str_chain)(area.buf, 0, "more", "");
    EXPECT_EQ(std::strlen(area.buf), static_cast<size_t>(NV_TMP_SC_LEN - 1));
}

// ---- REMOTE_CMD refusals ----

struct TargetCase {
    std::string name;
    std::string target;
    int wait;
    std::string message;
};
void PrintTo(const TargetCase &c, std::ostream *os) { *os << c.name; }

class RemoteCmdRefuses : public ::testing::TestWithParam<TargetCase> {};

TEST_P(RemoteCmdRefuses, WithoutStartingSsh) {
    const TargetCase &c = GetParam();
    TempDir dir;
    write_script(dir / "ssh", "touch \"$0.ran\"\n");
    ScopedPathPrefix path(dir.path());
    ScopedCwd cwd;
    fs::current_path(dir.path());
    char msg[NV_MSG_LEN] = {};
    str_log log{};
    CaptureStderr err(dir / "stderr");
    int rc = NV_FN(REMOTE_CMD)(c.target.c_str(), "\"ls\" ", c.wait, msg, log);
    const std::string printed = err.text();
    EXPECT_EQ(rc, 0);
    EXPECT_NE(std::string(msg).find(c.message), std::string::npos) << msg;
    EXPECT_NE(printed.find(c.message), std::string::npos) << printed;
    EXPECT_FALSE(fs::exists(dir / "ssh.ran"));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, RemoteCmdRefuses,
    ::testing::Values(TargetCase{"EmptyTarget", "", 1, "Error: bad remote target \"\""},
                      TargetCase{"NoHost", "|out", 1, "Error: bad remote target \"|out\""},
                      TargetCase{"FourFields", "h|a|b|c", 1, "Error: bad remote target \"h|a|b|c\""},
                      TargetCase{"OtherMode", "h", 0, "Error: REMOTE_CMD: unsupported mode 0"},
                      TargetCase{"ErrorFileUnwritable", "h|out|no/dir/err", 1, "Error: cannot open error file no/dir/err"}),
    [](const auto &info) { return info.param.name; });

TEST(RemoteCmd, LongMessageFitsTheBuffer) {
    TempDir dir;
    struct {
        char msg[NV_MSG_LEN];
        char guard[16];
    } area;
    std::memset(area.guard, 'G', sizeof area.guard);
    const std::string target = "h|" + (dir / std::string(200, 'd') / std::string(200, 'e') / std::string(200, 'f')).string();
    CaptureStderr err(dir / "stderr");
    EXPECT_EQ(NV_FN(REMOTE_CMD)(target.c_str(), "\"ls\" ", 1, area.msg, str_log{}), 0);
    err.text();
    EXPECT_LT(std::strlen(area.msg), static_cast<size_t>(NV_MSG_LEN));
    EXPECT_EQ(std::string(area.guard, sizeof area.guard), std::string(16, 'G'));
}

} // namespace
