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

// The account rows of a listing: the first line is a header; rows holding
// "SYSTEM", "username" or "---------" are no accounts; the first word of
// every other row is a login.
std::vector<std::string> account_names(std::string_view output);

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
    std::vector<std::string> names;  // first word of each account row, in order
};

// Run "zarafa-admin -l" and take the account rows: the first line is a
// header; rows holding "SYSTEM", "username" or "---------" are no accounts.
// A tool that is not installed yields no accounts, as an empty server does.
AccountListing list_accounts();

} // namespace ark
