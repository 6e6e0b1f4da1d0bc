/*
 * strlcpy.h - bounded copies of narrow and wide strings.
 *
 * The C library may declare functions of the same names (glibc 2.38 and
 * later does, in <string.h> and <wchar.h>); these declarations match its
 * own, so a host may include both in any order. The plug-in binds its own
 * calls to its own definitions. A host that wants the plug-in's wcslcpy,
 * which differs from glibc's in what it returns, looks it up in the
 * loaded plug-in (dlsym) rather than linking the C library's.
 */
#ifndef STRLCPY_H
#define STRLCPY_H

#include <stddef.h>
#include <wchar.h>

/* glibc declares its functions non-throwing in C++; a declaration of the
 * same function must say so too. */
#if defined(__cplusplus) && __cplusplus >= 201103L
#define ARK_STRLCPY_NOTHROW noexcept(true)
#elif defined(__cplusplus)
#define ARK_STRLCPY_NOTHROW throw()
#else
#define ARK_STRLCPY_NOTHROW
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Copies src into dst of capacity siz (at most siz - 1 characters, always
 * terminated when siz > 0; nothing written when siz is 0). Returns the length
 * of src: a result of siz or more means the copy was cut. */
size_t strlcpy(char *dst, const char *src, size_t siz) ARK_STRLCPY_NOTHROW;

/* Copies at most size - 1 wide characters of src and a terminator into dst
 * (nothing written when size is 0). Returns the number of characters copied,
 * not the length of src. */
size_t wcslcpy(wchar_t *dst, const wchar_t *src, size_t size) ARK_STRLCPY_NOTHROW;

#ifdef __cplusplus
}
#endif

#endif /* STRLCPY_H */
