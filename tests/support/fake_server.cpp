#include "support/fake_server.h"

#include <fstream>

namespace arktest {

namespace {
std::string hex(const std::string &s) {
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (unsigned char c : s) {
        out += digits[c >> 4];
        out += digits[c & 15];
    }
    return out;
}
} // namespace

FakeServer::FakeServer() : path_(dir_.path() / "bin") {
    // Details files are named by the hex of the login, so any name works.
    write_script(dir_ / "bin" / "zarafa-admin",
                 "d='" + dir_.path().string() + "'\n"
                 "printf '%s\\n' \"$*\" >> \"$d/calls.log\"\n"
                 "case \"$1\" in\n"
                 "-l) cat \"$d/listing.txt\" 2>/dev/null ;;\n"
                 "--details)\n"
                 "  h=$(printf '%s' \"$2\" | od -An -tx1 | tr -d ' \\n')\n"
                 "  if [ -f \"$d/details/$h\" ]; then cat \"$d/details/$h\";\n"
                 "  else echo 'Unable to show user details, user not found.'; exit 1; fi ;;\n"
                 "esac\n");
    write_file(dir_ / "listing.txt", "");
    // zarafa-backup writes a small index and data file for the mailbox into
    // the working directory; FAKE_BACKUP_MODE=none|data-only|many:N changes that.
    write_script(dir_ / "bin" / "zarafa-backup",
                 "d='" + dir_.path().string() + "'\n"
                 "printf 'backup %s in %s\\n' \"$*\" \"$(pwd)\" >> \"$d/calls.log\"\n"
                 "case \"$1\" in -u) n=$2; h=$2 ;; -p) n=Public; h=public ;; -a) n=ALL; h=all ;; esac\n"
                 "mode=${FAKE_BACKUP_MODE:-}\n"
                 "[ \"$mode\" = none ] && exit 1\n"
                 "printf 'data of %s\\n' \"$n\" > \"$n.data.zbk\"\n"
                 "[ \"$mode\" = data-only ] && exit 0\n"
                 "printf 'ZBK1:mailbox:%s\\nR:root:0a1b2c3d4e5f:00\\n"
                 "C:f:2:0a1b2c3d4e5f:6162:1:aaaaaaaaaaa1:end\\nM:m:aaaaaaaaaaa1:g1:bbbbbbbbbbb1:0:12:ck\\n' "
                 "\"$h\" > \"$n.index.zbk\"\n"
                 "case \"$mode\" in many:*) i=0; while [ $i -lt ${mode#many:} ]; do "
                 ": > \"$n.part$(printf %03d $i)\"; i=$((i+1)); done ;; esac\n"
                 "exit 0\n");
    // zarafa-restore records its arguments, working directory and input.
    write_script(dir_ / "bin" / "zarafa-restore",
                 "d='" + dir_.path().string() + "'\n"
                 "input=''\n"
                 "case \" $* \" in *' -i - '*) input=$(cat | tr '\\n' ' ') ;; esac\n"
                 "printf 'restore %s in %s input=%s\\n' \"$*\" \"$(pwd)\" \"$input\" >> \"$d/calls.log\"\n"
                 "exit ${FAKE_RESTORE_STATUS:-0}\n");
}

void FakeServer::set_listing(const std::string &text) { write_file(dir_ / "listing.txt", text); }

void FakeServer::set_users(const std::vector<std::string> &logins) {
    std::string text = "User list for Default(" + std::to_string(logins.size() + 1) + "):\n"
                       "\tusername\tfullname\temailaddress\n"
                       "\t---------------------------------------------\n"
                       "\tSYSTEM\tSYSTEM\t\n";
    for (const auto &login : logins)
        text += "\t" + login + "\t" + login + " Fullname\t" + login + "@example.org\n";
    set_listing(text);
}

void FakeServer::set_details(const std::string &name, const std::string &text) {
    write_file(dir_ / "details" / hex(name), text);
}

void FakeServer::set_details(const std::string &name, const std::string &full_name, const std::string &mail) {
    set_details(name, "Username:\t" + name + "\nFullname:\t" + full_name + "\nEmailaddress:\t" + mail +
                          "\nActive:\tyes\n");
}

std::vector<std::string> FakeServer::calls() const {
    std::vector<std::string> out;
    std::ifstream in(dir_ / "calls.log");
    for (std::string line; std::getline(in, line);)
        out.push_back(line);
    return out;
}

} // namespace arktest
