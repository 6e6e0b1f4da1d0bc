// One mailbox (a user's store or the public store): a root, a folder tree and
// messages, each with its record key; and the line format of its store file.
#pragma once

#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

namespace zsim {

struct Folder {
    std::string key;
    std::string parent; // the mailbox root for a top-level folder
    std::string name;
};

struct Message {
    std::string key;
    std::string folder;
    std::string payload; // headers, a blank line, the body
};

class Mailbox {
public:
    explicit Mailbox(std::string root = {}) : root_(std::move(root)) {}

    const std::string &root() const { return root_; }
    const std::vector<Folder> &folders() const { return folders_; }
    const std::vector<Message> &messages() const { return messages_; }

    const Folder *find_folder(const std::string &key) const;
    bool has_folder(const std::string &key) const { return folder_at_.count(key) != 0; }
    bool has_message(const std::string &key) const { return message_keys_.count(key) != 0; }

    // Callers check first: a key is stored once.
    void add_folder(Folder folder);
    void add_message(Message message);

private:
    std::string root_;
    std::vector<Folder> folders_;
    std::vector<Message> messages_;
    std::unordered_map<std::string, std::size_t> folder_at_;
    std::unordered_set<std::string> message_keys_;
};

std::string render_mailbox(const Mailbox &mailbox);
// Throws SimError naming `origin` when the text is not a mailbox file.
Mailbox parse_mailbox(std::string_view text, const std::string &origin);

} // namespace zsim
