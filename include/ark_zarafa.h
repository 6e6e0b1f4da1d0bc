/*
 * ark_zarafa.h - the mailbox backup plug-in: its operation state and the
 * functions behind the DB_ entry points.
 *
 * One loaded instance serves one operation at a time; all of its state lives
 * in the exported record g_sARKZarafa. Internal functions return 1 for
 * success and 0 for failure unless said otherwise, after a message through
 * the host's sink.
 */
#ifndef ARK_ZARAFA_H
#define ARK_ZARAFA_H

#include <dirent.h>

#include "db_interface.h"
#include "list.h"

#ifdef __cplusplus
extern "C" {
#endif

#define ARK_PATH_LEN 256      /* path fields, terminator included */
#define ARK_MAX_ARGS 256      /* option words in cpArgv */
#define ARK_JOB_NAME_LEN 101  /* a job name of up to 100 characters */
#define ARK_USER_NAME_LEN 100 /* mailbox and user names, terminator included */

/* The operation-state record. The field order is part of the interface. */
typedef struct __ARKZarafa {
    char cpINIDir[ARK_PATH_LEN];      /* "INI_DIR=": host settings directory, kept */
    char cpTempDir[ARK_PATH_LEN];     /* "TMP_DIR=": the work directory */
    char cpSavesetName[ARK_PATH_LEN]; /* "SAVESET=": save set of this run */
    int iArgc;                        /* option words in cpArgv */
    char *cpArgv[ARK_MAX_ARGS];       /* option words from "INFO=", heap copies */
    int iTotalUsers;
    char *cppUsers[10]; /* reserved */
    int iTotalFileToBackup;
    char *cpBackupSourceList[256]; /* reserved */
    int iTotalUsersFromServer;
    char *cpUsersFromServer[100]; /* reserved */
    int iTotalIndexFilesFound;
    char *cpIndexFileList[10]; /* reserved */
    DB_OPERATION_TYPE eI_OperationType;
    void (*vpfDB_trace)(char *);            /* sink of DB_TraceExt (DB_SetLog) */
    void (*vpfDB_log)(char *);              /* sink of DB_LogExt */
    char cpLastProcessedUser[ARK_PATH_LEN]; /* backup: full path of the last item handed out */
    LIST_INFO *psUsers;                     /* mailboxes of the operation, in processing order */
    LIST_INFO *psFileNames;                 /* backup: files to hand out; restore: files received */
    int iBackupLevelCOPY;
    int iBackupLevelINCR; /* also set for DIFF (see iBackupLevelDIFF) */
    int iBackupLevelFULL;
    char cpJobName[ARK_JOB_NAME_LEN];   /* "-j" option word */
    int iIsSelectiveRestore;            /* 1: restore record by record */
    LIST_INFO *psSelRestList;           /* selective-restore records */
    char cpSelRstListFName[ARK_PATH_LEN]; /* path of the selective-restore list */
    int iRecoveryAfterNoRecover;        /* 1: "RECOVERY=NO", files stay, scripts are written */
    int iBackupLevelDIFF;               /* 1 beside iBackupLevelINCR: the level is DIFF, whose exports
                                           start from the index of the job's last FULL */
} ARKZarafa;

extern ARKZarafa g_sARKZarafa;

/* ---- Operation state ------------------------------------------------------ */

/* Reset the record for a new operation of the given type (fresh lists,
 * option words cleared, level COPY). Paths, callbacks and psSelRestList keep
 * their values. */
void zarafa_global_struct_init(DB_OPERATION_TYPE eI_OperationType);

/* Fill the record from the host's control variables. DB_NUM_I_OK, or
 * DB_NUM_E_ERROR when a pointer is missing or the array is empty. The host's
 * strings are never written. */
int zarafa_parse_db_args(ARKZarafa *spARKZarafa, char **cppI_CtrlVars);

/* Release what the record owns. */
void zarafa_global_struct_cleanup(void);

/* ---- Mailbox selection ---------------------------------------------------- */

/* Push the accounts of "zarafa-admin -l" onto spList, in the tool's order
 * (first line, and rows holding "SYSTEM", "username" or "---------",
 * skipped). 1, or 0 when the tool cannot be run or a name cannot be stored. */
int GetUsersFromServer(LIST_INFO *spList);

/* Push the value of every control variable holding "DATABASE" (one mailbox
 * or special name each); "ALL" when none names one. 1, or 0. */
int GetUsersFromCmdLine(LIST_INFO *spList, char **cppVars);

/* Merge the requested names with the server's into spUsersToProcess: "ALL"
 * and "ALL_USERS" take every server user, other names are kept when the
 * server has them (a "Warning:" otherwise), "PUBLIC_FOLDER" (with "ALL") comes
 * last. 1, or 0 after an "Error:". */
int BuildUserList(LIST_INFO *spUsersToProcess, LIST_INFO *spUsersFromServer, LIST_INFO *spUsersFromCmdLine);

/* Apply the comma-separated patterns that follow the first "-x" option word,
 * each removing the first matching user. 1, or 0 for a missing word array. */
int ProcessExcludeList(LIST_INFO *spList, char **ccpVarList, int iTotalVars);

/* Remove the first user in psUserList that the regular expression ccpRegExp
 * (Perl-compatible, case-sensitive, unanchored) matches. 1, or 0. */
int apply_exclude_list(LIST_INFO *psUserList, const char *ccpRegExp);

/* Report the selection, with each user's full name and mail address. */
void print_users(const LIST_INFO *psUsers);

/* ---- Operation set-up and close -------------------------------------------- */

/* Tell the operator, for every mailbox of spUserList, how to run its
 * full-restore script (no-recovery restores). Both lists must be given. */
void display_norecover_box(LIST_INFO *spUserList, LIST_INFO *spFileList, const char *ccpSavesetName);

/* ---- Backup items ---------------------------------------------------------- */

/* Results of backup_user. */
#define ERROR_OK 0
#define ERROR_UNKNOWN (-1)
#define ERROR_WRONG_PARAM (-4)
#define ERROR_NO_MORE_USERS (-8)

/* Export the mailbox at the head of psUserList (taking it off the list) and
 * queue the paths of its exported files on psFileList. ERROR_OK,
 * ERROR_NO_MORE_USERS when the list is empty, ERROR_WRONG_PARAM for a missing
 * argument, ERROR_UNKNOWN when the export left no usable files. */
int backup_user(LIST_INFO *psUserList, LIST_INFO *psFileList, const char *ccpBackupDir);

/* Export one mailbox ("ALL", "PUBLIC_FOLDER" or a user) into the export
 * directory, which is copied into cppBackUpSource (256 characters); dump its
 * index file to standard error and write its list file beside the export
 * directory. 0, or -1 when no name is given or the export directory cannot
 * be used. Whether the export worked shows only in the files it left. */
int ark_zarafa_backup_user(char *cppBackUpSource, const char *cpUserName);

/* Store in cppFileList (a table of 100 empty slots) newly allocated paths
 * "DIR/NAME" of the entries of ccpPath that belong to ccpUser, in sorted
 * order; the caller frees them. Returns the number stored (at most 100). */
int build_file_list(const char *ccpPath, char **cppFileList, const char *ccpUser);

/* scandir filter: 0 for names beginning with ".", else 1. */
int select_files(const struct dirent *dirbuf);

/* DB_NUM_I_OK when a backup is running and all three pointers are given. */
int IsGetItemParamOk(char *cpBackupDirectory, char *cpOriginalDirectory, char *cpFileName);

/* ---- Restore items --------------------------------------------------------- */

/* Restore the records of ccpUserName from the selective-restore list with
 * "zarafa-restore", in the directory of the index file ccpPath. 1, or 0. */
int restore_user_selective(LIST_INFO *spList, const char *ccpUserName, const char *ccpPath);

/* Write the full-restore script of ccpUserName into ccpPath (the restore
 * directory, ending in "/"), run it there and delete it. 1, or 0. */
int restore_full_script(const char *ccpPath, const char *ccpUserName);

/* Restore every record key of the index file ccpPath for ccpUser, one
 * "zarafa-restore" run per key. 1, or 0 when nothing was done. */
int ark_zarafa_restore_user(const char *ccpUser, const char *ccpPath);

#ifdef __cplusplus
}
#endif

#endif /* ARK_ZARAFA_H */
