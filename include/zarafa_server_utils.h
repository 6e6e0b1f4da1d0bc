/*
 * zarafa_server_utils.h - account details from the groupware server, and
 * the diagnostic self tests of the server queries.
 */
#ifndef ZARAFA_SERVER_UTILS_H
#define ZARAFA_SERVER_UTILS_H

#include "list.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef struct {
    char cpFullUserName[255];
    char cpMailAddr[100];
} tUserInfo;

/* Look up full name and mail address of ccpUserName (at most 100
 * characters) with "zarafa-admin --details". 1 when both were found, else 0;
 * the details found are stored either way (at most 99 characters each). */
int GetUserInfo(tUserInfo *psUsetInfo, const char *ccpUserName);

/* Push the server's account names onto psUsers, without messages. The number
 * of names taken, or -1 for a missing list or a tool that cannot be run. */
int get_users_from_server(LIST_INFO *psUsers);

/* Self tests of the two server queries; they write their verdicts to the
 * standard error stream. */
int test_zarafa_server_utils(int test);
int test_GetUserFromServer(void);
int test_GetUserInfo(void);

#ifdef __cplusplus
}
#endif

#endif /* ZARAFA_SERVER_UTILS_H */
