// zarafa-sim: management of the simulated server for tests and demos.
#include "dump.h"
#include "generator.h"
#include "sim_error.h"
#include "store.h"
#include "text_codec.h"
#include "tools.h"

#include <charconv>
#include <iostream>
#include <optional>

namespace zsim {

namespace {

constexpr const char *usage =
    "usage: zarafa-sim populate [--users N] [--folders F] [--messages M] [--seed S]\n"
    "       zarafa-sim dump NAME | -u NAME | -p\n"
    "       zarafa-sim create-user NAME [FULLNAME [EMAIL]]\n"
    "       zarafa-sim delete-user NAME\n"
    "       zarafa-sim add-messages (NAME | -u NAME | -p) COUNT [--seed S]\n"
    "       zarafa-sim admin|backup|restore ARGS...  (the tools, by subcommand)\n"
    "The store is the directory named by ZARAFA_SIM_STORE.\n";

[[noreturn]] void usage_error(const std::string &why) { throw SimError(why + "\n" + usage, exit_usage); }

std::uint64_t parse_number(const std::string &text, const std::string &what, std::uint64_t max) {
    std::uint64_t value = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (text.empty() || ec != std::errc() || end != text.data() + text.size() || value > max)
        usage_error(what + " must be a number from 0 to " + std::to_string(max) + ", not " + printable(text));
    return value;
}

// NAME, "-u NAME" or "-p", from args[pos] on; advances pos.
MailboxId mailbox_argument(const Args &args, std::size_t &pos) {
    if (pos >= args.size())
        usage_error("name a mailbox: NAME, -u NAME or -p");
    if (args[pos] == "-p") {
        ++pos;
        return MailboxId::public_store();
    }
    if (args[pos] == "-u") {
        if (pos + 1 >= args.size())
            usage_error("option -u needs a user name");
        pos += 2;
        return MailboxId::user(args[pos - 1]);
    }
    return MailboxId::user(args[pos++]);
}

int populate_command(const Args &args) {
    PopulatePlan plan;
    for (std::size_t i = 1; i < args.size(); ++i) {
        const std::string &opt = args[i];
        if (i + 1 >= args.size())
            usage_error("option " + printable(opt) + " needs a value");
        const std::string &value = args[++i];
        if (opt == "--users")
            plan.users = parse_number(value, "--users", 100000);
        else if (opt == "--folders")
            plan.folders = parse_number(value, "--folders", 1000);
        else if (opt == "--messages")
            plan.messages = parse_number(value, "--messages", 10000);
        else if (opt == "--seed")
            plan.seed = parse_number(value, "--seed", UINT64_MAX);
        else
            usage_error("unknown option " + printable(opt));
    }
    Store store = Store::create_from_environment();
    const StoreLock guard = store.lock();
    populate(store, plan);
    std::cout << "Populated " << store.root().string() << ": " << plan.users << " users and the public store, "
              << plan.folders << " folders each, " << plan.messages << " messages a folder\n";
    return 0;
}

int dump_command(const Args &args) {
    std::size_t pos = 1;
    const MailboxId id = mailbox_argument(args, pos);
    if (pos != args.size())
        usage_error("unexpected argument " + printable(args[pos]));
    const Store store = Store::open_from_environment();
    const auto account = id.is_public ? std::nullopt : store.find_account(id.login);
    if (!id.is_public && !account)
        throw SimError(id.describe() + " not found");
    std::cout << dump_mailbox(id, account, store.load_mailbox(id));
    return 0;
}

int create_user_command(const Args &args) {
    if (args.size() < 2 || args.size() > 4)
        usage_error("create-user takes NAME [FULLNAME [EMAIL]]");
    Store store = Store::open_from_environment();
    const StoreLock guard = store.lock();
    store.create_user({args[1], args.size() > 2 ? args[2] : args[1], args.size() > 3 ? args[3] : ""}, {});
    std::cout << "Created user " << printable(args[1]) << "\n";
    return 0;
}

int delete_user_command(const Args &args) {
    if (args.size() != 2)
        usage_error("delete-user takes NAME");
    Store store = Store::open_from_environment();
    const StoreLock guard = store.lock();
    store.delete_user(args[1]);
    std::cout << "Deleted user " << printable(args[1]) << " with the mailbox\n";
    return 0;
}

int add_messages_command(const Args &args) {
    std::size_t pos = 1;
    const MailboxId id = mailbox_argument(args, pos);
    if (pos >= args.size())
        usage_error("add-messages needs a COUNT");
    const std::uint64_t count = parse_number(args[pos++], "COUNT", 1000000);
    std::uint64_t seed = 1;
    if (pos + 2 == args.size() && args[pos] == "--seed")
        seed = parse_number(args[pos + 1], "--seed", UINT64_MAX);
    else if (pos != args.size())
        usage_error("unexpected argument " + printable(args[pos]));
    Store store = Store::open_from_environment();
    const StoreLock guard = store.lock();
    const auto keys = add_messages(store, id, count, seed);
    std::cout << "Added " << keys.size() << " messages to " << id.describe() << "\n";
    return 0;
}

} // namespace

int manage_main(const Args &args) {
    if (args.empty())
        usage_error("no command given");
    const std::string &command = args[0];
    if (command == "populate")
        return populate_command(args);
    if (command == "dump")
        return dump_command(args);
    if (command == "create-user")
        return create_user_command(args);
    if (command == "delete-user")
        return delete_user_command(args);
    if (command == "add-messages")
        return add_messages_command(args);
    if (command == "help" || command == "--help") {
        std::cout << usage;
        return 0;
    }
    usage_error("unknown command " + printable(command));
}

} // namespace zsim
