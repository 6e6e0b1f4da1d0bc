// amarkzarafa: an application of the Amanda backup engine that backs up and
// restores the mailboxes of a groupware server through the ark_zarafa
// plug-in, as one disk-list entry per job.
#include <iostream>

#include "commands.h"
#include "message_log.h"

using namespace amanda_app;

int main(int argc, char **argv) {
    AppOptions options;
    try {
        options = parse_app_options(argc, argv);
    } catch (const UsageError &e) {
        std::cerr << "amarkzarafa: " << e.what() << "\n"
                  << "usage: amarkzarafa support|selfcheck|estimate|backup|restore|validate [--config C] [--host H] "
                     "[--disk D] [--level N] [--PROPERTY VALUE]... [NAME]...\n";
        return 2;
    }
    try {
        if (options.command == "support")
            return run_support(options);
        if (options.command == "selfcheck")
            return run_selfcheck(options);
        if (options.command == "estimate")
            return run_estimate(options);
        if (options.command == "backup")
            return run_backup(options);
        if (options.command == "restore")
            return run_restore(options);
        if (options.command == "validate")
            return run_validate(options);
    } catch (const std::exception &e) {
        host::MessageLog::get().error(e.what());
        return 1;
    }
    std::cerr << "amarkzarafa: unknown command \"" << options.command << "\"\n";
    return 2;
}
