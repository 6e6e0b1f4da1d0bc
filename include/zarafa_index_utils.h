/*
 * zarafa_index_utils.h - the index file that the export tool writes beside
 * each mailbox, the list file of record keys the plug-in writes from it (and
 * reads back as the list of a selective restore), and the record-key table.
 *
 * Index file: lines of ":"-separated fields. Line 1 names the user after its
 * last ":"; a line holding "M:" carries a record key in field 5, any other
 * line holding "C:" in field 7 (runs of ":" count as one separator, and a key
 * needs at least one field after it).
 * List file: one line "USER^:KEY\n" per record key.
 */
#ifndef ZARAFA_INDEX_UTILS_H
#define ZARAFA_INDEX_UTILS_H

#include <stdio.h>

#include "list.h"

#ifdef __cplusplus
extern "C" {
#endif

#define ZARAFA_REKORD_KEY_LEN 15 /* record key in a selective-restore record, terminator included */
#define ZARAFA_RECORD_KEY_BUF 100 /* record key read from an index file, terminator included */
#define ZARAFA_RECORD_KEYS_TABLE_SLOTS 2048 /* slots a record-key table must have */

/* One entry of a selective-restore list (an item of psSelRestList). */
typedef struct {
    char cpUserName[100];                    /* "PUBLIC_FOLDER" for "public" */
    char cpRekordKey[ZARAFA_REKORD_KEY_LEN];
} tSelRestItem;
typedef tSelRestItem *pSelRestItem;

/* An index file and its line records (declared for later use; nothing
 * fills them yet). */
typedef struct {
    char cpRekordKey[ZARAFA_REKORD_KEY_LEN];
} tspIndexFileRecord;

typedef struct {
    char cpFileName[256];
    char cpUserName[100];
    LIST_INFO *spRecords;
} tspIndexFile;

/* Take the record key of one index line into cpRecordKey
 * (ZARAFA_RECORD_KEY_BUF characters). The line is left unchanged. 1 when a
 * key was found, else 0 (also for a key longer than 99 characters). */
int parse_index_line(char *cpStr, char *cpRecordKey);

/* 1 when ccpVal occurs in one of the keys of the table (which ends at its
 * first empty slot), else 0. */
int zarafa_index_is_in_table(const char **ccppRecordKeysTable, const char *ccpVal);

/* Store heap copies (malloc) of the distinct record keys of an index file,
 * in file order, in the caller's table of ZARAFA_RECORD_KEYS_TABLE_SLOTS
 * slots, every slot empty on entry. The last slot always stays empty to end
 * the table: keys beyond ZARAFA_RECORD_KEYS_TABLE_SLOTS - 1 are not taken,
 * after a "Warning:". Keys longer than 99 characters are skipped with a
 * "Warning:". Returns the number of keys stored (0 after an "Error:"); the
 * table owns them until zarafa_index_clear_recordkeys_table. */
int zarafa_index_get_all_rekord_keys(const char *ccpIndexFileName, char **cppRecordKeysTable);

/* Release the first iTotalRecords keys of the table and empty their slots. */
void zarafa_index_clear_recordkeys_table(char **cppTable, int iTotalRecords);

/* Write every line of the index file fname to f (standard error when NULL),
 * each as "TIME: akz-3218: Info: LINE" with the local time as "%F %T". */
void print_index_file(FILE *f, const char *fname);

/* Write the list file ccpListFName from the index file ccpIndexFName: one
 * "USER^:KEY" line per record key of line 2 on, in index order, with the
 * user named after the last ":" of the header ("PUBLIC_FOLDER" for
 * "public"). 1, or 0 after an "Error:" (also when the list could not be
 * written completely). */
int build_list_file(const char *ccpIndexFName, const char *ccpListFName);

/* Append one tSelRestItem per valid line of a list file to spList. Lines
 * without ":" or "^", with an empty user name or key, a user name longer than
 * 99 or a key longer than 14 characters are skipped with a "Warning:". 1, or
 * 0 after an "Error:" (records pushed so far stay in the list). */
int parse_list_file(const char *ccpListFName, LIST_INFO *spList);

/* Declared for later use: 1 when both arguments are given, else 0. */
int ParseIndexFile(const char *ccpFName, tspIndexFile *spIndexFile);
/* Declared for later use: always 0. */
int ParseIndexFileLine(const char *ccpLine, tspIndexFileRecord *spRecord);

#ifdef __cplusplus
}
#endif

#endif /* ZARAFA_INDEX_UTILS_H */
