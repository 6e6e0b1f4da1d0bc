// One binary, four tools: the name it is started under picks the tool, so
// the plug-in can run "zarafa-admin", "zarafa-backup" and "zarafa-restore"
// found on PATH as it would run the server's own.
#include "sim_error.h"
#include "tools.h"

#include <filesystem>
#include <iostream>
#include <string_view>

int main(int argc, char **argv) {
    using namespace zsim;
    std::string_view program = argc > 0 ? argv[0] : "zarafa-sim";
    if (const auto slash = program.rfind('/'); slash != std::string_view::npos)
        program.remove_prefix(slash + 1);
    Args args(argv + (argc > 0 ? 1 : 0), argv + argc);

    // "zarafa-sim admin ..." and so on reach the tools without the links.
    if (program != "zarafa-admin" && program != "zarafa-backup" && program != "zarafa-restore" && !args.empty() &&
        (args[0] == "admin" || args[0] == "backup" || args[0] == "restore")) {
        static const std::string names[] = {"zarafa-admin", "zarafa-backup", "zarafa-restore"};
        program = args[0] == "admin" ? names[0] : args[0] == "backup" ? names[1] : names[2];
        args.erase(args.begin());
    }
    try {
        if (program == "zarafa-admin")
            return admin_main(args);
        if (program == "zarafa-backup")
            return backup_main(args);
        if (program == "zarafa-restore")
            return restore_main(args);
        return manage_main(args);
    } catch (const SimError &e) {
        std::cout.flush();
        std::cerr << "Error: " << e.what() << "\n";
        return e.exit_code();
    } catch (const std::exception &e) {
        std::cout.flush();
        std::cerr << "Error: " << e.what() << "\n";
        return exit_failure;
    }
}
