// The chain of a job's restore: which save sets bring each mailbox back.
//
// Per mailbox, the chain starts at the last FULL save set that holds the
// mailbox whole (its index and its data file stored), and goes on with every
// later save set of the job that holds files of the mailbox, in backup
// order. A DIFF holds everything since the FULL before it, so the latest
// DIFF after that FULL that holds the mailbox whole stands for every save
// set between them. A mailbox that no FULL holds whole is restored from
// every save set of the job that holds files of it.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

#include "saveset_store.h"

namespace dbhost {

struct MailboxChain {
    std::string mailbox;     // a login, or "PUBLIC_FOLDER"
    std::vector<size_t> sets; // indexes into JobChain::sets, in backup order
    bool from_whole_full = false;
};

struct JobChain {
    std::vector<SaveSet> sets; // every save set of the job, in backup order
    std::vector<MailboxChain> mailboxes;
    // Requested mailboxes of which no save set of the job holds a file.
    std::vector<std::string> not_held;

    // The mailboxes whose chain uses save set i, in the order of mailboxes.
    std::vector<std::string> mailboxes_of_set(size_t i) const;
    bool uses(size_t set, const std::string &mailbox) const;
};

// The mailbox an item was exported from, by the names the plug-in gives its
// files ("NAME.index.zbk", "NAME.data.zbk", "Public" for the public store).
std::optional<std::string> mailbox_of_item(const std::string &item);

// True when earlier's backup came before later's.
bool earlier_backup(const SaveSet &earlier, const SaveSet &later);

// The chains of the requested mailboxes (logins, "PUBLIC_FOLDER", or "ALL"
// and "ALL_USERS" for every mailbox, or every user's, that the job's save
// sets hold; nothing requested means "ALL") over the job's save sets, which
// are sorted into backup order first.
JobChain plan_job_chain(std::vector<SaveSet> sets, const std::vector<std::string> &requested);

// The job's save sets read from the store; throws StoreError when it holds
// none.
std::vector<SaveSet> job_savesets(const fs::path &store, const std::string &job, std::vector<std::string> &problems);

} // namespace dbhost
