#include "store.h"

#include "file_io.h"
#include "sim_error.h"
#include "text_codec.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace zsim {

namespace {

constexpr std::string_view state_magic = "zarafa-sim-store 1";
constexpr std::size_t max_login_bytes = 127; // hex-encoded, it must fit NAME_MAX
constexpr std::size_t max_detail_bytes = 255;

// A bijection on 48 bits: consecutive counter values give unrelated-looking
// but never repeating keys.
constexpr std::uint64_t key_mask = (std::uint64_t{1} << 48) - 1;
constexpr std::uint64_t key_factor = 0x9e3779b97f4bULL; // odd, so invertible
constexpr std::uint64_t key_salt = 0x3c2d1e0f4b5aULL;

constexpr std::uint64_t inverse_factor() {
    std::uint64_t inv = key_factor; // Newton's iteration doubles the correct low bits
    for (int i = 0; i < 6; ++i)
        inv *= 2 - key_factor * inv;
    return inv;
}
static_assert(((key_factor * inverse_factor()) & key_mask) == 1);

std::string key_for_counter(std::uint64_t n) { return format_record_key(((n * key_factor) & key_mask) ^ key_salt); }

std::uint64_t counter_for_key(std::string_view key) {
    const std::uint64_t value = std::stoull(std::string(key), nullptr, 16);
    return ((value ^ key_salt) * inverse_factor()) & key_mask;
}

std::uint64_t read_counter(const fs::path &state_file) {
    const std::string text = read_file(state_file);
    const auto lines = split_lines(text);
    if (lines.size() != 2 || lines[0] != state_magic || !lines[1].starts_with("next-key "))
        throw SimError("store state file " + state_file.string() + " is damaged");
    const std::string number(lines[1].substr(9));
    char *end = nullptr;
    errno = 0;
    const unsigned long long value = std::strtoull(number.c_str(), &end, 10);
    if (number.empty() || *end != '\0' || errno != 0)
        throw SimError("store state file " + state_file.string() + " is damaged");
    return value;
}

void write_counter(const fs::path &state_file, std::uint64_t next) {
    write_file_atomic(state_file, std::string(state_magic) + "\nnext-key " + std::to_string(next) + "\n");
}

std::string render_account(const Account &a) {
    return "login " + escape_text(a.login) + "\nfullname " + escape_text(a.fullname) + "\nemail " +
           escape_text(a.email) + "\n";
}

std::optional<Account> parse_account(std::string_view text) {
    Account a;
    std::string *targets[] = {&a.login, &a.fullname, &a.email};
    constexpr std::string_view names[] = {"login ", "fullname ", "email "};
    const auto lines = split_lines(text);
    if (lines.size() != 3)
        return std::nullopt;
    for (std::size_t i = 0; i < 3; ++i) {
        if (!lines[i].starts_with(names[i]))
            return std::nullopt;
        auto value = unescape_text(lines[i].substr(names[i].size()));
        if (!value)
            return std::nullopt;
        *targets[i] = std::move(*value);
    }
    return a;
}

bool has_control_character(std::string_view text) {
    return std::any_of(text.begin(), text.end(), [](char c) {
        const auto u = static_cast<unsigned char>(c);
        return u < 0x20 || u == 0x7f;
    });
}

} // namespace

std::string MailboxId::describe() const {
    return is_public ? std::string("the public store") : "user " + printable(login);
}

std::string login_problem(std::string_view login) {
    if (login.empty())
        return "a login cannot be empty";
    if (login.size() > max_login_bytes)
        return "a login has at most " + std::to_string(max_login_bytes) + " bytes";
    if (login.find('/') != std::string_view::npos)
        return "a login cannot hold \"/\"";
    if (login.find(':') != std::string_view::npos)
        return "a login cannot hold \":\"";
    if (has_control_character(login))
        return "a login cannot hold control characters";
    if (login == "SYSTEM" || login == "public" || login == "Public")
        return "the login " + std::string(login) + " is reserved";
    return {};
}

std::string detail_problem(std::string_view text) {
    if (text.size() > max_detail_bytes)
        return "a full name or e-mail address has at most " + std::to_string(max_detail_bytes) + " bytes";
    if (has_control_character(text))
        return "a full name or e-mail address cannot hold control characters";
    return {};
}

StoreLock::~StoreLock() {
    if (fd_ >= 0)
        ::close(fd_); // closing releases the flock
}

Store Store::open_from_environment() { return open(false); }
Store Store::create_from_environment() { return open(true); }

Store Store::open(bool create_missing) {
    const char *env = std::getenv("ZARAFA_SIM_STORE");
    if (!env || !*env)
        throw SimError("ZARAFA_SIM_STORE is not set; it must name the mail store directory");
    fs::path root(env);
    std::error_code ec;
    if (create_missing)
        fs::create_directories(root, ec);
    if (!fs::is_directory(root, ec))
        throw SimError("the mail store " + root.string() + " (ZARAFA_SIM_STORE) does not exist");
    Store store(std::move(root));
    if (!fs::exists(store.root_ / "state")) {
        // Only an empty directory becomes a store: a wrong ZARAFA_SIM_STORE
        // must not scatter store files into some unrelated directory.
        for (const auto &entry : fs::directory_iterator(store.root_))
            if (entry.path().filename() != ".lock")
                throw SimError(store.root_.string() + " (ZARAFA_SIM_STORE) is not a mail store");
        store.initialise();
    }
    return store;
}

void Store::initialise() {
    const StoreLock guard = lock();
    if (fs::exists(root_ / "state"))
        return; // another tool got there first
    fs::create_directories(root_ / "users");
    fs::create_directories(root_ / "public");
    write_counter(root_ / "state", 1);
    const auto keys = allocate_keys(1);
    save_mailbox(MailboxId::public_store(), Mailbox(keys[0]));
}

StoreLock Store::lock() const {
    const fs::path lock_file = root_ / ".lock";
    const int fd = ::open(lock_file.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0)
        throw SimError("cannot open " + lock_file.string() + ": " + std::strerror(errno));
    while (::flock(fd, LOCK_EX) != 0) {
        if (errno != EINTR) {
            const int err = errno;
            ::close(fd);
            throw SimError("cannot lock " + lock_file.string() + ": " + std::strerror(err));
        }
    }
    return StoreLock(fd);
}

fs::path Store::user_dir(std::string_view login) const { return root_ / "users" / hex_encode(login); }

fs::path Store::mailbox_file(const MailboxId &id) const {
    return id.is_public ? root_ / "public" / "mailbox" : user_dir(id.login) / "mailbox";
}

std::vector<Account> Store::accounts() const {
    std::vector<Account> result;
    std::error_code ec;
    for (const auto &entry : fs::directory_iterator(root_ / "users", ec)) {
        const auto login = hex_decode(entry.path().filename().string());
        if (!login)
            continue;
        const fs::path file = entry.path() / "account";
        if (!fs::exists(file))
            continue; // being created or deleted
        auto account = parse_account(read_file(file));
        if (!account || account->login != *login)
            throw SimError("account file " + file.string() + " is damaged");
        result.push_back(std::move(*account));
    }
    if (ec)
        throw SimError("cannot list " + (root_ / "users").string() + ": " + ec.message());
    std::sort(result.begin(), result.end(),
              [](const Account &a, const Account &b) { return a.login < b.login; });
    return result;
}

std::optional<Account> Store::find_account(std::string_view login) const {
    if (!login_problem(login).empty())
        return std::nullopt;
    const fs::path file = user_dir(login) / "account";
    if (!fs::exists(file))
        return std::nullopt;
    auto account = parse_account(read_file(file));
    if (!account || account->login != login)
        throw SimError("account file " + file.string() + " is damaged");
    return account;
}

bool Store::is_empty() const {
    std::error_code ec;
    if (!fs::is_empty(root_ / "users", ec) && !ec)
        return false;
    return load_mailbox(MailboxId::public_store()).folders().empty();
}

void Store::create_user(const Account &account, const std::string &root_key) {
    if (const std::string problem = login_problem(account.login); !problem.empty())
        throw SimError(problem);
    for (const std::string *detail : {&account.fullname, &account.email})
        if (const std::string problem = detail_problem(*detail); !problem.empty())
            throw SimError(problem);
    if (find_account(account.login))
        throw SimError("user " + printable(account.login) + " already exists");
    const fs::path dir = user_dir(account.login);
    fs::create_directories(dir);
    const std::string root = root_key.empty() ? allocate_keys(1)[0] : root_key;
    // The account file goes last: its presence is what makes the user exist.
    save_mailbox(MailboxId::user(account.login), Mailbox(root));
    write_file_atomic(dir / "account", render_account(account));
}

void Store::delete_user(std::string_view login) {
    if (!find_account(login))
        throw SimError("user " + printable(login) + " not found");
    const fs::path dir = user_dir(login);
    fs::remove(dir / "account");
    std::error_code ec;
    fs::remove_all(dir, ec);
    if (ec)
        throw SimError("cannot remove " + dir.string() + ": " + ec.message());
}

Mailbox Store::load_mailbox(const MailboxId &id) const {
    if (!id.is_public && !find_account(id.login))
        throw SimError(id.describe() + " not found");
    const fs::path file = mailbox_file(id);
    return parse_mailbox(read_file(file), file.string());
}

void Store::save_mailbox(const MailboxId &id, const Mailbox &mailbox) {
    write_file_atomic(mailbox_file(id), render_mailbox(mailbox));
}

std::vector<std::string> Store::allocate_keys(std::size_t count) {
    const fs::path state_file = root_ / "state";
    const std::uint64_t first = read_counter(state_file);
    std::vector<std::string> keys;
    keys.reserve(count);
    for (std::uint64_t n = first; n < first + count; ++n)
        keys.push_back(key_for_counter(n));
    write_counter(state_file, first + count);
    return keys;
}

void Store::reserve_keys(const std::vector<std::string> &keys) {
    // Keys this store would hand out later are moved past; keys far beyond
    // the counter come from another store's sequence and are left alone
    // (skipping to them would exhaust the key space).
    constexpr std::uint64_t reach = std::uint64_t{1} << 32;
    const fs::path state_file = root_ / "state";
    const std::uint64_t next = read_counter(state_file);
    std::uint64_t wanted = next;
    for (const std::string &key : keys) {
        if (!is_record_key(key))
            continue;
        const std::uint64_t n = counter_for_key(key);
        if (n >= wanted && n - next < reach)
            wanted = n + 1;
    }
    if (wanted != next)
        write_counter(state_file, wanted);
}

} // namespace zsim
