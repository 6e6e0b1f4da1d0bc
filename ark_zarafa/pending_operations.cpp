// Entry points whose operations are not available in this build yet.
#include "ark_zarafa.h"
#include "messages.h"

using ark::msg;

extern "C" int DB_InitOperation(DB_OPERATION_TYPE eI_OperationType, DB_OPERATION_LEVEL, char **cppI_CtrlVars) {
    msg("DB_InitOperation (+)");
    zarafa_global_struct_init(eI_OperationType);
    zarafa_parse_db_args(&g_sARKZarafa, cppI_CtrlVars);
    msg("DB_InitOperation (-)");
    return DB_NUM_I_OK;
}

extern "C" int DB_GetItem(char *, char *, char *) {
    msg("Error: DB_GetItem is not available in this build");
    return DB_NUM_E_ERROR;
}

extern "C" int DB_SetItem(DB_ITEM_TYPE, char *) {
    msg("Error: DB_SetItem is not available in this build");
    return DB_NUM_E_ERROR;
}

extern "C" int DB_ItemFinishStatus(DB_ITEM_RESULT) {
    msg("Error: DB_ItemFinishStatus is not available in this build");
    return DB_NUM_E_ERROR;
}

extern "C" int DB_CloseOperation(char **) {
    msg("Error: DB_CloseOperation is not available in this build");
    zarafa_global_struct_cleanup();
    return DB_NUM_E_ERROR;
}
