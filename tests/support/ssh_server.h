// A real OpenSSH server for the remote-command tests: sshd on 127.0.0.1 at a
// free port, with a throwaway host key and user key, run as the current user.
// The client side is a directory holding an "ssh" wrapper that points the
// OpenSSH client at this server (port, key, known host) without touching the
// user's own ~/.ssh; put it first on PATH.
#pragma once

#include <memory>
#include <string>

#include "support/fixtures.h"
#include "support/ssh_child.h"

namespace arktest {

class SshServer {
public:
    // Starts sshd; throws std::runtime_error with its log when it cannot.
    SshServer();
    ~SshServer();
    SshServer(const SshServer &) = delete;
    SshServer &operator=(const SshServer &) = delete;

    int port() const { return port_; }
    fs::path client_bin_dir() const { return dir_ / "bin"; }
    std::string log() const; // what sshd reported so far

private:
    bool try_start(int port);

    TempDir dir_;
    int port_ = 0;
    std::unique_ptr<Child> sshd_;
};

} // namespace arktest
