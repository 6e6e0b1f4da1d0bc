#include "mailbox_import.h"

#include <unordered_set>

namespace zsim {

Importer::Importer(const IndexFile &index, const DataFile &data, Mailbox &mailbox, const Faults &faults)
    : index_(index), data_(data), mailbox_(mailbox), faults_(faults) {
    for (const IndexFolder &f : index.folders) {
        if (!folders_.emplace(f.key, &f).second)
            continue; // a repeated record counts once
        children_[f.parent].push_back(&f);
    }
    for (const IndexMessage &m : index.messages) {
        if (!messages_.emplace(m.key, &m).second)
            continue;
        held_[m.folder].push_back(&m);
    }
}

std::string Importer::mailbox_parent(const std::string &index_parent) const {
    // The mailbox may have a new root (the account was made again): what sat
    // below the exported root goes below the current one.
    return index_parent == index_.root ? mailbox_.root() : index_parent;
}

bool Importer::ensure_folder(const std::string &key) {
    if (key == index_.root || mailbox_.has_folder(key))
        return true;
    // The chain of missing folders up to one that exists (or the root).
    std::vector<const IndexFolder *> chain;
    std::unordered_set<std::string> seen;
    std::string current = key;
    while (current != index_.root && !mailbox_.has_folder(current)) {
        const auto it = folders_.find(current);
        if (it == folders_.end() || !seen.insert(current).second) {
            if (chain.empty()) {
                report_.errors.push_back("folder " + key + " is not in the index file");
                return false;
            }
            report_.warnings.push_back("the parent of folder " + chain.back()->key +
                                       " is not in the index file; the folder goes below the root");
            break;
        }
        chain.push_back(it->second);
        current = it->second->parent;
    }
    for (auto f = chain.rbegin(); f != chain.rend(); ++f) {
        std::string parent = mailbox_parent((*f)->parent);
        if (parent != mailbox_.root() && !mailbox_.has_folder(parent))
            parent = mailbox_.root();
        mailbox_.add_folder({(*f)->key, std::move(parent), (*f)->name});
        ++report_.folders_restored;
    }
    return true;
}

void Importer::restore_message(const IndexMessage &record, bool single) {
    if (mailbox_.has_message(record.key)) {
        ++report_.already_present;
        return;
    }
    const auto text = data_.message(record);
    if (!text) {
        if (record.generation != data_.generation()) {
            if (single)
                report_.errors.push_back("message " + record.key + " is in the data file of export generation " +
                                         std::to_string(record.generation) + ", not in this one (generation " +
                                         std::to_string(data_.generation()) + ")");
            else
                ++report_.other_generation;
        } else {
            report_.errors.push_back("message " + record.key + " is not in this data file");
        }
        return;
    }
    if (!ensure_folder(record.folder))
        return;
    mailbox_.add_message({record.key, mailbox_parent(record.folder), std::string(*text)});
    ++report_.messages_restored;
}

void Importer::restore_folder_messages(const std::string &folder) {
    const auto it = held_.find(folder);
    if (it == held_.end())
        return;
    for (const IndexMessage *m : it->second)
        restore_message(*m, false);
}

void Importer::restore(const std::string &key, bool recursive) {
    if (faults_.active("restore-key", key)) {
        report_.errors.push_back("record " + key + " cannot be restored (injected fault)");
        return;
    }
    if (const auto m = messages_.find(key); m != messages_.end() && !folders_.count(key)) {
        restore_message(*m->second, true);
        return;
    }
    if (key != index_.root && !folders_.count(key)) {
        report_.errors.push_back("record key " + key + " is not in the index file");
        return;
    }
    // Work list instead of recursion: the depth of a tree in a damaged
    // index file is not bounded.
    std::vector<std::string> pending{key};
    std::unordered_set<std::string> visited;
    while (!pending.empty()) {
        const std::string folder = std::move(pending.back());
        pending.pop_back();
        if (!visited.insert(folder).second || !ensure_folder(folder))
            continue;
        restore_folder_messages(folder);
        if (!recursive && folder != index_.root)
            continue;
        if (const auto it = children_.find(folder); it != children_.end())
            for (auto child = it->second.rbegin(); child != it->second.rend(); ++child)
                pending.push_back((*child)->key);
    }
}

} // namespace zsim
