// A whole installation for end-to-end runs: a simulated groupware server
// whose store lies in a scratch directory, a work directory, a save-set store
// and a restore target. dbhost runs as a child process with the real plug-in
// and the simulator's tools first on PATH; faults are injected through the
// simulator's environment.
#pragma once

#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "support/fixtures.h"
#include "system/fd.h"

namespace arktest {

// One dbhost run: its exit, its output, and its log file.
struct HostRun {
    ProcessResult process;
    std::string log;

    int exit_status() const { return process.exit_status; }
    bool survived() const { return process.signal == 0 && process.exit_status >= 0; }
    // The "Error:" and "Warning:" lines dbhost showed on standard error.
    std::vector<std::string> problems() const;
    // True when an "Error:" or "Warning:" line contains every part.
    bool problem_mentions(const std::vector<std::string> &parts) const;
    // Everything, for failure output.
    std::string describe() const;
};

class E2eScene {
public:
    E2eScene();

    fs::path dir() const { return tmp_.path(); }
    fs::path server() const { return tmp_ / "server"; } // ZARAFA_SIM_STORE
    fs::path work() const { return work_; }             // TMP_DIR of the backups
    fs::path store() const { return tmp_ / "store"; }   // dbhost's save sets
    fs::path into() const { return into_; }             // restore target
    fs::path log() const { return tmp_ / "dbhost.log"; }

    // Where the backups export and the restores receive; hostile-name tests
    // move them to directories with awkward names.
    void set_work(const fs::path &work) { work_ = work; }
    void set_into(const fs::path &into) { into_ = into; }

    // The environment of every child: the simulator first on PATH, its store,
    // and the faults (none when empty).
    std::map<std::string, std::string> env(const std::string &faults = "") const;

    // Runs a simulator tool (zarafa-sim, zarafa-admin, ...) on the store in dir().
    ProcessResult tool(const std::vector<std::string> &argv, const std::string &faults = "") const;
    // Like tool(), but a failure throws with the tool's output.
    std::string tool_ok(const std::vector<std::string> &argv) const;

    void populate(int users, int folders = 2, int messages = 3, int seed = 1) const;
    void create_user(const std::string &login) const;
    void delete_user(const std::string &login) const;
    // The simulator's text dump of a mailbox ("PUBLIC_FOLDER" for the public store).
    std::string dump(const std::string &mailbox) const;
    // The dump with the root key replaced: an account made again gets a new
    // root, and a restore puts the folders below it.
    std::string content(const std::string &mailbox) const;
    // Loses a user's mail: the account is deleted with its mailbox and made
    // again, empty, with the same details (a restore only serves accounts
    // that the server lists).
    void lose_mailbox(const std::string &login) const;
    // Loses the public store's folders and messages; its root stays.
    void lose_public_store() const;

    // dbhost backup/restore with --plugin, --store, --saveset, --log, and
    // --work-dir (backup) or --into (restore) filled in; extra adds options.
    HostRun backup(const std::string &saveset, const std::vector<std::string> &extra = {},
                   const std::string &faults = "") const;
    HostRun restore(const std::string &saveset, const std::vector<std::string> &extra = {},
                    const std::string &faults = "") const;
    // dbhost restore of the job's chain: its last FULL save set and every
    // later one.
    HostRun restore_chain(const std::string &job, const std::vector<std::string> &extra = {}) const;
    HostRun dbhost(const std::vector<std::string> &args, const std::string &faults = "") const;
    // dbhost started by a wrapper program (its argv, e.g. strace and its
    // options), without faults.
    HostRun dbhost_under(const std::vector<std::string> &wrapper, const std::vector<std::string> &args) const;
    // The arguments backup() gives dbhost.
    std::vector<std::string> backup_args(const std::string &saveset, const std::vector<std::string> &extra = {}) const;

    // dbhost started and left running (several may run at once, each with
    // its own log file); finish() waits for its end.
    ark::sys::Child start_dbhost(const std::vector<std::string> &args, const fs::path &log,
                                 const std::string &faults = "") const;
    static HostRun finish(ark::sys::Child &host, const fs::path &log);

    // Makes the FIFO at which a "backup-hold" export waits. at_hold() waits
    // until such an export is there and returns the FIFO's writing end: the
    // export goes on when that is closed.
    void make_hold() const;
    ark::sys::Fd at_hold() const;

private:
    HostRun run_host(const std::vector<std::string> &wrapper, const std::vector<std::string> &args,
                     const std::string &faults, bool traced = false) const;

    TempDir tmp_;
    fs::path work_;
    fs::path into_;
};

// Every regular file below dir with its content: two equal snapshots prove
// that nothing below dir changed.
std::map<std::string, std::string> tree_snapshot(const fs::path &dir);

// Entries below dir whose path contains part.
std::vector<std::string> paths_containing(const fs::path &dir, std::string_view part);

} // namespace arktest
