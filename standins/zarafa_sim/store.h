// The on-disk mail store named by ZARAFA_SIM_STORE:
//   state                      key counter
//   users/<hex login>/account  login, full name, e-mail address
//   users/<hex login>/mailbox  the user's folders and messages
//   public/mailbox             the public store
// Each file is replaced whole by rename, so one change rewrites one
// mailbox, never the store, and readers never see half a file.
#pragma once

#include "mailbox.h"

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace zsim {

namespace fs = std::filesystem;

struct Account {
    std::string login;
    std::string fullname;
    std::string email;
};

// A user's mailbox or the public store.
struct MailboxId {
    bool is_public = false;
    std::string login; // empty for the public store

    static MailboxId user(std::string login) { return {false, std::move(login)}; }
    static MailboxId public_store() { return {true, {}}; }
    // Names the mailbox's export files: the login, or "Public".
    std::string file_prefix() const { return is_public ? "Public" : login; }
    // For messages: the login, quoted when it holds unusual characters.
    std::string describe() const;
};

// Why a text cannot be a login (empty when it can). Logins are stored
// hex-encoded, so any byte is safe on disk; "/" and control characters are
// refused because they cannot be part of an export file name or a listing
// row, ":" because the index header cannot carry it, and the names that the
// listing and the export files reserve.
std::string login_problem(std::string_view login);
// The same for a full name or an e-mail address.
std::string detail_problem(std::string_view text);

// An exclusive lock on the store for one change; released on destruction.
class StoreLock {
public:
    explicit StoreLock(int fd) : fd_(fd) {}
    StoreLock(StoreLock &&other) noexcept : fd_(other.fd_) { other.fd_ = -1; }
    StoreLock(const StoreLock &) = delete;
    StoreLock &operator=(const StoreLock &) = delete;
    StoreLock &operator=(StoreLock &&) = delete;
    ~StoreLock();

private:
    int fd_;
};

class Store {
public:
    // The store of ZARAFA_SIM_STORE; throws when it is unset or missing. An
    // empty directory becomes an empty store.
    static Store open_from_environment();
    // As above; a missing directory is created (for populate).
    static Store create_from_environment();

    const fs::path &root() const { return root_; }
    StoreLock lock() const;

    std::vector<Account> accounts() const; // in byte order of the login
    std::optional<Account> find_account(std::string_view login) const;
    // No users and an empty public store.
    bool is_empty() const;

    // With the lock held. An empty root key allocates a new one.
    void create_user(const Account &account, const std::string &root_key);
    void delete_user(std::string_view login);

    Mailbox load_mailbox(const MailboxId &id) const;
    void save_mailbox(const MailboxId &id, const Mailbox &mailbox);

    // With the lock held. Keys never repeat within a store.
    std::vector<std::string> allocate_keys(std::size_t count);
    // With the lock held: keys that came in from an export are never handed
    // out again.
    void reserve_keys(const std::vector<std::string> &keys);

private:
    explicit Store(fs::path root) : root_(std::move(root)) {}
    static Store open(bool create_missing);
    void initialise();
    fs::path user_dir(std::string_view login) const;
    fs::path mailbox_file(const MailboxId &id) const;

    fs::path root_;
};

} // namespace zsim
