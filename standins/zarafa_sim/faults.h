// Injected faults, for tests of how the plug-in copes with a failing server.
// ZARAFA_SIM_FAULT holds comma-separated items, each a fault name alone (it
// hits every mailbox) or "NAME:SCOPE" (it hits one mailbox, named by its
// login or "Public"; for restore-key, one record key).
#pragma once

#include "store.h"

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace zsim {

class Faults {
public:
    // Names no fault it does not know silently: a typing error in a test
    // would otherwise pass as "no fault".
    static Faults from_environment();

    bool active(std::string_view name, std::string_view scope) const;
    bool active(std::string_view name, const MailboxId &mailbox) const;
    // A fault given without scope.
    bool active_everywhere(std::string_view name) const;

private:
    struct Item {
        std::string name;
        std::optional<std::string> scope;
    };
    std::vector<Item> items_;
};

} // namespace zsim
