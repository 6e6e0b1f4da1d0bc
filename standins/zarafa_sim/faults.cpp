#include "faults.h"

#include "file_io.h"

#include <algorithm>
#include <array>
#include <cstdlib>
#include <iostream>

namespace zsim {

namespace {

constexpr std::array<std::string_view, 11> known_faults = {
    "backup-exit",   "backup-no-files", "backup-data-only", "backup-truncated-index", "backup-half-data",
    "admin-empty",   "admin-garbage",   "admin-blank-row",  "restore-fail",           "restore-key",
    "backup-hold",
};

} // namespace

Faults Faults::from_environment() {
    Faults faults;
    const char *env = std::getenv("ZARAFA_SIM_FAULT");
    if (!env)
        return faults;
    for (std::string_view item : split(env, ',')) {
        if (item.empty())
            continue;
        const std::size_t colon = item.find(':');
        Item parsed{std::string(item.substr(0, colon)), std::nullopt};
        if (colon != std::string_view::npos)
            parsed.scope = std::string(item.substr(colon + 1));
        if (std::find(known_faults.begin(), known_faults.end(), parsed.name) == known_faults.end()) {
            std::cerr << "Warning: unknown fault \"" << parsed.name << "\" in ZARAFA_SIM_FAULT ignored\n";
            continue;
        }
        faults.items_.push_back(std::move(parsed));
    }
    return faults;
}

bool Faults::active(std::string_view name, std::string_view scope) const {
    return std::any_of(items_.begin(), items_.end(),
                       [&](const Item &i) { return i.name == name && (!i.scope || *i.scope == scope); });
}

bool Faults::active(std::string_view name, const MailboxId &mailbox) const {
    if (!mailbox.is_public)
        return active(name, mailbox.login);
    return active(name, std::string_view("Public")) || active(name, std::string_view("public"));
}

bool Faults::active_everywhere(std::string_view name) const {
    return std::any_of(items_.begin(), items_.end(), [&](const Item &i) { return i.name == name && !i.scope; });
}

} // namespace zsim
