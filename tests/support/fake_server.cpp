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
