/*
 * cm_common.h - string utilities and the profile (INI-style) file reader of
 * the common support library.
 *
 * The library calls the backup host's printf-style trace() function (resolved
 * against the host process when the plug-in is loaded) for the few events it
 * reports; it writes no other messages.
 */
#ifndef CM_COMMON_H
#define CM_COMMON_H

#include <stdint.h>
#include <stddef.h>

#include "LL.h"
#include "strlcpy.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Supplied by the host process, not by the library. */
void trace(const char *cpFormat, ...);

/* ---- String utilities ---------------------------------------------------- */

/* n in decimal, in a static buffer of the function (overwritten by the next
 * call of the same function; the two functions have separate buffers). */
char *longtoasc(long n);
char *intoas(long n);

/* Convert arg in place with tolower/toupper; return arg. */
char *lowercase(char *arg);
char *uppercase(char *arg);

/* Collapse every run of cChar in szString to one cChar, in place. */
char *squeeze(char *szString, char cChar);

/* Put a backslash before every cChar of szString, in place, within the
 * capacity iStringLen (terminator included, at least 1); the text is cut when
 * it does not fit. NULL (szString unchanged) when working memory cannot be
 * had. */
char *szChar2EscapeChar(char *szString, char cChar, int iStringLen);

/* Append a copy of each string argument, terminator included, to the end of
 * LL_List, up to the terminating NULL. */
void InsArgvLL(t_LL LL_List, ...);

/* ---- Profile file reader ------------------------------------------------- */

/* Look up the value of cpKey in section cpSection ("[name]", compared without
 * case; NULL or empty searches the whole file) of the profile cpFilename.
 * A value reference %(name) is replaced by the value of name, from the same
 * section or else from "[DEFAULT]"; references nested deeper than 8 fail the
 * lookup. Returns 1 when a non-empty value was stored in cpValue (capacity
 * iLengthValue, value cut to fit), else 0 with cpValue untouched (a found but
 * empty value stores ""). cpMsg (capacity iLengthMsg, at least 1) receives
 * the reason, and is empty after success; it is left unwritten when working
 * memory cannot be had. A section over 63 or a key over 62 characters fails
 * the lookup. */
int i_GetPrivateProfileString(const char *cpFilename, const char *cpSection, const char *cpKey,
                              char *cpValue, int iLengthValue, char *cpMsg, int iLengthMsg);

/* Append a copy of the value of every line matching cpKey, in file order, to
 * tllListOfValues (an initialised list the caller owns; it is not emptied).
 * cpKey "name#" matches numbered keys name1, name2, ... (lines with an
 * invalid number are reported through trace() and skipped); "name##" also
 * prefixes each value with the text after the last underscore of the key and
 * a colon. Returns 1 when at least one value was added, else 0 with the
 * reason in cpMsg; values added before a failing reference stay in the
 * list. */
int i_GetPrivateProfileList(const char *cpFilename, const char *cpSection, const char *cpKey,
                            t_LL tllListOfValues, char *cpMsg, int iLengthMsg);

/* The name inside the first "%(" ... ")" of cpString, newly allocated (the
 * caller frees it); *uipPreEnd + 1 is the length of the text before the
 * reference and *uipPostBegin the index just after it. NULL when memory is
 * exhausted. */
char *c_PARSE_FOR_PARENTHESES(const char *cpString, uint32_t *uipPreEnd, uint32_t *uipPostBegin);

/* Cut a final newline from cpLine; 0 when the line is to be skipped (empty,
 * or a '#' in its first column), else 1. */
int i_REMOVE_COMMENT(char *cpLine);

#ifdef __cplusplus
}
#endif

#endif /* CM_COMMON_H */
