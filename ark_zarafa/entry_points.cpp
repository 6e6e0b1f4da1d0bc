// The small entry points of the plug-in: message sink, identity and error.
#include "ark_zarafa.h"

namespace {
char g_client[] = "NORVA Zarafa Backup Client";
char g_version[] = "$Id: entry_points.cpp 1.0 2010-09-06 ark_zarafa $";
char g_release_date[] = "Sep  6 2010";
} // namespace

extern "C" int DB_SetLog(void (*vpfDB_log)(char *)) {
    // Every message of the plug-in (trace, warning and error) goes to this
    // sink; a NULL keeps the one installed before.
    if (vpfDB_log)
        g_sARKZarafa.vpfDB_trace = vpfDB_log;
    return 0;
}

extern "C" int DB_SetTrace(void (*)(char *)) { return 0; }

extern "C" int DB_GetInfo(TYPE_DB_Info *spO_DBInfo) {
    if (spO_DBInfo) {
        spO_DBInfo->cpDBClient = g_client;
        spO_DBInfo->cpDBVersion = g_version;
        spO_DBInfo->cpDBRelDate = g_release_date;
        spO_DBInfo->eDBType = DB_FILE;
    }
    return DB_NUM_I_OK;
}

extern "C" int DB_GetError(TYPE_DB_Error *) { return 0; }
