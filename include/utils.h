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
 * file exists (relative names are taken in cpTempDir), store its path, every
 * run of "/" reduced to one, in cpSelRstListFName and set
 * iIsSelectiveRestore (1). 0 after an "Error:": a missing argument, a name
 * that is empty, longer than 255 characters, missing or a directory, or a
 * path that does not fit cpSelRstListFName. */
int InitSelectiveRestore(LIST_INFO *spUsers, ARKZarafa *psZarafaStruct);

/* Enter ccpDir and remember it in g_cpPushPopDirBuf. On failure (also for a
 * directory of 256 characters or more, which is not entered) the slot and
 * the working directory stay as they were, after an "Error:". */
void utils_push_dir(const char *ccpDir);

/* Go back to the directory held in g_cpPushPopDirBuf (the one last entered,
 * not the one before it). Nothing is reported when it fails. */
void utils_pop_dir(void);

/* 1 when ccpPath names an existing file-system object, else 0. */
int utils_path_exists(const char *ccpPath);

/* Write the full-restore script "NAME.script.restore-full.sh" (mode 0775)
 * for ccpUserName into the existing directory ccpPath; its file name goes to
 * cpScriptName (256 characters) when given. The process is left in ccpPath.
 * A name of letters, digits and ". _ - @" (not starting with "-") gives the
 * plain template; any other name is quoted in the script; "PUBLIC_FOLDER"
 * reads "Public.index.zbk" and restores the public store. 1, or 0 after an
 * "Error:" (also for an empty name, a name holding "/", or a script name of
 * 256 characters or more; a link under the script's name is not followed). */
int utils_generate_full_rst_script(const char *ccpPath, const char *ccpUserName, char *cpScriptName);

/* Without a user: remove the directory of the first received path of
 * spFileList (taking the path off the list) with "rm -R", the directory
 * passed as one argument. 1 (also when rm cannot be started, after a
 * "Warning:"), or 0 after a "Warning:" when the list is missing or empty, the
 * path has no "/", the directory cannot be reached or is the root directory.
 * With a user and a non-empty list: nothing, 1. */
int cleanup_after_restore(LIST_INFO *spFileList, const char *ccpUser);

/* Debugging helpers, writing to the standard output: is_in_list is 1 when
 * item equals one of the non-empty strings among the first list_len slots;
 * print_list writes the strings up to the first NULL slot without
 * separators; dump_string writes "Dump string: TEXT" and the bytes in hex,
 * 16 a line. */
int is_in_list(const char *item, char **list, int list_len);
void print_list(char **cppList);
void dump_string(const char *ccpString);

#ifdef __cplusplus
}
#endif

#endif /* UTILS_H */
