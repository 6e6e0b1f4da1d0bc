#include "mailbox.h"

#include "file_io.h"
#include "sim_error.h"
#include "text_codec.h"

namespace zsim {

namespace {

constexpr std::string_view magic = "zarafa-sim-mailbox 1";

} // namespace

const Folder *Mailbox::find_folder(const std::string &key) const {
    const auto it = folder_at_.find(key);
    return it == folder_at_.end() ? nullptr : &folders_[it->second];
}

void Mailbox::add_folder(Folder folder) {
    folder_at_.emplace(folder.key, folders_.size());
    folders_.push_back(std::move(folder));
}

void Mailbox::add_message(Message message) {
    message_keys_.insert(message.key);
    messages_.push_back(std::move(message));
}

std::string render_mailbox(const Mailbox &mailbox) {
    std::string out;
    out.append(magic).append("\nroot ").append(mailbox.root()).append("\n");
    for (const Folder &f : mailbox.folders())
        out.append("F\t").append(f.key).append("\t").append(f.parent).append("\t")
            .append(escape_text(f.name)).append("\n");
    for (const Message &m : mailbox.messages())
        out.append("M\t").append(m.key).append("\t").append(m.folder).append("\t")
            .append(escape_text(m.payload)).append("\n");
    return out;
}

Mailbox parse_mailbox(std::string_view text, const std::string &origin) {
    const auto lines = split_lines(text);
    auto damaged = [&](std::size_t line) {
        return SimError("mailbox file " + origin + " is damaged at line " + std::to_string(line + 1));
    };
    if (lines.size() < 2 || lines[0] != magic || !lines[1].starts_with("root "))
        throw damaged(lines.size() < 2 ? lines.size() : (lines[0] != magic ? 0 : 1));
    const std::string_view root = lines[1].substr(5);
    if (!is_record_key(root))
        throw damaged(1);
    Mailbox mailbox{std::string(root)};
    for (std::size_t i = 2; i < lines.size(); ++i) {
        const auto fields = split(lines[i], '\t');
        if (fields.size() != 4 || !is_record_key(fields[1]) || !is_record_key(fields[2]))
            throw damaged(i);
        auto text_field = unescape_text(fields[3]);
        if (!text_field)
            throw damaged(i);
        if (fields[0] == "F")
            mailbox.add_folder({std::string(fields[1]), std::string(fields[2]), std::move(*text_field)});
        else if (fields[0] == "M")
            mailbox.add_message({std::string(fields[1]), std::string(fields[2]), std::move(*text_field)});
        else
            throw damaged(i);
    }
    return mailbox;
}

} // namespace zsim
