/*
 * db_interface.h - the interface between a backup host and a database-agent
 * plug-in.
 *
 * The host loads the plug-in with dlopen and finds the nine DB_ entry points
 * below by their plain names. It calls them one at a time, from one thread:
 *
 *   DB_SetLog (and DB_SetTrace)      install the message sink
 *   DB_GetInfo, DB_GetError          at any time
 *   DB_InitOperation                 start a backup or a restore
 *     backup:  DB_GetItem -> store the item -> DB_ItemFinishStatus, until
 *              DB_GetItem returns DB_NUM_I_COMPLETE
 *     restore: for each restored item DB_SetItem, then DB_ItemFinishStatus
 *   DB_CloseOperation                end the operation
 *
 * A further operation may follow in the same loaded instance. Every failure
 * (DB_NUM_E_ERROR) is preceded by a message through the sink; the plug-in
 * keeps no error state.
 */
#ifndef DB_INTERFACE_H
#define DB_INTERFACE_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Return codes of the operation entry points. */
#define DB_NUM_I_OK 3000       /* success; DB_GetItem: an item is returned */
#define DB_NUM_I_COMPLETE 3001 /* DB_GetItem only: no further item */
#define DB_NUM_E_ERROR 1000    /* failure; the reason was sent as a message */

typedef enum { DB_TYPE_BCK = 1, DB_TYPE_RST = 2 } DB_OPERATION_TYPE;

typedef enum {
    DB_LEVEL_COPY = 0,
    DB_LEVEL_FULL = 1,
    DB_LEVEL_DIFF = 2,
    DB_LEVEL_INCR = 3,
    DB_LEVEL_SLCT = 4
} DB_OPERATION_LEVEL;

typedef enum { DB_ITEM_TYPE_DIRECTORY = 1, DB_ITEM_TYPE_FILE = 2 } DB_ITEM_TYPE;

typedef enum { DB_ITEM_SUCCESS = 1, DB_ITEM_WARNING = 2, DB_ITEM_FAIL = 3 } DB_ITEM_RESULT;

typedef enum { DB_FILE_PREPARE = 0, DB_STREAM = 1, DB_FILE = 2 } DB_TYPE;

/* Filled by DB_GetInfo. The three texts are static strings owned by the
 * plug-in: the host must neither free nor change them. */
typedef struct {
    char *cpDBClient;  /* identity of the plug-in */
    char *cpDBVersion; /* version text */
    char *cpDBRelDate; /* release date text */
    DB_TYPE eDBType;   /* how the plug-in exchanges data with the host */
} TYPE_DB_Info;

/* Offered to DB_GetError; the plug-in never fills it. */
typedef struct {
    uint64_t ulDBErrorCode;
    char szDBErrorType[64];
    char szDBErrorMsg[1024];
} TYPE_DB_Error;

/* A message sink: receives one finished, NUL-terminated message, valid only
 * during the call. */
typedef void (*DB_MessageCallback)(char *);

/* Starts an operation. eI_OperationLevel is accepted and not used: the level
 * comes from the "-l" option word of the "INFO=" control variable.
 * cppI_CtrlVars is a NULL-terminated array of "KEY=value" strings; the plug-in
 * never writes into it. DB_NUM_I_OK or DB_NUM_E_ERROR. */
int DB_InitOperation(DB_OPERATION_TYPE eI_OperationType, DB_OPERATION_LEVEL eI_OperationLevel,
                     char **cppI_CtrlVars);

/* Backup: hands out the next exported file as a path relative to "/" in
 * cpFileName (caller's buffer of at least 256 characters). The two directory
 * arguments are left untouched. DB_NUM_I_OK with an item,
 * DB_NUM_I_COMPLETE when nothing is left, DB_NUM_E_ERROR when a mailbox could
 * not be exported (the next call goes on with the next mailbox). */
int DB_GetItem(char *cpBackupDirectory, char *cpOriginalDirectory, char *cpFileName);

/* Restore: announces an item that the host has written to cpItem.
 * Directories are accepted and ignored. DB_NUM_I_OK, or DB_NUM_E_ERROR when
 * the path cannot be recorded. */
int DB_SetItem(DB_ITEM_TYPE e_ItemType, char *cpItem);

/* Reports the host's result for the last item. Backup: deletes the delivered
 * file as the level asks. Restore: imports every mailbox whose index file has
 * arrived. DB_NUM_I_OK, or (restore) DB_NUM_E_ERROR when a mailbox could not
 * be restored. */
int DB_ItemFinishStatus(DB_ITEM_RESULT e_ItemFinishStatus);

/* Ends the operation and releases what it holds, on every path.
 * DB_NUM_I_OK or DB_NUM_E_ERROR. */
int DB_CloseOperation(char **cppI_CtrlVars);

/* Accepted for compatibility and ignored; returns 0. */
int DB_SetTrace(void (*vpfDB_trace)(char *));

/* Installs the sink of every message of the plug-in (a NULL sink keeps the
 * one installed before); returns 0. */
int DB_SetLog(void (*vpfDB_log)(char *));

/* Fills *spO_DBInfo; returns DB_NUM_I_OK. */
int DB_GetInfo(TYPE_DB_Info *spO_DBInfo);

/* Leaves *spO_DBError untouched; returns 0. */
int DB_GetError(TYPE_DB_Error *spO_DBError);

/* Format a printf-style message (cut at 511 characters, trailing line ends
 * removed) and deliver it to the trace sink (DB_TraceExt) or to the log slot
 * (DB_LogExt). Without a sink the message is dropped. */
void DB_TraceExt(char *cpMsg, ...);
void DB_LogExt(char *cpMsg, ...);

#ifdef __cplusplus
}
#endif

#endif /* DB_INTERFACE_H */
