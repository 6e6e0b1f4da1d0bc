// A simulated server, a save-set store and a work directory in a temporary
// directory, with the simulator's tools first on PATH, for tests that run
// whole backups and restores through the backup host stand-in.
#pragma once

#include <string>
#include <vector>

#include "support/fixtures.h"

namespace arktest {

class SimScene {
public:
    SimScene();
    const fs::path &root() const { return dir_.path(); }
    fs::path work() const { return dir_ / "work"; }
    fs::path restore_dir() const { return dir_ / "restore"; }

    // A simulator command ("zarafa-sim", "zarafa-admin", ...); fails the test
    // when it exits non-zero.
    std::string sim(const std::vector<std::string> &argv);
    // "zarafa-sim dump" of a mailbox ("PUBLIC_FOLDER" for the public store).
    std::string dump(const std::string &mailbox);
    // dbhost VERB --plugin ... --store ... --work-dir ... ARGS
    ProcessResult host(const std::string &verb, const std::vector<std::string> &args);
    // Delete an account with its mailbox, then create it again empty.
    void lose_mailbox(const std::string &login);

private:
    TempDir dir_;
    ScopedEnv store_;
    ScopedPathPrefix path_;
};

} // namespace arktest
