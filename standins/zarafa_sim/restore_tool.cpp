// zarafa-restore: restores records of an export in the working directory.
#include "data_file.h"
#include "faults.h"
#include "file_io.h"
#include "index_file.h"
#include "mailbox_import.h"
#include "sim_error.h"
#include "store.h"
#include "text_codec.h"
#include "tools.h"

#include <filesystem>
#include <fstream>
#include <iostream>
#include <optional>

namespace zsim {

namespace {

constexpr const char *usage = "usage: zarafa-restore (-u NAME | -p) [-r] [-i FILE] [KEY...]\n"
                              "  restores the records KEY (and those listed in FILE, \"-\" for standard\n"
                              "  input, one a line) from NAME.index.zbk and NAME.data.zbk (Public.* for\n"
                              "  -p) in the working directory; -r restores folders with their subfolders\n";

[[noreturn]] void usage_error(const std::string &why) { throw SimError(why + "\n" + usage, exit_usage); }

void read_keys(std::istream &in, std::vector<std::string> &keys) {
    std::string line;
    while (std::getline(in, line)) {
        while (!line.empty() && (line.back() == '\r' || line.back() == ' ' || line.back() == '\t'))
            line.pop_back();
        if (!line.empty())
            keys.push_back(line);
    }
}

} // namespace

int restore_main(const Args &args) {
    std::optional<MailboxId> target;
    bool recursive = false;
    std::optional<std::string> key_file;
    std::vector<std::string> keys;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string &arg = args[i];
        if (arg == "-u" || arg == "-i") {
            if (i + 1 >= args.size())
                usage_error("option " + arg + " needs a value");
            if (arg == "-i")
                key_file = args[++i];
            else if (target)
                usage_error("give one of -u NAME and -p");
            else
                target = MailboxId::user(args[++i]);
        } else if (arg == "-p") {
            if (target)
                usage_error("give one of -u NAME and -p");
            target = MailboxId::public_store();
        } else if (arg == "-r") {
            recursive = true;
        } else if (!arg.empty() && arg[0] == '-') {
            usage_error("unknown option " + printable(arg));
        } else {
            keys.push_back(arg);
        }
    }
    if (!target)
        usage_error("give -u NAME or -p");

    Store store = Store::open_from_environment();
    const Faults faults = Faults::from_environment();
    if (faults.active("restore-fail", *target))
        throw SimError("restore of " + target->describe() + " failed (injected fault)");

    const std::filesystem::path dir = std::filesystem::current_path();
    const std::filesystem::path index_path = dir / (target->file_prefix() + ".index.zbk");
    const std::filesystem::path data_path = dir / (target->file_prefix() + ".data.zbk");
    if (!std::filesystem::exists(index_path))
        throw SimError("index file " + index_path.string() + " not found");
    if (!std::filesystem::exists(data_path))
        throw SimError("data file " + data_path.string() + " not found");
    ParsedIndex parsed = parse_index(read_file(index_path), index_path.string());
    if (parsed.index.is_public != target->is_public)
        throw SimError(index_path.string() + " is not an export of " +
                       (target->is_public ? std::string("the public store") : "a user's mailbox"));
    const DataFile data = DataFile::parse(read_file(data_path), data_path.string());

    if (key_file) {
        if (*key_file == "-") {
            read_keys(std::cin, keys);
        } else {
            std::ifstream in(*key_file);
            if (!in)
                throw SimError("cannot read the key list " + *key_file);
            read_keys(in, keys);
        }
    }
    if (keys.empty() && !key_file)
        usage_error("no record key given");

    int status = 0;
    for (const std::string &problem : parsed.problems) {
        std::cerr << "Error: " << problem << "\n";
        status = exit_failure;
    }

    const StoreLock guard = store.lock();
    // A mailbox lost with its account comes back with it; the account is
    // made only once something is restored into it.
    const bool account_missing = !target->is_public && !store.find_account(target->login);
    if (account_missing) {
        if (const std::string problem = login_problem(target->login); !problem.empty())
            throw SimError("cannot restore into " + target->describe() + ": " + problem);
    }
    Mailbox mailbox = account_missing ? Mailbox(parsed.index.root) : store.load_mailbox(*target);
    const std::string root_before = mailbox.root();
    // A public store lost whole comes back under its old root, as a user's
    // mailbox does with its account.
    if (target->is_public && mailbox.folders().empty() && mailbox.messages().empty())
        mailbox = Mailbox(parsed.index.root);
    std::vector<std::string> incoming{parsed.index.root};
    for (const IndexFolder &f : parsed.index.folders)
        incoming.push_back(f.key);
    for (const IndexMessage &m : parsed.index.messages)
        incoming.push_back(m.key);
    store.reserve_keys(incoming);
    Importer importer(parsed.index, data, mailbox, faults);
    for (const std::string &key : keys) {
        if (!is_record_key(key)) {
            std::cerr << "Error: " << printable(key) << " is not a record key\n";
            status = exit_failure;
            continue;
        }
        importer.restore(key, recursive);
    }
    const ImportReport &report = importer.report();
    if (report.folders_restored || report.messages_restored || mailbox.root() != root_before) {
        if (account_missing) {
            store.create_user({target->login, parsed.index.fullname, parsed.index.email}, mailbox.root());
            std::cout << "Created " << target->describe() << " again from the export\n";
        }
        store.save_mailbox(*target, mailbox);
    }

    std::cout << "Restored " << report.folders_restored << " folders and " << report.messages_restored
              << " messages of " << target->describe() << " (" << report.already_present
              << " messages were already there)\n";
    for (const std::string &w : report.warnings)
        std::cerr << "Warning: " << w << "\n";
    if (report.other_generation)
        std::cerr << "Warning: " << report.other_generation
                  << " messages skipped: they are in the data file of another export run\n";
    for (const std::string &e : report.errors)
        std::cerr << "Error: " << e << "\n";
    if (!report.errors.empty())
        status = exit_failure;
    return status;
}

} // namespace zsim
