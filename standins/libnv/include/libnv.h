/*
 * libnv.h - the product runtime library as seen by its programs.
 *
 * A program of the product links libnv and defines the globals declared at
 * the end of this header; the library binds them by name when the program
 * starts, so their names and layouts are part of the contract. The library
 * gives a program its logging set-up (v_set_log_main, WRITE_TRACE), string
 * assembly in the shared scratch buffer (str_chain) and remote execution on a
 * client of the product (REMOTE_CMD).
 *
 * Diagnostics of the library itself go to standard error, starting with
 * "Error:" or "Warning:".
 */
#ifndef LIBNV_H
#define LIBNV_H

#include <stdint.h>
#include <wchar.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef int16_t BOOL; /* the same type as the common library's BOOL */

/* Sizes fixed by the contract. */
#define NV_LOG_FILE_LEN 384 /* str_log.szFile, terminator included */
#define NV_LOG_INS_LEN 64   /* str_log.szIns, terminator included */
#define NV_TMP_SC_LEN 34500 /* tmp_sc, and any buffer given to str_chain */
#define NV_GSZ_LEN 512      /* gszRo, gszRw */
#define NV_MSG_LEN 512      /* message buffer of REMOTE_CMD */
#define NV_PATH_LEN 4096    /* path fields of sFormat */

/* Log and trace descriptor of a program, filled by v_set_log_main and passed
 * by value to REMOTE_CMD. */
typedef struct _str_log {
    char szFile[NV_LOG_FILE_LEN]; /* log file; empty when tracing is off */
    int iFlg;                     /* trace level; tracing is on when > 0 */
    int iVerify;                  /* reserved, 0 */
    char szIns[NV_LOG_INS_LEN];   /* component name written on every line */
} str_log;

/* User-interface language of the library's texts. */
typedef enum _LANGUAGES {
    LANG_EN = 0,
    LANG_ES = 1,
    LANG_DE = 2,
    LANG_BY = 3,
    LANG_FR = 4,
    LANG_HR = 5,
    LANG_PT = 6
} LANGUAGES;

/* File-description record of the library's file lists (strpAnfang ...).
 * Owned by the library; programs never touch one. */
typedef struct _sFormat {
    unsigned char cSep;
    unsigned char cType;
    unsigned char cBaseType;
    BOOL bWchar;
    int iTrace;
    char szRoot[NV_PATH_LEN];
    char szCurRoot[NV_PATH_LEN];
    char szCurLabel[NV_PATH_LEN];
    char szCurFullFileName[NV_PATH_LEN];
    char szCurFileName[NV_PATH_LEN];
    wchar_t szwCurFullFileName[NV_PATH_LEN];
    char szCreatTime[128];
    char szInfo[NV_PATH_LEN];
    char szModTime[128];
    double dSize;
    char szUser[128];
    char szStatus[128];
    struct _sFormat *strpNext;
    struct _sFormat *strpPrevious;
    int iLevel;
    int iDevCount;
    long lDirCount;
    long lErrorCount;
    long lFileCount;
    double dSumSize;
    char szMaxFileName[NV_PATH_LEN];
} sFormat;

/*
 * Set up logging for a program and bind it to the runtime library.
 *
 * Reads the log configuration ccpConfig (for example "nv_rexec.lgc"), taken
 * from the directory named by the environment variable NV_CONFIG_DIR, else
 * from the current directory. The file holds "KEY=value" lines; blank lines
 * and lines starting with '#' are ignored:
 *   TRACE_LEVEL=n      trace level (0 or more; 0 means off)
 *   LOG_FILE=path      trace file, appended to; a relative path is taken
 *                      from the directory of the configuration file
 *   LANGUAGE=xx        EN, ES, DE, BY, FR, HR or PT; sets eLang
 * A missing file means tracing off. A file that cannot be read, an unknown
 * key, a bad value or a log file that cannot be opened gives a "Warning:" on
 * standard error and leaves tracing off.
 *
 * Fills *spLog (the component name ccpComponent goes to szIns), resets the
 * program's runtime globals (gcInterrupt 'n', empty file list, cleared
 * gszRo/gszRw) and installs the program's SIGNAL_HANDLER for SIGINT and
 * SIGTERM.
 */
void v_set_log_main(const char *ccpConfig, const char *ccpComponent, str_log *spLog);

/*
 * Append one printf-style trace line to the log file of spLog (the program's
 * strLog when spLog is NULL), when its trace level is above 0: local date and
 * time, the component name and the process id, then the text; a trailing
 * newline of the text is not doubled. Lines are cut at 1023 characters. Safe
 * to call from a signal handler: it formats on the stack and writes the line
 * with one append to the file.
 */
void WRITE_TRACE(const str_log *spLog, const char *ccpFormat, ...)
#ifdef __GNUC__
    __attribute__((format(printf, 2, 3)))
#endif
    ;

/*
 * Concatenate the strings that follow iReset into cpBuf, up to an empty
 * string (or NULL) that ends the list, and return cpBuf (the program's tmp_sc
 * when cpBuf is NULL). With iReset 1 the buffer is emptied first; with 0 the
 * strings are appended to what it holds. cpBuf must hold NV_TMP_SC_LEN
 * characters (the size of tmp_sc); a longer result is cut there and still
 * terminated.
 */
char *str_chain(char *cpBuf, int iReset, ...);

/*
 * Run the command string ccpCmd on the client described by ccpTarget and wait
 * for it.
 *
 * ccpTarget is "host", "host|outfile" or "host|outfile|errfile". The remote
 * standard output goes to outfile (created or truncated), or is discarded when
 * there is none; the remote error output goes to errfile, or to the program's
 * standard error when there is none. The file name "STDOUT" means the
 * program's standard output, "STDERR" its standard error.
 *
 * The command runs through the OpenSSH client "ssh" found on PATH, in batch
 * mode (never a password prompt), with the host as an argument of its own and
 * ccpCmd, unchanged, as the last argument; its standard input is /dev/null.
 * SIGINT and SIGTERM do not reach it: a first interrupt of the program is
 * noted in gcInterrupt and the command runs on. If the program ends while the
 * command runs, ssh receives SIGHUP.
 *
 * iWait must be 1 (run and wait). cpMsg receives a one-line result message
 * (at most NV_MSG_LEN characters with the terminator); failures to start or
 * to open a file are also reported on standard error. Trace lines go to
 * sLog when its trace level is above 0.
 *
 * Returns non-zero exactly when ssh exited with status 0, else 0.
 */
int REMOTE_CMD(const char *ccpTarget, const char *ccpCmd, int iWait, char *cpMsg, str_log sLog);

/*
 * Defined by every program of the product and bound by the library by name.
 */
extern str_log strLog;          /* the program's log descriptor */
extern LANGUAGES eLang;         /* language of the library's texts */
extern char gcInterrupt;        /* 'y' once SIGINT or SIGTERM arrived, else 'n' */
extern char tmp_sc[NV_TMP_SC_LEN]; /* scratch buffer for str_chain */
extern char gszRo[NV_GSZ_LEN];  /* reserved for the library */
extern char gszRw[NV_GSZ_LEN];  /* reserved for the library */
extern sFormat *strpAnfang;     /* head of the library's file list */
extern sFormat *strpEnde;       /* tail of the library's file list */
extern sFormat *strpNext;       /* cursor in the library's file list */
void SIGNAL_HANDLER(int iSignal);

#ifdef __cplusplus
}
#endif

#endif /* LIBNV_H */
