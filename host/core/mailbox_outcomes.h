// Which mailbox an "Error:" or "Warning:" message or a failed item concerns,
// and for each mailbox that drew one its first reason, for the summary.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace host {

// The mailbox whose export file an item is: "DIR/NAME.data.zbk" and
// "DIR/NAME.index.zbk" give NAME, the public store's "Public.*" files give
// PUBLIC_FOLDER; nothing for other names.
std::optional<std::string> mailbox_of_item(std::string_view item);

// The mailbox a message of the plug-in or of the host names, if any.
std::optional<std::string> mailbox_named_in(std::string_view message);

struct MailboxOutcome {
    std::string mailbox;
    bool failed = false; // an "Error:" concerned it; otherwise a "Warning:" did
    std::string reason;  // the first such message
};

class MailboxOutcomes {
public:
    static MailboxOutcomes &get();

    // An "Error:" or "Warning:" message; others are ignored.
    void message(std::string_view text);
    // An item that failed, with the message that says why.
    void item_failed(std::string_view item, std::string_view reason);

    // The mailboxes in the order they first drew a message.
    std::vector<MailboxOutcome> outcomes() const;

private:
    void note(const std::string &mailbox, bool error, std::string_view reason);

    struct Entry {
        size_t order;
        std::string first_error;
        std::string first_warning;
    };
    std::unordered_map<std::string, Entry> entries_;
};

} // namespace host
