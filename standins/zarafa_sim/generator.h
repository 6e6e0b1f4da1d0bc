// Deterministic test content: a whole store (populate) or further messages
// in one mailbox. The same seed on the same store gives byte-identical files.
#pragma once

#include "store.h"

#include <cstdint>

namespace zsim {

struct PopulatePlan {
    std::size_t users = 10;
    std::size_t folders = 5;  // per mailbox
    std::size_t messages = 5; // per folder
    std::uint64_t seed = 1;
};

// With the lock held, on an empty store: users "user0001" and on, and the
// public store, each with the folders and messages of the plan.
void populate(Store &store, const PopulatePlan &plan);

// With the lock held: `count` messages spread over the mailbox's folders
// (an "Inbox" is made when it has none). Returns the keys added.
std::vector<std::string> add_messages(Store &store, const MailboxId &id, std::size_t count, std::uint64_t seed);

} // namespace zsim
