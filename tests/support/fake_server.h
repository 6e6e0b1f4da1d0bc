// A fake groupware account tool for tests that need a precise
// "zarafa-admin" output: a script first on PATH that prints a given listing
// for "-l", given details for "--details NAME", and records every call.
#pragma once

#include <map>
#include <string>
#include <vector>

#include "support/fixtures.h"

namespace arktest {

class FakeServer {
public:
    FakeServer();
    // The exact output of "zarafa-admin -l".
    void set_listing(const std::string &text);
    // A listing in the tool's layout: header, titles, dashes, SYSTEM, users.
    void set_users(const std::vector<std::string> &logins);
    // The output of "zarafa-admin --details NAME".
    void set_details(const std::string &name, const std::string &text);
    void set_details(const std::string &name, const std::string &full_name, const std::string &mail);
    // Arguments of every call so far, one line per call.
    std::vector<std::string> calls() const;
    const fs::path &dir() const { return dir_.path(); }

private:
    TempDir dir_;
    ScopedPathPrefix path_;
};

} // namespace arktest
