// validate: reads a dump from standard input and checks that it is a whole
// pax archive of the plug-in's files, each mailbox with its index and data
// file.
#include <archive.h>
#include <archive_entry.h>

#include <iostream>
#include <map>
#include <memory>

#include "commands.h"
#include "item_name.h"
#include "mailbox_outcomes.h"
#include "printable.h"

namespace amanda_app {

int run_validate(const AppOptions &) {
    struct archive *a = archive_read_new();
    std::unique_ptr<struct archive, int (*)(struct archive *)> holder(a, archive_read_free);
    archive_read_support_format_tar(a);
    auto problem = [&](const std::string &text) {
        std::cerr << "amarkzarafa validate: " << text << std::endl;
        return 1;
    };
    if (archive_read_open_fd(a, 0, 1 << 16) != ARCHIVE_OK)
        return problem(std::string("not an archive: ") + archive_error_string(a));
    struct Files {
        bool index = false, data = false;
    };
    std::map<std::string, Files> mailboxes;
    uint64_t members = 0;
    for (;;) {
        struct archive_entry *entry = nullptr;
        int r = archive_read_next_header(a, &entry);
        if (r == ARCHIVE_EOF)
            break;
        if (r != ARCHIVE_OK)
            return problem("the archive is damaged or cut short after " + std::to_string(members) +
                           " members: " + (archive_error_string(a) ? archive_error_string(a) : "unknown error"));
        const std::string name = archive_entry_pathname(entry) ? archive_entry_pathname(entry) : "";
        if (archive_entry_filetype(entry) != AE_IFREG)
            return problem("member " + host::printable(name) + " is not a file");
        if (auto why = host::item_name_problem(name))
            return problem("member " + host::printable(name) + ": " + *why);
        auto mailbox = host::mailbox_of_item(name);
        if (!mailbox)
            return problem("member " + host::printable(name) + " is neither an index nor a data file");
        (name.ends_with(".index.zbk") ? mailboxes[*mailbox].index : mailboxes[*mailbox].data) = true;
        // Reading the data checks the member is whole.
        const void *block;
        size_t size;
        la_int64_t offset;
        while ((r = archive_read_data_block(a, &block, &size, &offset)) == ARCHIVE_OK) {
        }
        if (r != ARCHIVE_EOF)
            return problem("member " + host::printable(name) + " is cut short: " +
                           (archive_error_string(a) ? archive_error_string(a) : "unknown error"));
        ++members;
    }
    for (const auto &[mailbox, files] : mailboxes)
        if (!files.index || !files.data)
            return problem("mailbox " + host::printable(mailbox) + " has its " + (files.index ? "index" : "data") +
                           " file but not its " + (files.index ? "data" : "index") + " file");
    return 0;
}

} // namespace amanda_app
