/* Every public header compiles as plain C (and as C++), after the C
 * library's own string headers, and the record layouts have the sizes a C
 * host expects. */
#include <stddef.h>
#include <stdio.h>
#include <string.h>
#include <wchar.h>

#include "ark_zarafa.h"
#include "backup_levels.h"
#include "cm_common.h"
#include "db_interface.h"
#include "list.h"
#include "LL.h"
#include "strlcpy.h"
#include "utils.h"
#include "zarafa_index_utils.h"
#include "zarafa_server_utils.h"

int main(void) {
    int failures = 0;
    if (sizeof(BOOL) != 2) { puts("BOOL is not 16 bits"); ++failures; }
    if (sizeof(DB_OPERATION_TYPE) != 4) { puts("enumerations are not 32 bits"); ++failures; }
    if (offsetof(ARKZarafa, cpTempDir) != 256) { puts("cpTempDir misplaced"); ++failures; }
    if (offsetof(TYPE_DB_Error, szDBErrorType) != 8) { puts("TYPE_DB_Error misplaced"); ++failures; }
    if (sizeof(((ARKZarafa *)0)->cpJobName) != 101) { puts("cpJobName is not 101"); ++failures; }
    return failures;
}
