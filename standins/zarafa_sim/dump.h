// Canonical listing of one mailbox: account, folders, message keys and
// checksums, in an order that does not depend on how the mailbox was built,
// so a mailbox compares equal before an export and after its restore.
#pragma once

#include "mailbox.h"
#include "store.h"

#include <optional>
#include <string>

namespace zsim {

std::string dump_mailbox(const MailboxId &id, const std::optional<Account> &account, const Mailbox &mailbox);

} // namespace zsim
