#include "mailbox_export.h"

#include "data_file.h"
#include "file_io.h"
#include "index_file.h"
#include "sim_error.h"

#include <signal.h>
#include <unistd.h>

#include <iostream>
#include <optional>
#include <unordered_map>
#include <unordered_set>

namespace zsim {

namespace {

// The earlier index of the same mailbox, or nothing when there is none or it
// cannot be trusted (then every message is exported again).
std::optional<IndexFile> earlier_index(const fs::path &path, const IndexFile &fresh) {
    if (!fs::exists(path))
        return std::nullopt;
    ParsedIndex parsed;
    try {
        parsed = parse_index(read_file(path), path.string());
    } catch (const SimError &e) {
        std::cerr << "Warning: " << e.what() << "; exporting every message\n";
        return std::nullopt;
    }
    for (const std::string &problem : parsed.problems)
        std::cerr << "Warning: " << problem << "; its record is exported again\n";
    if (parsed.index.login != fresh.login || parsed.index.is_public != fresh.is_public ||
        parsed.index.root != fresh.root) {
        std::cerr << "Warning: " << path.string()
                  << " belongs to another mailbox (or to an earlier one of this name); exporting every message\n";
        return std::nullopt;
    }
    return std::move(parsed.index);
}

} // namespace

ExportResult export_mailbox(const Store &store, const MailboxId &id, const fs::path &dir, const Faults &faults) {
    IndexFile index;
    index.is_public = id.is_public;
    index.login = id.is_public ? "public" : id.login;
    if (!id.is_public) {
        const auto account = store.find_account(id.login);
        if (!account)
            throw SimError(id.describe() + " not found");
        index.fullname = account->fullname;
        index.email = account->email;
    }
    const Mailbox mailbox = store.load_mailbox(id);
    index.root = mailbox.root();

    ExportResult result;
    if (faults.active("backup-no-files", id))
        return result;

    const fs::path index_path = dir / (id.file_prefix() + ".index.zbk");
    const fs::path data_path = dir / (id.file_prefix() + ".data.zbk");
    const std::optional<IndexFile> old = earlier_index(index_path, index);
    index.generation = old ? old->generation + 1 : 1;

    std::unordered_map<std::string, const IndexMessage *> known;
    if (old)
        for (const IndexMessage &m : old->messages)
            known.emplace(m.key, &m);

    std::unordered_set<std::string> listed_folders;
    for (const Folder &f : mailbox.folders()) {
        index.folders.push_back({f.key, f.parent, f.name});
        listed_folders.insert(f.key);
    }
    DataFileWriter data(index.generation, index.login);
    std::unordered_set<std::string> listed_messages;
    for (const Message &m : mailbox.messages()) {
        const auto it = known.find(m.key);
        IndexMessage record = it != known.end() ? *it->second : data.add(m.key, m.payload);
        if (it == known.end())
            ++result.new_messages;
        record.folder = m.folder;
        index.messages.push_back(std::move(record));
        listed_messages.insert(m.key);
    }
    // Records that are gone from the store stay known: an index lists
    // everything that the job's exports hold.
    if (old) {
        for (const IndexFolder &f : old->folders)
            if (listed_folders.insert(f.key).second)
                index.folders.push_back(f);
        for (const IndexMessage &m : old->messages)
            if (listed_messages.insert(m.key).second)
                index.messages.push_back(m);
    }

    if (faults.active("backup-half-data", id)) {
        write_file_direct(data_path, std::string_view(data.bytes()).substr(0, data.bytes().size() / 2));
        std::cout.flush();
        ::kill(::getpid(), SIGKILL);
    }
    write_file_atomic(data_path, data.bytes());
    result.wrote_files = true;
    result.generation = index.generation;
    result.folders = index.folders.size();
    result.messages = index.messages.size();
    if (faults.active("backup-data-only", id))
        return result;
    const std::string text = render_index(index);
    if (faults.active("backup-truncated-index", id))
        write_file_direct(index_path, std::string_view(text).substr(0, text.size() / 2));
    else
        write_file_atomic(index_path, text);
    return result;
}

} // namespace zsim
