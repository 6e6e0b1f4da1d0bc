// Account details from the groupware server, and the self tests of the two
// server queries.
#include "zarafa_server_utils.h"

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "c_buffer.h"
#include "fifo_strings.h"
#include "messages.h"
#include "run_tool.h"
#include "server_queries.h"

using ark::msg;


extern "C" int GetUserInfo(tUserInfo *psUsetInfo, const char *ccpUserName) {
    msg("GetUserInfo(+)");
    if (!psUsetInfo || !ccpUserName || std::strlen(ccpUserName) > 100)
        return 0;
    const std::vector<std::string> argv{"zarafa-admin", "--details", ccpUserName};
    const ark::ToolRun run = ark::run_tool(argv, {.capture_output = true});
    if (!run.started)
        return 0;
    const int found = ark::parse_user_details(run.output, psUsetInfo);
    if (found < 0)
        return 0;
    msg("GetUserInfo(-)");
    return found;
}

extern "C" int get_users_from_server(LIST_INFO *psUsers) {
    if (!psUsers)
        return -1;
    const ark::AccountListing listing = ark::list_accounts();
    if (!listing.ran)
        return -1;
    int taken = 0;
    for (const std::string &name : listing.names)
        if (ark::push_string(psUsers, name))
            ++taken;
    return taken;
}

extern "C" int test_GetUserFromServer(void) {
    std::fputs("TEST:get_users_from_server(+)\n", stderr);
    std::fputs("(Check if there are at least one user account on the server !)\n", stderr);
    LIST_INFO *list = CreateFIFOList();
    int result = 0;
    if (get_users_from_server(list) != -1) {
        int count = 0;
        for (const LIST_ITEM *item = list->spFirstItem; item; item = item->spNextItem, ++count)
            std::fprintf(stderr, "TEST:get_users_from_server(), user[%d]=%s\n", count,
                         static_cast<const char *>(item->vpData));
        if (count == 0)
            std::fputs("TEST:get_users_from_server() - FAIL\n", stderr);
        else
            std::fprintf(stderr, "TEST:get_users_from_server(), %d uses found, TEST - OK\n", count);
        result = 1;
    }
    DestroyFIFOList(list);
    std::fputs("TEST:get_users_from_server(-)\n", stderr);
    return result;
}

extern "C" int test_GetUserInfo(void) {
    std::fputs("TEST:GetUserInfo(+)\n", stderr);
    tUserInfo info{};
    std::fputs(GetUserInfo(nullptr, nullptr) ? "Incorrect params test - FAIL\n" : "Incorrect params test - OK\n",
               stderr);
    info = {};
    std::fputs(GetUserInfo(&info, "atuna1908764matata1908764") ? "Not existing user test - FAIL\n"
                                                               : "Not existing user test - OK\n",
               stderr);
    info = {};
    const std::string too_long(264, 'A');
    std::fputs(GetUserInfo(&info, too_long.c_str()) ? "Too long user name test - FAIL\n"
                                                    : "Too long user name test - OK\n",
               stderr);
    LIST_INFO *list = CreateFIFOList();
    if (get_users_from_server(list) <= 0)
        std::fputs("Can't get users from server\n", stderr);
    int attempt = 0;
    for (const LIST_ITEM *item = list->spFirstItem; item; item = item->spNextItem, ++attempt) {
        info = {};
        const bool ok = GetUserInfo(&info, static_cast<const char *>(item->vpData)) == 1;
        std::fprintf(stderr, ok ? "Normal usage test: attempt[%d] - OK\n" : "Normal usage test: attempt[%d] - FAIL\n",
                     attempt);
    }
    DestroyFIFOList(list);
    std::fputs("TEST:GetUserInfo(-)\n", stderr);
    return 0;
}

extern "C" int test_zarafa_server_utils(int) {
    test_GetUserFromServer();
    test_GetUserInfo();
    return 0;
}
