#include "chain.h"

#include <algorithm>
#include <map>
#include <set>
#include <string_view>

#include "report.h"

namespace dbhost {
namespace {

constexpr std::string_view public_mailbox = "PUBLIC_FOLDER";

struct Held {
    bool index = false;
    bool data = false;
    bool whole() const { return index && data; }
};

// What each mailbox has in one save set: only the items that its manifest
// confirms whole count.
std::map<std::string, Held> held_by(const SaveSet &set) {
    std::map<std::string, Held> held;
    for (size_t i = 0; i < set.manifest.confirmed; ++i) {
        const ManifestItem &item = set.manifest.items[i];
        auto mailbox = mailbox_of_item(item.name);
        if (!mailbox)
            continue;
        Held &h = held[*mailbox];
        if (item.name.ends_with(".index.zbk"))
            h.index = true;
        else
            h.data = true;
    }
    return held;
}

MailboxChain chain_of(const std::string &mailbox, const std::vector<SaveSet> &sets,
                      const std::vector<std::map<std::string, Held>> &held) {
    auto has = [&](size_t i) { return held[i].count(mailbox) > 0; };
    auto whole = [&](size_t i) {
        auto it = held[i].find(mailbox);
        return it != held[i].end() && it->second.whole();
    };
    MailboxChain chain;
    chain.mailbox = mailbox;
    std::optional<size_t> full;
    for (size_t i = sets.size(); i-- > 0;) {
        if (sets[i].manifest.level == "FULL" && whole(i)) {
            full = i;
            break;
        }
    }
    if (!full) {
        for (size_t i = 0; i < sets.size(); ++i)
            if (has(i))
                chain.sets.push_back(i);
        return chain;
    }
    chain.from_whole_full = true;
    chain.sets.push_back(*full);
    size_t from = *full + 1;
    for (size_t i = sets.size(); i-- > from;) {
        if (sets[i].manifest.level == "DIFF" && whole(i)) {
            chain.sets.push_back(i);
            from = i + 1;
            break;
        }
    }
    for (size_t i = from; i < sets.size(); ++i)
        if (has(i))
            chain.sets.push_back(i);
    return chain;
}

} // namespace

std::optional<std::string> mailbox_of_item(const std::string &item) {
    const std::string name = fs::path(item).filename().string();
    for (std::string_view suffix : {".index.zbk", ".data.zbk"}) {
        if (name.size() > suffix.size() && name.ends_with(suffix)) {
            std::string stem = name.substr(0, name.size() - suffix.size());
            return stem == "Public" ? std::string(public_mailbox) : stem;
        }
    }
    return std::nullopt;
}

bool earlier_backup(const SaveSet &a, const SaveSet &b) {
    const Manifest &x = a.manifest, &y = b.manifest;
    if (x.sequence && y.sequence)
        return x.sequence < y.sequence;
    if (x.created != y.created)
        return x.created < y.created;
    return x.saveset < y.saveset;
}

std::vector<std::string> JobChain::mailboxes_of_set(size_t i) const {
    std::vector<std::string> names;
    for (const MailboxChain &chain : mailboxes)
        if (std::find(chain.sets.begin(), chain.sets.end(), i) != chain.sets.end())
            names.push_back(chain.mailbox);
    return names;
}

bool JobChain::uses(size_t set, const std::string &mailbox) const {
    for (const MailboxChain &chain : mailboxes)
        if (chain.mailbox == mailbox)
            return std::find(chain.sets.begin(), chain.sets.end(), set) != chain.sets.end();
    return false;
}

JobChain plan_job_chain(std::vector<SaveSet> sets, const std::vector<std::string> &requested) {
    std::stable_sort(sets.begin(), sets.end(), earlier_backup);
    std::vector<std::map<std::string, Held>> held;
    std::set<std::string> every;
    for (const SaveSet &set : sets) {
        held.push_back(held_by(set));
        for (const auto &[mailbox, h] : held.back())
            every.insert(mailbox);
    }
    // The mailboxes to chain, each once, in the order they were asked for;
    // "ALL" and "ALL_USERS" stand for what the save sets hold.
    std::vector<std::string> wanted;
    auto want = [&](const std::string &m) {
        if (std::find(wanted.begin(), wanted.end(), m) == wanted.end())
            wanted.push_back(m);
    };
    std::vector<std::string> asked = requested.empty() ? std::vector<std::string>{"ALL"} : requested;
    for (const std::string &m : asked) {
        if (m == "ALL" || m == "ALL_USERS") {
            for (const std::string &held_mailbox : every)
                if (m == "ALL" || held_mailbox != public_mailbox)
                    want(held_mailbox);
        } else {
            want(m);
        }
    }
    JobChain job;
    for (const std::string &m : wanted) {
        MailboxChain chain = chain_of(m, sets, held);
        if (chain.sets.empty())
            job.not_held.push_back(m);
        else
            job.mailboxes.push_back(std::move(chain));
    }
    job.sets = std::move(sets);
    return job;
}

std::vector<SaveSet> job_savesets(const fs::path &store, const std::string &job, std::vector<std::string> &problems) {
    std::vector<SaveSet> sets;
    for (SaveSet &set : read_store(store, problems))
        if (set.manifest.job == job)
            sets.push_back(std::move(set));
    if (sets.empty())
        throw StoreError("the store " + store.string() + " holds no save set of the job \"" + printable(job) + "\"");
    return sets;
}

} // namespace dbhost
