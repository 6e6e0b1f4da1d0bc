// zarafa-backup: exports mailboxes into the working directory.
#include "faults.h"
#include "mailbox_export.h"
#include "sim_error.h"
#include "store.h"
#include "text_codec.h"
#include "tools.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <iostream>
#include <optional>

namespace zsim {

namespace {

constexpr const char *usage = "usage: zarafa-backup -u NAME | -p | -a\n"
                              "  writes NAME.index.zbk and NAME.data.zbk (Public.* for -p) into the\n"
                              "  working directory; with an earlier index file there, only what changed\n";

[[noreturn]] void usage_error(const std::string &why) { throw SimError(why + "\n" + usage, exit_usage); }

// The "backup-hold" fault: the export waits at the FIFO "hold" in the store
// until a test has opened it for writing and closed it again, so that a
// test knows the tool is running and decides when it goes on.
void hold_at_gate() {
    const char *store = std::getenv("ZARAFA_SIM_STORE");
    std::ifstream gate(std::string(store ? store : ".") + "/hold");
    for (std::string line; std::getline(gate, line);) {
    }
}

} // namespace

int backup_main(const Args &args) {
    std::optional<MailboxId> single;
    bool all = false;
    for (std::size_t i = 0; i < args.size(); ++i) {
        if (single || all)
            usage_error("give one of -u NAME, -p and -a");
        if (args[i] == "-u") {
            if (i + 1 >= args.size())
                usage_error("option -u needs a user name");
            single = MailboxId::user(args[++i]);
        } else if (args[i] == "-p") {
            single = MailboxId::public_store();
        } else if (args[i] == "-a") {
            all = true;
        } else {
            usage_error("unknown argument " + printable(args[i]));
        }
    }
    if (!single && !all)
        usage_error("nothing to export");

    const Store store = Store::open_from_environment();
    const Faults faults = Faults::from_environment();
    std::vector<MailboxId> mailboxes;
    if (single) {
        if (!single->is_public && !store.find_account(single->login))
            throw SimError(single->describe() + " not found");
        mailboxes.push_back(*single);
    } else {
        for (const Account &a : store.accounts())
            mailboxes.push_back(MailboxId::user(a.login));
        mailboxes.push_back(MailboxId::public_store());
    }

    const std::filesystem::path dir = std::filesystem::current_path();
    int status = 0;
    for (const MailboxId &id : mailboxes) {
        try {
            if (faults.active("backup-hold", id))
                hold_at_gate();
            const ExportResult r = export_mailbox(store, id, dir, faults);
            if (r.wrote_files)
                std::cout << "Exported " << id.describe() << ": " << r.folders << " folders, " << r.messages
                          << " messages (" << r.new_messages << " in this data file), generation " << r.generation
                          << "\n";
            if (faults.active("backup-exit", id)) {
                std::cerr << "Error: export of " << id.describe() << " failed (injected fault)\n";
                status = exit_failure;
            }
        } catch (const SimError &e) {
            // With -a one broken mailbox must not stop the others.
            std::cerr << "Error: " << e.what() << "\n";
            status = exit_failure;
        }
    }
    return status;
}

} // namespace zsim
