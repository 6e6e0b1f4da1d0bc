// Bounded copies of narrow and wide strings.
#include "strlcpy.h"

#include <cstring>
#include <cwchar>

extern "C" size_t strlcpy(char *dst, const char *src, size_t siz) noexcept {
    const size_t length = std::strlen(src);
    if (siz != 0) {
        const size_t n = length < siz - 1 ? length : siz - 1;
        std::memcpy(dst, src, n);
        dst[n] = '\0';
    }
    return length;
}

extern "C" size_t wcslcpy(wchar_t *dst, const wchar_t *src, size_t size) noexcept {
    // No room even for the terminator: nothing is written.
    if (size == 0)
        return 0;
    size_t n = std::wcslen(src);
    if (n > size - 1)
        n = size - 1;
    std::wmemcpy(dst, src, n);
    dst[n] = L'\0';
    return n;
}
