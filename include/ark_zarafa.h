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
    int iBackupLevelINCR; /* also set for DIFF */
    int iBackupLevelFULL;
    char cpJobName[ARK_JOB_NAME_LEN];   /* "-j" option word */
    int iIsSelectiveRestore;            /* 1: restore record by record */
    LIST_INFO *psSelRestList;           /* selective-restore records */
    char cpSelRstListFName[ARK_PATH_LEN]; /* path of the selective-restore list */
    int iRecoveryAfterNoRecover;        /* 1: "RECOVERY=NO", files stay, scripts are written */
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

#ifdef __cplusplus
}
#endif

#endif /* ARK_ZARAFA_H */
