// Output of the account tool: the account rows of "zarafa-admin -l" and the
// details rows of "zarafa-admin --details", read from the same text.
#include <cstring>
#include <string>

#include "fuzz_support.h"
#include "server_queries.h"
#include "zarafa_server_utils.h"

namespace {

// The value of a details row: the text after its last TAB, without a final
// CR, cut to 99 characters.
bool field_after_tab(const std::string &line, std::string &value) {
    const size_t tab = line.rfind('\t');
    if (tab == std::string::npos)
        return false;
    value = line.substr(tab + 1);
    if (!value.empty() && value.back() == '\r')
        value.pop_back();
    if (value.size() > 99)
        value.resize(99);
    return true;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const std::string_view output = fuzz::as_text(data, size);

    const std::vector<std::string> lines = fuzz::split(output, '\n');
    const ark::AccountRows rows = ark::account_names(output);
    const std::vector<std::string> &names = rows.names;
    FUZZ_CHECK(names.size() + rows.unreadable.size() + 1 <= lines.size() || (names.empty() && rows.unreadable.empty()));
    for (const std::string &name : names) {
        // A login is one whole column: never empty, never a TAB in it.
        FUZZ_CHECK(!name.empty());
        FUZZ_CHECK(name.find_first_of("\t\n") == std::string::npos);
        FUZZ_CHECK(name != "SYSTEM" && name.find_first_not_of('-') != std::string::npos);
        // ...which starts its row or follows a TAB.
        FUZZ_CHECK(output.starts_with(name + "\t") || output.find("\n" + name + "\t") != std::string_view::npos ||
                   output.find("\t" + name) != std::string_view::npos);
    }
    for (const std::string &row : rows.unreadable) {
        FUZZ_CHECK(row.find('\t') == std::string::npos);
        FUZZ_CHECK(output.find(row) != std::string_view::npos);
    }

    tUserInfo info{};
    const int details = ark::parse_user_details(output, &info);
    FUZZ_CHECK(details >= -1 && details <= 1);
    FUZZ_CHECK(std::strlen(info.cpFullUserName) <= 99 && std::strlen(info.cpMailAddr) <= 99);
    if (details == -1) {
        FUZZ_CHECK(lines.empty() || lines[0].find("Unable to show user details, user not found.") != std::string::npos);
        FUZZ_CHECK(!info.cpFullUserName[0] && !info.cpMailAddr[0]);
    }
    if (details != -1) {
        // Rows are read until both values are known; a later row of the same
        // name replaces the value of an earlier one.
        std::string full_name, mail;
        bool has_full_name = false, has_mail = false;
        for (size_t i = 1; i < lines.size() && !(has_full_name && has_mail); ++i) {
            std::string value;
            if (lines[i].find("Fullname") != std::string::npos) {
                if (field_after_tab(lines[i], value)) {
                    full_name = value;
                    has_full_name = true;
                }
            } else if (lines[i].find("Emailaddress") != std::string::npos && field_after_tab(lines[i], value)) {
                mail = value;
                has_mail = true;
            }
        }
        FUZZ_CHECK(details == (has_full_name && has_mail ? 1 : 0));
        FUZZ_CHECK(fuzz::c_text(full_name) == info.cpFullUserName);
        FUZZ_CHECK(fuzz::c_text(mail) == info.cpMailAddr);
    }
    return 0;
}
