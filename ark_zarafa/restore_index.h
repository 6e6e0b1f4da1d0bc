// Indexes beside the restore's two lists (the pending mailboxes and the
// received paths), so that each DB_SetItem and DB_ItemFinishStatus costs
// what it acts on rather than the length of the lists. The lists stay as
// they are, for everything else that walks them; the index records the list
// versions it matches and rebuilds itself from the lists whenever they were
// changed behind its back.
#pragma once

#include <cstdint>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "list.h"

namespace ark {

class RestoreIndex {
public:
    // A pending mailbox: its list record, its name, and its place in the
    // pending list (orders grow along the list).
    struct Mailbox {
        LIST_ITEM *item = nullptr;
        std::string name;
        bool pending = false;
    };

    // The first pending mailbox, in list order, that a received file of this
    // name belongs to ("STEM." begins the name); nullptr when there is none.
    const Mailbox *owner_of(LIST_INFO *users, LIST_INFO *files, std::string_view file_name);

    // Records a path that DB_SetItem has just appended to the received list.
    void received(LIST_INFO *users, LIST_INFO *files, std::string_view path);

    // The pending mailboxes whose index file has arrived and that have not
    // been acted on since, in list order.
    std::vector<size_t> ready(LIST_INFO *users, LIST_INFO *files);
    const Mailbox &mailbox(size_t order) const { return mailboxes_[order]; }

    // The last received path whose file name is file_name, if any.
    std::optional<std::string> last_path(std::string_view file_name) const;

    // The mailbox has been acted on: it stays pending but is not ready again
    // until its index file arrives once more.
    void acted_on(size_t order);
    // Undoes acted_on: the mailbox is ready again, for the next call to try.
    void again(size_t order);
    // The pending mailbox of that name, synced with the lists first.
    std::optional<size_t> pending_named(LIST_INFO *users, LIST_INFO *files, std::string_view name);
    // Removes the mailbox from the pending list; false when the list
    // refused.
    bool remove(LIST_INFO *users, size_t order);

    void reset();

private:
    void sync(LIST_INFO *users, LIST_INFO *files);
    void rebuild_users(LIST_INFO *users);
    void rebuild_files(LIST_INFO *files);
    void note_path(std::string_view path);
    void unlist(size_t order);

    LIST_INFO *users_ = nullptr, *files_ = nullptr;
    uint64_t users_version_ = 0, files_version_ = 0;
    std::vector<Mailbox> mailboxes_;
    std::vector<size_t> previous_, next_; // neighbours among pending mailboxes
    std::unordered_map<std::string, std::vector<size_t>> by_stem_;
    std::unordered_map<std::string, std::string> last_path_;
    std::set<size_t> ready_;
};

// The index of the restore item loop; reset with the operation state.
RestoreIndex &restore_index();

} // namespace ark
