#include "support/ssh_server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <pwd.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>

namespace arktest {

namespace {

using namespace std::chrono_literals;

const char *const kSshd = "/usr/sbin/sshd";
const char *const kSsh = "/usr/bin/ssh";
const char *const kSshKeygen = "/usr/bin/ssh-keygen";

// A port the kernel just handed out on 127.0.0.1 and took back; sshd is
// started on it right away, and a lost race is retried with another one.
int free_port() {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0)
        throw std::runtime_error(std::string("socket: ") + std::strerror(errno));
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    if (bind(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0 ||
        getsockname(fd, reinterpret_cast<sockaddr *>(&addr), &len) != 0) {
        int e = errno;
        close(fd);
        throw std::runtime_error(std::string("bind 127.0.0.1: ") + std::strerror(e));
    }
    close(fd);
    return ntohs(addr.sin_port);
}

void keygen(const fs::path &key) {
    ProcessResult r = run_bounded({kSshKeygen, "-q", "-t", "ed25519", "-N", "", "-C", "nv-test", "-f", key.string()},
                                  {}, 30s);
    if (r.exit_status != 0)
        throw std::runtime_error("ssh-keygen failed for " + key.string() + ": " + r.err);
}

std::string user_name() {
    if (const passwd *pw = getpwuid(geteuid()))
        return pw->pw_name;
    throw std::runtime_error("no passwd entry for the current user");
}

// sshd insists on its privilege-separation directory, which a machine without
// a service manager may not have yet.
void ensure_privsep_dir() {
    const fs::path dir = "/run/sshd";
    std::error_code ec;
    if (fs::is_directory(dir, ec))
        return;
    if (geteuid() != 0)
        return; // sshd run by another user does not separate privileges
    fs::create_directories(dir, ec);
    if (ec)
        throw std::runtime_error("cannot create /run/sshd: " + ec.message());
    fs::permissions(dir, fs::perms(0755), ec);
}

} // namespace

SshServer::SshServer() {
    if (!fs::exists(kSshd) || !fs::exists(kSsh) || !fs::exists(kSshKeygen))
        throw std::runtime_error("OpenSSH server or client is not installed (need openssh-server)");
    ensure_privsep_dir();
    keygen(dir_ / "host_key");
    keygen(dir_ / "user_key");
    write_file(dir_ / "authorized_keys", read_file(dir_ / "user_key.pub"), fs::perms(0600));

    for (int attempt = 0; attempt < 5; ++attempt) {
        if (try_start(free_port()))
            break;
    }
    if (!sshd_)
        throw std::runtime_error("sshd did not start:\n" + log());

    // The client trusts exactly this server's throwaway host key.
    const std::string host_pub = read_file(dir_ / "host_key.pub");
    write_file(dir_ / "known_hosts", "[127.0.0.1]:" + std::to_string(port_) + " " + host_pub);
    write_file(dir_ / "ssh_config", "Host *\n"
                                    "  HostName 127.0.0.1\n"
                                    "  Port " + std::to_string(port_) + "\n"
                                    "  User " + user_name() + "\n"
                                    "  IdentityFile " + (dir_ / "user_key").string() + "\n"
                                    "  IdentitiesOnly yes\n"
                                    "  UserKnownHostsFile " + (dir_ / "known_hosts").string() + "\n"
                                    "  GlobalKnownHostsFile /dev/null\n"
                                    "  StrictHostKeyChecking yes\n"
                                    "  BatchMode yes\n"
                                    "  ConnectTimeout 10\n"
                                    "  LogLevel ERROR\n");
    write_script(client_bin_dir() / "ssh",
                 "exec " + std::string(kSsh) + " -F '" + (dir_ / "ssh_config").string() + "' \"$@\"\n");
}

bool SshServer::try_start(int port) {
    const fs::path config = dir_ / "sshd_config";
    write_file(config, "ListenAddress 127.0.0.1\n"
                       "Port " + std::to_string(port) + "\n"
                       "HostKey " + (dir_ / "host_key").string() + "\n"
                       "AuthorizedKeysFile " + (dir_ / "authorized_keys").string() + "\n"
                       "AuthenticationMethods publickey\n"
                       "PubkeyAuthentication yes\n"
                       "PasswordAuthentication no\n"
                       "KbdInteractiveAuthentication no\n"
                       "PermitRootLogin prohibit-password\n"
                       "StrictModes no\n"
                       "UsePAM no\n"
                       "PidFile none\n"
                       "PrintMotd no\n"
                       "LogLevel INFO\n");
    ChildOptions opts;
    opts.err_file = dir_ / "sshd.log";
    auto sshd = std::make_unique<Child>(std::vector<std::string>{kSshd, "-D", "-e", "-f", config.string()}, opts);
    bool exited = false;
    const bool listening = wait_until(
        [&] {
            if (log().find("Server listening on") != std::string::npos)
                return true;
            exited = sshd->wait_for(0ms).has_value();
            return exited;
        },
        20s);
    if (!listening || exited)
        return false;
    port_ = port;
    sshd_ = std::move(sshd);
    return true;
}

SshServer::~SshServer() {
    if (sshd_) {
        sshd_->signal(SIGTERM);
        sshd_->wait_for(5s); // the Child kills it past that
    }
}

std::string SshServer::log() const { return read_file_or_empty(dir_ / "sshd.log"); }

} // namespace arktest
