// zarafa-admin: the account listing and details that the plug-in reads, and
// the account management that a demo needs.
#include "faults.h"
#include "sim_error.h"
#include "store.h"
#include "text_codec.h"
#include "tools.h"

#include <iostream>
#include <optional>

namespace zsim {

namespace {

constexpr const char *usage =
    "usage: zarafa-admin -l\n"
    "       zarafa-admin --details NAME\n"
    "       zarafa-admin -c NAME [-f FULLNAME] [-e EMAIL] [-p PASSWORD]\n"
    "       zarafa-admin -d NAME\n";

[[noreturn]] void usage_error(const std::string &why) { throw SimError(why + "\n" + usage, exit_usage); }

// What a broken server might print: binary bytes, a line far longer than any
// reader's buffer, printf directives and shell text in the place of names,
// rows without TABs, and no final newline.
void print_garbage() {
    std::string out;
    out += "\x01\x02\xff\xfe garbage \x7f\n";
    out += "\t%s%s%n%x\t%p\n";
    out += "\t$(touch PWNED)\t`touch PWNED`\n";
    out += "\tx;touch PWNED;y\tsemicolons\n";
    out += "Fullname no tab here\n";
    out += "Emailaddress\t" + std::string(3000, 'e') + "\n";
    out += "\t" + std::string(5000, 'A') + "\tlong\n";
    out += std::string("\tnul\0byte\tname\n", 15);
    out += "\tunterminated";
    std::cout << out;
}

int list_users(const Store &store, const Faults &faults) {
    if (faults.active_everywhere("admin-empty"))
        return 0;
    if (faults.active_everywhere("admin-garbage")) {
        print_garbage();
        return 0;
    }
    const auto accounts = store.accounts();
    std::string out = "User list for Default(" + std::to_string(accounts.size()) + "):\n";
    out += "\tusername\tfullname\n";
    out += "\t" + std::string(45, '-') + "\n";
    out += "\tSYSTEM\t\tSYSTEM\n";
    for (const Account &a : accounts) {
        // A broken listing that lines its columns up with blanks: a row
        // whose login no reader can tell from the full name.
        if (faults.active("admin-blank-row", a.login))
            out += "  " + a.login + "   " + a.fullname + "\n";
        else
            out += "\t" + a.login + "\t" + a.fullname + "\n";
    }
    std::cout << out;
    return 0;
}

int show_details(const Store &store, const Faults &faults, const std::string &name) {
    if (faults.active("admin-empty", name))
        return 0;
    if (faults.active("admin-garbage", name)) {
        print_garbage();
        return 0;
    }
    const auto account = store.find_account(name);
    if (!account) {
        std::cout << "Unable to show user details, user not found.\n";
        return exit_failure;
    }
    std::cout << "Name:\t\t" << account->login << "\n"
              << "Fullname:\t" << account->fullname << "\n"
              << "Emailaddress:\t" << account->email << "\n"
              << "Active:\t\tyes\n"
              << "Administrator:\tno\n"
              << "Address book:\tVisible\n";
    return 0;
}

} // namespace

int admin_main(const Args &args) {
    enum class Action { none, list, details, create, remove } action = Action::none;
    std::string name, email;
    std::optional<std::string> given_fullname;
    auto set_action = [&](Action a) {
        if (action != Action::none)
            usage_error("give one of -l, --details, -c and -d");
        action = a;
    };
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string &arg = args[i];
        auto value = [&]() -> const std::string & {
            if (i + 1 >= args.size())
                usage_error("option " + arg + " needs a value");
            return args[++i];
        };
        if (arg == "-l") {
            set_action(Action::list);
        } else if (arg == "--details") {
            set_action(Action::details);
            name = value();
        } else if (arg == "-c") {
            set_action(Action::create);
            name = value();
        } else if (arg == "-d") {
            set_action(Action::remove);
            name = value();
        } else if (arg == "-f") {
            given_fullname = value();
        } else if (arg == "-e") {
            email = value();
        } else if (arg == "-p") {
            value(); // accepted for the real tool's sake; the simulator keeps no passwords
        } else {
            usage_error("unknown argument " + printable(arg));
        }
    }
    if (action == Action::none)
        usage_error("nothing to do");

    Store store = Store::open_from_environment();
    const Faults faults = Faults::from_environment();
    switch (action) {
    case Action::list:
        return list_users(store, faults);
    case Action::details:
        return show_details(store, faults, name);
    case Action::create: {
        const StoreLock guard = store.lock();
        store.create_user({name, given_fullname.value_or(name), email}, {});
        std::cout << "User created.\n";
        return 0;
    }
    case Action::remove: {
        const StoreLock guard = store.lock();
        store.delete_user(name);
        std::cout << "User deleted.\n";
        return 0;
    }
    case Action::none:
        break;
    }
    return exit_failure;
}

} // namespace zsim
