#include "support/sim_scene.h"

#include <gtest/gtest.h>

namespace arktest {

SimScene::SimScene() : store_("ZARAFA_SIM_STORE", (dir_ / "server").string()), path_(ARK_SIM_BIN_DIR) {
    for (auto sub : {"server", "work", "store", "restore"})
        fs::create_directories(dir_ / sub);
}

std::string SimScene::sim(const std::vector<std::string> &argv) {
    const ProcessResult r = run_process(argv);
    EXPECT_EQ(r.exit_status, 0) << argv[0] << " " << (argv.size() > 1 ? argv[1] : "") << ": " << r.err;
    return r.out;
}

std::string SimScene::dump(const std::string &mailbox) {
    if (mailbox == "PUBLIC_FOLDER")
        return sim({"zarafa-sim", "dump", "-p"});
    return sim({"zarafa-sim", "dump", mailbox});
}

ProcessResult SimScene::host(const std::string &verb, const std::vector<std::string> &args) {
    std::vector<std::string> argv{std::string(ARK_BIN_DIR) + "/dbhost",
                                  "--log",
                                  (dir_ / "dbhost.log").string(),
                                  verb,
                                  "--plugin",
                                  ARK_PLUGIN_PATH,
                                  "--store",
                                  (dir_ / "store").string(),
                                  "--work-dir",
                                  work().string()};
    argv.insert(argv.end(), args.begin(), args.end());
    return run_process(argv, {.cwd = dir_.path()});
}

void SimScene::lose_mailbox(const std::string &login) {
    const std::string before = dump(login);
    auto field = [&](const std::string &key) {
        const size_t at = before.find("\n" + key + " ");
        const size_t start = at + key.size() + 2;
        return before.substr(start, before.find('\n', start) - start);
    };
    const std::string full_name = field("fullname"), email = field("email");
    sim({"zarafa-admin", "-d", login});
    sim({"zarafa-admin", "-c", login, "-f", full_name, "-e", email});
}

} // namespace arktest
