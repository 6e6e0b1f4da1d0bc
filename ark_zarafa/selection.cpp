// Mailbox selection: the server's accounts, the requested names, their
// merge, the exclusion patterns and the report of the final list.
#include <pcre2posix.h>

#include <cstring>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

#include "ark_zarafa.h"
#include "c_buffer.h"
#include "fifo_strings.h"
#include "mailbox_files.h"
#include "messages.h"
#include "server_queries.h"
#include "zarafa_server_utils.h"

using ark::msg;
using ark::push_string;
using ark::strings_of;

namespace {

// A compiled pattern that frees itself.
class Regex {
public:
    explicit Regex(const char *pattern) { ok_ = regcomp(&re_, pattern, REG_NOSUB) == 0; }
    ~Regex() {
        if (ok_)
            regfree(&re_);
    }
    Regex(const Regex &) = delete;
    Regex &operator=(const Regex &) = delete;
    bool ok() const { return ok_; }
    bool matches(const char *text) const { return ok_ && regexec(&re_, text, 0, nullptr, 0) == 0; }

private:
    regex_t re_{};
    bool ok_ = false;
};

} // namespace

extern "C" int GetUsersFromServer(LIST_INFO *spList) {
    msg("GetUsersFromServer(+)");
    if (!spList) {
        msg("GetUsersFromServer(-), error while while cheching list");
        return 0;
    }
    const ark::AccountListing listing = ark::list_accounts();
    if (!listing.ran) {
        msg("Error: can't run [zarafa-admin -l]: %s", listing.why.c_str());
        msg("GetUsersFromServer(-), error while opening pipe");
        return 0;
    }
    int taken = 0;
    for (const std::string &name : listing.names) {
        // A longer name does not fit the mailbox buffers; cutting it could
        // name another user.
        if (name.size() > ark::kMaxUserName) {
            msg("Warning: user name of %zu characters is too long (at most %zu), skipped: %.40s...", name.size(),
                ark::kMaxUserName, ark::printable(name).c_str());
            continue;
        }
        if (auto problem = ark::account_name_problem(name)) {
            msg("Warning: user name \"%s\" from the server can't name a mailbox (%s), skipped",
                ark::printable(name).c_str(), problem->c_str());
            continue;
        }
        if (!push_string(spList, name)) {
            msg("GetUsersFromServer(-), error while pushing FIFO item, token=%s", name.c_str());
            return 0;
        }
        ++taken;
    }
    // Not a failure, but every selection by "ALL" or "ALL_USERS" is then
    // short of every user: say so, whatever the tool printed instead.
    if (taken == 0)
        msg("Warning: the server listed no accounts: [zarafa-admin -l] printed no usable account row");
    msg("GetUsersFromServer(-)");
    return 1;
}

extern "C" int GetUsersFromCmdLine(LIST_INFO *spList, char **cppVars) {
    msg("GetUsersFromCmdLine(+)");
    if (!spList)
        return 0;
    bool requested = false;
    for (char **var = cppVars; var && *var; ++var) {
        const std::string_view text(*var);
        const size_t equals = text.find('=');
        if (equals == std::string_view::npos || text.find("DATABASE") == std::string_view::npos)
            continue;
        const std::string_view value = text.substr(equals + 1);
        if (value.empty())
            continue;
        requested = true;
        // A selective-restore reference (user@list-file) carries a path and is
        // checked where the list file is looked for.
        if (value.find('@') == std::string_view::npos && value.size() > ark::kMaxUserName) {
            msg("Warning: mailbox name of %zu characters is too long (at most %zu), skipped: %.40s...",
                value.size(), ark::kMaxUserName, std::string(value).c_str());
            continue;
        }
        if (!push_string(spList, value))
            return 0;
    }
    // Falling back to every mailbox is only right when nothing was asked for;
    // a refused name must not widen the selection.
    if (!requested && !push_string(spList, "ALL"))
        return 0;
    msg("GetUsersFromCmdLine(-)");
    return 1;
}

extern "C" int BuildUserList(LIST_INFO *spUsersToProcess, LIST_INFO *spUsersFromServer,
                             LIST_INFO *spUsersFromCmdLine) {
    msg("BuildUserList(+)");
    if (!spUsersToProcess || !spUsersFromServer || !spUsersFromCmdLine) {
        msg("Incorrect input parameters:spUsersToProcess=%X, spUsersFromServer=%X, spUsersFromCmdLine=%X",
            static_cast<unsigned>(reinterpret_cast<uintptr_t>(spUsersToProcess)),
            static_cast<unsigned>(reinterpret_cast<uintptr_t>(spUsersFromServer)),
            static_cast<unsigned>(reinterpret_cast<uintptr_t>(spUsersFromCmdLine)));
        return 0;
    }
    const std::vector<std::string> requested = strings_of(spUsersFromCmdLine);
    const std::vector<std::string> server = strings_of(spUsersFromServer);
    msg("Total items from cmd line=%d, from server=%d", spUsersFromCmdLine->iItemCount,
        spUsersFromServer->iItemCount);
    for (const auto &name : requested)
        msg("From cmdline:%s", name.c_str());
    for (const auto &name : server)
        msg("From server:%s", name.c_str());

    bool all = requested.empty(), all_users = false, public_folder = false;
    for (const auto &name : requested) {
        all = all || name == "ALL";
        all_users = all_users || name == "ALL_USERS";
        public_folder = public_folder || name == ark::kPublicFolder;
    }

    if (all || all_users) {
        // An empty server is no failure: nothing is appended.
        if (!server.empty() && !CopyFIFOList(spUsersFromServer, spUsersToProcess)) {
            msg("Error: Can't copy user list.");
            return 0;
        }
    } else {
        // One lookup per requested name, however many accounts the server has.
        const std::unordered_set<std::string_view> on_server(server.begin(), server.end());
        for (const auto &name : requested) {
            if (name == ark::kPublicFolder)
                continue;
            if (on_server.count(name)) {
                if (!push_string(spUsersToProcess, name)) {
                    msg("Error: Can't add item to the user list");
                    return 0;
                }
            } else {
                msg("Warning: User \"%s\" was not found on the server", name.c_str());
            }
        }
    }
    if ((public_folder || all) && !push_string(spUsersToProcess, ark::kPublicFolder)) {
        msg("Error: Can't add user PUBLIC_FOLDER to the user list");
        return 0;
    }
    msg("BuildFinalUserList(-)");
    return 1;
}

extern "C" int ProcessExcludeList(LIST_INFO *spList, char **ccpVarList, int iTotalVars) {
    msg("ProcessExcludeList(+)");
    if (!ccpVarList) {
        msg("ProcessExcludeList(-), erro: wrong parameter");
        return 0;
    }
    for (int i = 0; i < iTotalVars; ++i) {
        if (!ccpVarList[i] || std::strcmp(ccpVarList[i], "-x") != 0)
            continue;
        std::vector<std::string> patterns;
        if (i + 1 < iTotalVars && ccpVarList[i + 1]) {
            const std::string_view list(ccpVarList[i + 1]);
            size_t pos = 0;
            while (pos <= list.size()) {
                size_t comma = list.find(',', pos);
                if (comma == std::string_view::npos)
                    comma = list.size();
                if (comma > pos)
                    patterns.emplace_back(list.substr(pos, comma - pos));
                pos = comma + 1;
            }
        }
        if (patterns.empty())
            msg("Warning: \"-x\" option found but exclude list was not.");
        for (const auto &pattern : patterns)
            apply_exclude_list(spList, pattern.c_str());
        break; // only the first "-x" counts
    }
    msg("ProcessExcludeList(-)");
    return 1;
}

extern "C" int apply_exclude_list(LIST_INFO *psUserList, const char *ccpRegExp) {
    msg("exclude_by_regexp(+)");
    if (!psUserList || !ccpRegExp)
        return 0;
    if (psUserList->iItemCount == 0)
        return 1;
    const Regex regex(ccpRegExp);
    if (!regex.ok())
        msg("Warning: exclusion pattern \"%s\" is not a valid regular expression, it excludes nobody", ccpRegExp);
    int position = 0;
    for (const LIST_ITEM *item = psUserList->spFirstItem; item; item = item->spNextItem, ++position) {
        const std::string name(ark::item_text(item));
        if (!regex.matches(name.c_str()))
            continue;
        msg("Removing user %s ...", name.c_str());
        if (!RemoveFIFOItemAt(psUserList, position))
            return 0;
        msg("User removed");
        return 1;
    }
    msg("exclude_by_regexp(-)");
    return 1;
}

extern "C" void print_users(const LIST_INFO *psUsers) {
    if (!psUsers)
        return;
    msg("Found [%d] mailboxes in mailnode", psUsers->iItemCount);
    for (const std::string &name : strings_of(psUsers)) {
        if (name == ark::kPublicFolder) {
            msg("Add mailbox[Public Folder: PUBLIC_FOLDER]");
            continue;
        }
        tUserInfo info{};
        GetUserInfo(&info, name.c_str());
        msg("Add mailbox[%s: %s] ", info.cpFullUserName, info.cpMailAddr);
    }
}
