// The two queries of the groupware server's account tool, shared by the
// selection and the self tests.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "zarafa_server_utils.h"

namespace ark {

constexpr size_t kMaxUserName = 99; // longest name a user buffer holds

// Lines of a tool's output, without their line ends.
std::vector<std::string> split_lines(std::string_view text);

// The accounts of a listing. The first line is a header, then come the
// column titles ("username" first) and a rule of dashes; each later row's
// first TAB-separated column (after the TAB that indents it) is a login,
// whole, except "SYSTEM", the server's own account. Rows without a TAB can't
// be read so and are returned apart; blank rows are none.
struct AccountRows {
    std::vector<std::string> names;      // in listing order
    std::vector<std::string> unreadable; // rows without a login column
};
AccountRows account_names(std::string_view output);

// Read the output of "zarafa-admin --details": -1 when the first line says
// the user is unknown (or there is none), 1 when both a "Fullname" and an
// "Emailaddress" row were found, else 0. The values found are stored.
int parse_user_details(std::string_view output, tUserInfo *info);

// Why a login from the server can't name a mailbox, or nothing: the name
// becomes part of file names in the export directory, so it must not hold a
// "/", and it must not hold control characters.
std::optional<std::string> account_name_problem(std::string_view name);

// The text with control characters and other bytes below 0x20 or 0x7f shown
// as \xNN, for messages about untrusted output.
std::string printable(std::string_view text);

struct AccountListing {
    bool ran = false;                // false: the tool could not be run at all
    std::string why;                 // reason when it did not run
    std::vector<std::string> names;  // the login of each account row, in order
};

// Run "zarafa-admin -l" and take its accounts (account_names), with a
// "Warning:" quoting each row that can't be read. A tool that is not
// installed yields no accounts, as an empty server does.
AccountListing list_accounts();

} // namespace ark
