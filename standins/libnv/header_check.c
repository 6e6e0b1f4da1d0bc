/* The library's header must compile as plain C. */
#include "libnv.h"

int nv_header_check_size(void) { return (int)sizeof(str_log) + (int)sizeof(sFormat); }
