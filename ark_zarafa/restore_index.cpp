// Indexes beside the restore's lists of pending mailboxes and received paths.
#include "restore_index.h"

#include <algorithm>
#include <cstring>

#include "fifo_strings.h"
#include "list_version.h"
#include "mailbox_files.h"

namespace ark {

namespace {

constexpr size_t kNone = static_cast<size_t>(-1);
constexpr std::string_view kIndexSuffix = ".index.zbk";

// A list the index can trust to announce its changes: one made by
// CreateFIFOList. Any other is read again on every call.
bool unchanged(const LIST_INFO *list, const LIST_INFO *known, uint64_t known_version) {
    const uint64_t version = fifo_list_version(list);
    return list == known && version != 0 && version == known_version;
}

} // namespace

void RestoreIndex::reset() {
    users_ = files_ = nullptr;
    users_version_ = files_version_ = 0;
    mailboxes_.clear();
    previous_.clear();
    next_.clear();
    by_stem_.clear();
    last_path_.clear();
    ready_.clear();
}

void RestoreIndex::sync(LIST_INFO *users, LIST_INFO *files) {
    const bool users_changed = !unchanged(users, users_, users_version_);
    const bool files_changed = !unchanged(files, files_, files_version_);
    if (files_changed)
        rebuild_files(files);
    if (users_changed)
        rebuild_users(users);
    if (!users_changed && !files_changed)
        return;
    // Which mailboxes were already acted on is not known after a rebuild:
    // every pending mailbox with an index file counts as ready.
    ready_.clear();
    for (size_t order = 0; order < mailboxes_.size(); ++order)
        if (mailboxes_[order].pending && last_path_.count(index_file_name(mailboxes_[order].name)))
            ready_.insert(order);
}

void RestoreIndex::rebuild_users(LIST_INFO *users) {
    users_ = users;
    users_version_ = fifo_list_version(users);
    mailboxes_.clear();
    by_stem_.clear();
    previous_.clear();
    next_.clear();
    if (!users)
        return;
    for (LIST_ITEM *item = users->spFirstItem; item; item = item->spNextItem) {
        const size_t order = mailboxes_.size();
        mailboxes_.push_back({item, std::string(item_text(item)), true});
        by_stem_[mailbox_file_stem(mailboxes_.back().name)].push_back(order);
        previous_.push_back(order == 0 ? kNone : order - 1);
        next_.push_back(order + 1);
    }
    if (!next_.empty())
        next_.back() = kNone;
}

void RestoreIndex::rebuild_files(LIST_INFO *files) {
    files_ = files;
    files_version_ = fifo_list_version(files);
    last_path_.clear();
    if (!files)
        return;
    for (const LIST_ITEM *item = files->spFirstItem; item; item = item->spNextItem)
        note_path(item_text(item));
}

void RestoreIndex::note_path(std::string_view path) {
    const std::string_view name = file_name_of(path);
    if (!name.empty())
        last_path_.insert_or_assign(std::string(name), std::string(path));
}

const RestoreIndex::Mailbox *RestoreIndex::owner_of(LIST_INFO *users, LIST_INFO *files,
                                                   std::string_view file_name) {
    sync(users, files);
    size_t first = kNone;
    // Every "STEM." that begins the name, from the shortest.
    for (size_t dot = file_name.find('.'); dot != std::string_view::npos; dot = file_name.find('.', dot + 1)) {
        const auto found = by_stem_.find(std::string(file_name.substr(0, dot)));
        if (found != by_stem_.end() && !found->second.empty())
            first = std::min(first, found->second.front());
    }
    return first == kNone ? nullptr : &mailboxes_[first];
}

void RestoreIndex::received(LIST_INFO *users, LIST_INFO *files, std::string_view path) {
    // Only the caller's own append happened since the last lookup; anything
    // else makes the next lookup rebuild.
    const bool appended_only = users == users_ && files == files_ && files && files->spLastItem &&
                               item_text(files->spLastItem) == path;
    if (!appended_only) {
        files_version_ = 0;
        return;
    }
    files_version_ = fifo_list_version(files);
    note_path(path);
    const std::string_view name = file_name_of(path);
    if (!name.ends_with(kIndexSuffix))
        return;
    const auto found = by_stem_.find(std::string(name.substr(0, name.size() - kIndexSuffix.size())));
    if (found == by_stem_.end())
        return;
    // A mailbox is ready when its own index name arrives; the stem of the
    // public store is "Public", so "Public.index.zbk" readies it.
    for (const size_t order : found->second)
        if (index_file_name(mailboxes_[order].name) == name)
            ready_.insert(order);
}

std::vector<size_t> RestoreIndex::ready(LIST_INFO *users, LIST_INFO *files) {
    sync(users, files);
    return {ready_.begin(), ready_.end()};
}

std::optional<std::string> RestoreIndex::last_path(std::string_view file_name) const {
    const auto found = last_path_.find(std::string(file_name));
    if (found == last_path_.end())
        return std::nullopt;
    return found->second;
}

void RestoreIndex::acted_on(size_t order) { ready_.erase(order); }

void RestoreIndex::again(size_t order) {
    if (order < mailboxes_.size() && mailboxes_[order].pending)
        ready_.insert(order);
}

std::optional<size_t> RestoreIndex::pending_named(LIST_INFO *users, LIST_INFO *files, std::string_view name) {
    sync(users, files);
    const auto found = by_stem_.find(mailbox_file_stem(name));
    if (found == by_stem_.end())
        return std::nullopt;
    for (const size_t order : found->second)
        if (mailboxes_[order].pending && mailboxes_[order].name == name)
            return order;
    return std::nullopt;
}

bool RestoreIndex::remove(LIST_INFO *users, size_t order) {
    if (order >= mailboxes_.size() || !mailboxes_[order].pending || !unchanged(users, users_, users_version_)) {
        users_version_ = 0;
        return false;
    }
    const size_t before = previous_[order];
    LIST_ITEM *previous_item = before == kNone ? nullptr : mailboxes_[before].item;
    if (!unlink_fifo_item(users, previous_item, mailboxes_[order].item)) {
        users_version_ = 0;
        return false;
    }
    users_version_ = fifo_list_version(users);
    unlist(order);
    return true;
}

void RestoreIndex::unlist(size_t order) {
    Mailbox &mailbox = mailboxes_[order];
    mailbox.pending = false;
    const size_t before = previous_[order], after = next_[order];
    if (before != kNone)
        next_[before] = after;
    if (after != kNone)
        previous_[after] = before;
    auto &same_stem = by_stem_[mailbox_file_stem(mailbox.name)];
    same_stem.erase(std::find(same_stem.begin(), same_stem.end(), order));
    ready_.erase(order);
}

RestoreIndex &restore_index() {
    static RestoreIndex index;
    return index;
}

} // namespace ark
