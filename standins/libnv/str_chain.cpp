// str_chain: assembles a string from pieces in a caller's buffer (the
// program's tmp_sc), bounded by the size every such buffer has.
#include "libnv.h"

#include <cstdarg>
#include <cstring>

extern "C" char *str_chain(char *cpBuf, int iReset, ...) {
    if (!cpBuf)
        cpBuf = tmp_sc;
    constexpr std::size_t cap = NV_TMP_SC_LEN - 1;
    std::size_t len = iReset ? 0 : strnlen(cpBuf, cap);

    va_list args;
    va_start(args, iReset);
    for (;;) {
        const char *piece = va_arg(args, const char *);
        if (!piece || *piece == '\0')
            break;
        std::size_t n = std::strlen(piece);
        if (n > cap - len)
            n = cap - len;
        std::memcpy(cpBuf + len, piece, n);
        len += n;
    }
    va_end(args);
    cpBuf[len] = '\0';
    return cpBuf;
}
