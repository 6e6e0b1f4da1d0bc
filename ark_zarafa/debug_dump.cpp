// Debugging helpers: membership in a string array, and plain and
// hexadecimal dumps on the standard output.
#include <cstdio>
#include <cstring>

#include "utils.h"

extern "C" int is_in_list(const char *item, char **list, int list_len) {
    if (!item || !list)
        return 0;
    for (int i = 0; i < list_len; ++i)
        if (list[i] && list[i][0] && std::strcmp(list[i], item) == 0)
            return 1;
    return 0;
}

extern "C" void print_list(char **cppList) {
    for (char **entry = cppList; entry && *entry; ++entry)
        std::fputs(*entry, stdout);
    std::fflush(stdout);
}

extern "C" void dump_string(const char *ccpString) {
    if (!ccpString)
        return;
    std::printf("Dump string: %s\n", ccpString);
    size_t count = 0;
    for (const char *p = ccpString; *p; ++p) {
        std::printf("%02X ", static_cast<unsigned char>(*p));
        ++count;
        if (count % 16 == 0)
            std::fputs("\n", stdout);
        else if (count % 8 == 0)
            std::fputs("  ", stdout);
    }
    std::fputs("\n", stdout);
    std::fflush(stdout);
}
