// A scene for the tests of dbhost: a scratch directory with a source tree
// that the fixture plug-in serves, a store, a restore target, the fixture's
// call record and the log; dbhost runs as a child process in it.
#pragma once

#include <map>
#include <string>
#include <vector>

#include "support/fixtures.h"

namespace arktest {

struct StoredItem {
    std::string name;
    uint64_t size = 0;
    std::string sha256;
    std::string level;
};

class DbhostScene {
public:
    DbhostScene();

    fs::path source() const { return tmp_ / "src"; }
    fs::path store() const { return tmp_ / "store"; }
    fs::path into() const { return tmp_ / "restored"; }
    fs::path record() const { return tmp_ / "calls"; }
    fs::path log() const { return tmp_ / "dbhost.log"; }
    fs::path dir() const { return tmp_.path(); }

    // A file below source(); returns its item name (its path without the leading "/").
    std::string add_source(const std::string &relative, const std::string &content);
    static std::string item_of(const fs::path &path);

    static fs::path plugin(const std::string &variant = "dbhost_test_plugin");

    // Runs dbhost with args in dir(), with the fixture's environment plus env.
    ProcessResult run(const std::vector<std::string> &args, const std::map<std::string, std::string> &env = {}) const;
    ProcessResult backup(const std::string &saveset, std::vector<std::string> extra = {},
                         const std::map<std::string, std::string> &env = {}) const;
    ProcessResult restore(const std::string &saveset, std::vector<std::string> extra = {},
                          const std::map<std::string, std::string> &env = {}) const;

    // The record lines of the calls, without the control variables.
    std::vector<std::string> calls() const;
    // The control variables recorded right after the first call line starting with entry.
    std::vector<std::string> vars_after(const std::string &entry) const;
    void clear_record() const;

    // The items of a save set's manifest, read from the file itself.
    static std::vector<StoredItem> manifest_items(const fs::path &saveset_dir);

private:
    TempDir tmp_;
};

// One string with each element on its own line, for failure output.
std::string lines(const std::vector<std::string> &items);

} // namespace arktest
