// What a backup host provides to the plug-in's code: the process-wide trace()
// of the common library and a message sink. Both format every message in
// full, so that a message built from bad arguments is caught in the run that
// caused it.
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "db_interface.h"
#include "fuzz_support.h"

extern "C" void trace(const char *cpFormat, ...) {
    char text[1024];
    va_list args;
    va_start(args, cpFormat);
    std::vsnprintf(text, sizeof text, cpFormat, args);
    va_end(args);
}

namespace {

// The plug-in promises messages of at most 511 characters without trailing
// line ends.
void sink(char *message) {
    const size_t length = std::strlen(message);
    FUZZ_CHECK(length < 512);
    FUZZ_CHECK(length == 0 || (message[length - 1] != '\n' && message[length - 1] != '\r'));
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    DB_SetLog(sink);
    return 0;
}
