// Filling a list from a NULL-terminated argument list of strings.
#include "cm_common.h"

#include <cstdarg>
#include <cstring>

extern "C" void InsArgvLL(t_LL LL_List, ...) {
    va_list args;
    va_start(args, LL_List);
    while (const char *text = va_arg(args, const char *))
        InsLastLLf(LL_List, std::strlen(text) + 1, text);
    va_end(args);
}
