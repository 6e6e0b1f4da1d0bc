/*
 * utils.h - services of the restore side: the selective-restore set-up, the
 * working-directory slot, the full-restore script and the removal of the
 * restore directory, plus three debugging helpers.
 */
#ifndef UTILS_H
#define UTILS_H

#include "ark_zarafa.h"
#include "list.h"

#ifdef __cplusplus
extern "C" {
#endif

/* The directory that utils_push_dir last entered (one slot, not a stack). */
extern char g_cpPushPopDirBuf[256];

/* Look for a "user@list-file" entry among the requested names. Without one
 * the restore is plain (1, iIsSelectiveRestore unchanged); with one whose
 * file exists (relative names are taken in cpTempDir), store its path in
 * cpSelRstListFName and set iIsSelectiveRestore (1). 0 after an "Error:". */
int InitSelectiveRestore(LIST_INFO *spUsers, ARKZarafa *psZarafaStruct);

/* Enter ccpDir and remember it in g_cpPushPopDirBuf (unchanged on failure,
 * after an "Error:"). */
void utils_push_dir(const char *ccpDir);

/* Go back to the directory held in g_cpPushPopDirBuf. */
void utils_pop_dir(void);

/* 1 when ccpPath names an existing file-system object, else 0. */
int utils_path_exists(const char *ccpPath);

/* Write the full-restore script "NAME.script.restore-full.sh" (mode 0775)
 * for ccpUserName into the existing directory ccpPath; its file name goes to
 * cpScriptName (256 characters) when given. 1, or 0 after an "Error:". */
int utils_generate_full_rst_script(const char *ccpPath, const char *ccpUserName, char *cpScriptName);

/* Without a user: remove the directory of the first received path of
 * spFileList (taking the path off the list). 1, or 0 after a "Warning:" when
 * the list is missing or empty or the directory cannot be reached. With a
 * user and a non-empty list: nothing, 1. */
int cleanup_after_restore(LIST_INFO *spFileList, const char *ccpUser);

/* Debugging helpers. */
int is_in_list(const char *item, char **list, int list_len);
void print_list(char **cppList);
void dump_string(const char *ccpString);

#ifdef __cplusplus
}
#endif

#endif /* UTILS_H */
