#include "dump.h"

#include "checksum.h"
#include "folder_tree.h"
#include "text_codec.h"

#include <algorithm>
#include <map>

namespace zsim {

std::string dump_mailbox(const MailboxId &id, const std::optional<Account> &account, const Mailbox &mailbox) {
    std::string out;
    if (id.is_public) {
        out += "mailbox public\n";
    } else {
        out += "mailbox user " + escape_text(id.login) + "\n";
        out += "fullname " + escape_text(account ? account->fullname : "") + "\n";
        out += "email " + escape_text(account ? account->email : "") + "\n";
    }
    // The root key belongs to the account, not to its contents: a mailbox
    // restored into a re-created account is the same mailbox under a new
    // root, so top-level folders show "parent root".

    std::map<std::string_view, std::vector<const Message *>> by_folder;
    for (const Message &m : mailbox.messages())
        by_folder[m.folder].push_back(&m);
    for (auto &[folder, list] : by_folder)
        std::sort(list.begin(), list.end(), [](const Message *a, const Message *b) { return a->key < b->key; });
    auto list_messages = [&](std::string_view folder) {
        const auto it = by_folder.find(folder);
        if (it == by_folder.end())
            return;
        for (const Message *m : it->second)
            out += "  message " + m->key + " size " + std::to_string(m->payload.size()) + " checksum " +
                   checksum(m->payload) + "\n";
        by_folder.erase(it);
    };

    std::vector<FolderLink> links;
    for (const Folder &f : mailbox.folders())
        links.push_back({f.key, f.parent});
    for (const TreePosition &pos : tree_order(links, mailbox.root())) {
        const Folder &f = mailbox.folders()[pos.index];
        const std::string parent = f.parent == mailbox.root() ? std::string("root") : f.parent;
        out += "folder " + f.key + " parent " + parent + " depth " + std::to_string(pos.depth) + " name " +
               escape_text(f.name) + "\n";
        list_messages(f.key);
    }
    // Messages whose folder is missing would be lost silently otherwise.
    while (!by_folder.empty()) {
        out += "lost folder " + std::string(by_folder.begin()->first) + "\n";
        list_messages(by_folder.begin()->first);
    }
    return out;
}

} // namespace zsim
