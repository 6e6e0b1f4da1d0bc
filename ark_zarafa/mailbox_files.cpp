// Names of a mailbox's export files.
#include "mailbox_files.h"

#include <unordered_set>

namespace ark {

namespace {

std::unordered_set<std::string> g_operation_stems;

} // namespace

void remember_operation_mailboxes(const std::vector<std::string> &mailboxes) {
    g_operation_stems.clear();
    for (const std::string &m : mailboxes)
        g_operation_stems.insert(mailbox_file_stem(m));
}

bool is_other_mailboxs_own_file(std::string_view mailbox, std::string_view file_name) {
    for (std::string_view suffix : {std::string_view(".index.zbk"), std::string_view(".data.zbk")}) {
        if (file_name.size() <= suffix.size() || !file_name.ends_with(suffix))
            continue;
        const std::string stem(file_name.substr(0, file_name.size() - suffix.size()));
        return stem != mailbox_file_stem(mailbox) && g_operation_stems.count(stem) != 0;
    }
    return false;
}

std::string mailbox_file_stem(std::string_view mailbox) {
    return mailbox == kPublicFolder ? std::string("Public") : std::string(mailbox);
}

std::string index_file_name(std::string_view mailbox) { return mailbox_file_stem(mailbox) + ".index.zbk"; }

std::string data_file_name(std::string_view mailbox) { return mailbox_file_stem(mailbox) + ".data.zbk"; }

std::string_view file_name_of(std::string_view path) {
    const size_t slash = path.rfind('/');
    return slash == std::string_view::npos ? path : path.substr(slash + 1);
}

std::string_view directory_of(std::string_view path) {
    const size_t slash = path.rfind('/');
    return slash == std::string_view::npos ? std::string_view() : path.substr(0, slash + 1);
}

bool belongs_to_mailbox(std::string_view path, std::string_view mailbox) {
    const std::string prefix = mailbox_file_stem(mailbox) + ".";
    return file_name_of(path).starts_with(prefix);
}

} // namespace ark
