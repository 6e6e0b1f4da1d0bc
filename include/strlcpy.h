/*
 * strlcpy.h - bounded copies of narrow and wide strings.
 */
#ifndef STRLCPY_H
#define STRLCPY_H

#include <stddef.h>
#include <wchar.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Copies src into dst of capacity siz (at most siz - 1 characters, always
 * terminated when siz > 0; nothing written when siz is 0). Returns the length
 * of src: a result of siz or more means the copy was cut. */
size_t strlcpy(char *dst, const char *src, size_t siz);

/* Copies at most size - 1 wide characters of src and a terminator into dst
 * (size must be at least 1). Returns the number of characters copied. */
size_t wcslcpy(wchar_t *dst, const wchar_t *src, size_t size);

#ifdef __cplusplus
}
#endif

#endif /* STRLCPY_H */
