// Names of a mailbox's export files.
#include "mailbox_files.h"

namespace ark {

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
