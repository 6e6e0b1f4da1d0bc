#include "generator.h"

#include "sim_error.h"

#include <array>
#include <cstdio>
#include <string_view>

namespace zsim {

namespace {

// splitmix64: small, fast and the same on every platform, unlike the
// standard distributions.
class Random {
public:
    explicit Random(std::uint64_t seed) : state_(seed) {}
    std::uint64_t next() {
        std::uint64_t z = (state_ += 0x9e3779b97f4a7c15ULL);
        z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
        z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
        return z ^ (z >> 31);
    }
    std::size_t below(std::size_t n) { return static_cast<std::size_t>(next() % n); }
    template <class T, std::size_t N> const T &pick(const std::array<T, N> &items) { return items[below(N)]; }

private:
    std::uint64_t state_;
};

constexpr std::array<std::string_view, 12> first_names = {
    "Anna", "Bernd", "Chloé", "David", "Elif", "Frank", "Greta", "Hiro", "Ines", "Jonas", "Katrin", "Luis"};
constexpr std::array<std::string_view, 12> last_names = {
    "Adler", "Berger", "Costa", "Dietrich", "Engel", "Fischer", "García", "Hoffmann", "Ivanova", "Jäger",
    "Keller", "Lindqvist"};
constexpr std::array<std::string_view, 4> standard_folders = {"Inbox", "Sent Items", "Drafts", "Deleted Items"};
constexpr std::array<std::string_view, 10> topics = {
    "Projects", "Customers", "Invoices: 2024", "Travel", "Reports", "Archive", "Team", "Suppliers", "Café",
    "Résumés"};
constexpr std::array<std::string_view, 24> words = {
    "budget",   "meeting", "report", "schedule", "invoice", "delivery", "review",  "draft",
    "contract", "offer",   "update", "question", "agenda",  "minutes",  "release", "server",
    "backup",   "restore", "team",   "quarter",  "plan",    "status",   "request", "summary"};
constexpr std::array<std::string_view, 4> subject_prefixes = {"", "Re: ", "Fwd: ", "AW: "};

std::string sentence(Random &rng, std::size_t min_words, std::size_t max_words) {
    const std::size_t n = min_words + rng.below(max_words - min_words + 1);
    std::string out;
    for (std::size_t i = 0; i < n; ++i) {
        if (i)
            out.push_back(' ');
        out.append(rng.pick(words));
    }
    return out;
}

std::string person(Random &rng) {
    return std::string(rng.pick(first_names)) + " " + std::string(rng.pick(last_names));
}

std::string message_text(Random &rng, std::string_view to) {
    char date[40];
    std::snprintf(date, sizeof date, "2024-%02zu-%02zu %02zu:%02zu:%02zu", 1 + rng.below(12), 1 + rng.below(28),
                  rng.below(24), rng.below(60), rng.below(60));
    std::string text = "Subject: " + std::string(rng.pick(subject_prefixes)) + sentence(rng, 2, 5) + "\n";
    text += "From: " + person(rng) + "\nTo: " + std::string(to) + "\nDate: " + date + "\n\n";
    const std::size_t lines = 1 + rng.below(3);
    for (std::size_t i = 0; i < lines; ++i)
        text += sentence(rng, 5, 10) + ".\n";
    return text;
}

// Fills an empty mailbox: the standard folders first, then topic folders
// below earlier folders or the root, so that there are subfolders to
// restore recursively.
void fill_mailbox(Mailbox &mailbox, Random &rng, const std::vector<std::string> &keys, std::size_t folders,
                  std::size_t messages, std::string_view to) {
    std::size_t next_key = 0;
    for (std::size_t i = 0; i < folders; ++i) {
        std::string parent = mailbox.root();
        std::string name;
        if (i < standard_folders.size()) {
            name = std::string(standard_folders[i]);
        } else {
            const std::size_t choice = rng.below(i + 1);
            if (choice < i)
                parent = mailbox.folders()[choice].key;
            name = std::string(rng.pick(topics)) + " " + std::to_string(i + 1);
        }
        mailbox.add_folder({keys[next_key++], std::move(parent), std::move(name)});
    }
    for (std::size_t f = 0; f < folders; ++f) {
        const std::string folder = mailbox.folders()[f].key;
        for (std::size_t m = 0; m < messages; ++m)
            mailbox.add_message({keys[next_key++], folder, message_text(rng, to)});
    }
}

std::string login_for(std::size_t n, std::size_t total) {
    const int width = std::max<int>(4, static_cast<int>(std::to_string(total).size()));
    char buf[32];
    std::snprintf(buf, sizeof buf, "user%0*zu", width, n);
    return buf;
}

} // namespace

void populate(Store &store, const PopulatePlan &plan) {
    if (!store.is_empty())
        throw SimError("the mail store " + store.root().string() + " is not empty; populate needs an empty store");
    Random rng(plan.seed);
    const std::size_t per_mailbox = plan.folders + plan.folders * plan.messages;

    Mailbox pub = store.load_mailbox(MailboxId::public_store());
    fill_mailbox(pub, rng, store.allocate_keys(per_mailbox), plan.folders, plan.messages, "Public Folders");
    store.save_mailbox(MailboxId::public_store(), pub);

    for (std::size_t n = 1; n <= plan.users; ++n) {
        Account account;
        account.login = login_for(n, plan.users);
        account.fullname = person(rng);
        account.email = account.login + "@example.org";
        const auto keys = store.allocate_keys(1 + per_mailbox);
        store.create_user(account, keys[0]);
        Mailbox mailbox(keys[0]);
        fill_mailbox(mailbox, rng, {keys.begin() + 1, keys.end()}, plan.folders, plan.messages,
                     account.fullname + " <" + account.email + ">");
        store.save_mailbox(MailboxId::user(account.login), mailbox);
    }
}

std::vector<std::string> add_messages(Store &store, const MailboxId &id, std::size_t count, std::uint64_t seed) {
    Mailbox mailbox = store.load_mailbox(id);
    // Mixing in the mailbox's root keeps two mailboxes given one seed apart.
    Random rng(seed ^ std::stoull(mailbox.root(), nullptr, 16));
    if (mailbox.folders().empty())
        mailbox.add_folder({store.allocate_keys(1)[0], mailbox.root(), "Inbox"});
    std::string to = "Public Folders";
    if (!id.is_public) {
        const auto account = store.find_account(id.login);
        to = account->fullname + " <" + account->email + ">";
    }
    const auto keys = store.allocate_keys(count);
    for (const std::string &key : keys) {
        const std::string folder = mailbox.folders()[rng.below(mailbox.folders().size())].key;
        mailbox.add_message({key, folder, message_text(rng, to)});
    }
    store.save_mailbox(id, mailbox);
    return keys;
}

} // namespace zsim
