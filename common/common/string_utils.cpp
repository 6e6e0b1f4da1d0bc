// Small string utilities of the common library: number rendering, case
// conversion, collapsing of repeated characters and backslash escaping.
#include "cm_common.h"

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <memory>

namespace {
// Each rendering function owns its buffer, so a result of one survives a
// call of the other.
char g_longtoasc_buffer[256];
char g_intoas_buffer[256];
} // namespace

extern "C" char *longtoasc(long n) {
    std::snprintf(g_longtoasc_buffer, sizeof g_longtoasc_buffer, "%ld", n);
    return g_longtoasc_buffer;
}

extern "C" char *intoas(long n) {
    std::snprintf(g_intoas_buffer, sizeof g_intoas_buffer, "%ld", n);
    return g_intoas_buffer;
}

extern "C" char *lowercase(char *arg) {
    for (char *p = arg; *p; ++p)
        *p = static_cast<char>(std::tolower(static_cast<unsigned char>(*p)));
    return arg;
}

extern "C" char *uppercase(char *arg) {
    for (char *p = arg; *p; ++p)
        *p = static_cast<char>(std::toupper(static_cast<unsigned char>(*p)));
    return arg;
}

extern "C" char *squeeze(char *szString, char cChar) {
    size_t read = 0, write = 0;
    while (szString[read] != '\0') {
        szString[write] = szString[read];
        if (szString[read] == cChar)
            while (szString[read + 1] == cChar)
                ++read;
        ++read;
        ++write;
    }
    szString[write] = '\0';
    return szString;
}

extern "C" char *szChar2EscapeChar(char *szString, char cChar, int iStringLen) {
    if (iStringLen < 1)
        return szString;
    const size_t capacity = static_cast<size_t>(iStringLen);
    std::unique_ptr<char, decltype(&std::free)> copy(static_cast<char *>(std::malloc(capacity)), &std::free);
    if (!copy) {
        trace("szChar2EscapeChar: malloc failed");
        return nullptr;
    }
    strlcpy(copy.get(), szString, capacity);

    const char *in = copy.get();
    size_t i = 0, j = 0;
    while (in[i] != '\0' && j < capacity - 1) {
        if (in[i] == cChar)
            szString[j++] = '\\';
        // When the backslash took the last place, the character is dropped.
        if (j < capacity - 1)
            szString[j] = in[i];
        ++i;
        ++j;
    }
    szString[j < capacity - 1 ? j : capacity - 1] = '\0';
    return szString;
}
