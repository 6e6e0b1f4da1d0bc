// WRITE_TRACE: time-stamped trace lines appended to a program's log file.
//
// The program's signal handler traces too, so everything here is safe in a
// handler: formatting into a stack buffer, the clock read with clock_gettime,
// local time from an offset taken beforehand, and one open/write/close.
#include "libnv.h"
#include "nv_internal.h"
#include "system/fd.h"

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <ctime>

namespace nv::detail {
namespace {

constexpr std::size_t kLineMax = 1024;

std::atomic<long> local_offset_seconds{0};

long current_local_offset() {
    std::time_t now = std::time(nullptr);
    std::tm local{};
    if (!localtime_r(&now, &local))
        return 0;
    return local.tm_gmtoff;
}

// Takes the offset once when the library is loaded, so that a program that
// traces before v_set_log_main still gets local time.
const bool offset_taken = [] {
    local_offset_seconds = current_local_offset();
    return true;
}();

struct CivilTime {
    long year;
    unsigned month, day, hour, minute, second;
};

// Calendar date from days since 1970-01-01 (proleptic Gregorian), without the
// C library's time-zone machinery.
CivilTime civil_from_seconds(long long seconds) {
    long long days = seconds / 86400;
    long long rest = seconds % 86400;
    if (rest < 0) {
        rest += 86400;
        --days;
    }
    days += 719468;
    const long long era = (days >= 0 ? days : days - 146096) / 146097;
    const unsigned doe = static_cast<unsigned>(days - era * 146097);
    const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const unsigned mp = (5 * doy + 2) / 153;
    CivilTime t{};
    t.day = doy - (153 * mp + 2) / 5 + 1;
    t.month = mp < 10 ? mp + 3 : mp - 9;
    t.year = static_cast<long>(yoe + era * 400 + (t.month <= 2 ? 1 : 0));
    t.hour = static_cast<unsigned>(rest / 3600);
    t.minute = static_cast<unsigned>(rest % 3600 / 60);
    t.second = static_cast<unsigned>(rest % 60);
    return t;
}

} // namespace

void refresh_local_offset() { local_offset_seconds = current_local_offset(); }

} // namespace nv::detail

extern "C" void WRITE_TRACE(const str_log *spLog, const char *ccpFormat, ...) {
    using namespace nv::detail;
    const int saved_errno = errno; // a handler must not disturb the code it interrupted
    if (!spLog)
        spLog = &strLog;
    if (spLog->iFlg <= 0 || spLog->szFile[0] == '\0' || !ccpFormat) {
        errno = saved_errno;
        return;
    }

    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    const CivilTime t = civil_from_seconds(static_cast<long long>(now.tv_sec) + local_offset_seconds.load());

    char line[kLineMax];
    int head = std::snprintf(line, sizeof line, "%04ld-%02u-%02u %02u:%02u:%02u %.*s[%ld]: ", t.year, t.month,
                             t.day, t.hour, t.minute, t.second, NV_LOG_INS_LEN - 1, spLog->szIns,
                             static_cast<long>(getpid()));
    std::size_t len = head > 0 ? static_cast<std::size_t>(head) : 0;
    if (len >= sizeof line)
        len = sizeof line - 1;

    va_list args;
    va_start(args, ccpFormat);
    int body = std::vsnprintf(line + len, sizeof line - len, ccpFormat, args);
    va_end(args);
    if (body > 0)
        len += static_cast<std::size_t>(body);
    if (len > sizeof line - 2) // cut, keeping room for the newline
        len = sizeof line - 2;
    if (len == 0 || line[len - 1] != '\n')
        line[len++] = '\n';

    // szFile is a fixed field; a descriptor that lost its terminator is not
    // read past its end.
    char path[NV_LOG_FILE_LEN];
    std::memcpy(path, spLog->szFile, sizeof path);
    path[sizeof path - 1] = '\0';

    int fd = open(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (fd >= 0) {
        // A trace line that can not be written is lost; the program goes on.
        (void)ark::sys::write_all(fd, std::string_view(line, len));
        close(fd);
    }
    errno = saved_errno;
}
