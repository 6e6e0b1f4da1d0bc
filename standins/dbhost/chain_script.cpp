#include "chain_script.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <system_error>

#include "report.h"
#include "saveset_store.h"
#include "system/atomic_file.h"
#include "system/fd.h"

namespace dbhost {

std::string shell_word(const std::string &word) {
    bool safe = !word.empty();
    for (unsigned char c : word)
        safe = safe && ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                        c == '.' || c == '_' || c == '-' || c == '@' || c == '/');
    if (safe && word[0] != '-')
        return word;
    std::string quoted = "'";
    for (char c : word) {
        if (c == '\'')
            quoted += "'\\''";
        else
            quoted += c;
    }
    return quoted + "'";
}

std::string chain_script_name(const std::string &job) { return saveset_directory_name(job) + ".restore-chain.sh"; }

std::string chain_script_text(const std::string &job, const std::vector<RestoreScript> &scripts) {
    std::string text = "#!/bin/sh\n"
                       "# The full-restore scripts of the restore of job \"" +
                       printable(job) +
                       "\", in the order of the backups. Each runs in its own directory; the first that fails\n"
                       "# stops the rest, so that a later increment never lands without the ones before it.\n"
                       "run() {\n"
                       "    echo \"running $1/$2\"\n"
                       "    (cd -- \"$1\" && \"./$2\") || {\n"
                       "        status=$?\n"
                       "        echo \"Error: $1/$2 failed (exit status $status); the scripts after it were not run\" "
                       ">&2\n"
                       "        exit 1\n"
                       "    }\n"
                       "}\n";
    for (const RestoreScript &s : scripts)
        text += "run " + shell_word(s.dir.string()) + " " + shell_word(s.name) + "\n";
    text += "echo \"all " + std::to_string(scripts.size()) + " scripts ran\"\n";
    return text;
}

void write_chain_script(const fs::path &target, const std::string &text) {
    const fs::path temp = ark::sys::temporary_sibling(target);
    auto fail = [](const std::string &what) {
        throw std::system_error(errno, std::generic_category(), what);
    };
    if (::unlink(temp.c_str()) != 0 && errno != ENOENT)
        fail("cannot remove " + temp.string());
    ark::sys::Fd out(::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0700));
    if (!out)
        fail("cannot create " + temp.string());
    if (::fchmod(out.get(), 0700) != 0)
        fail("cannot set the mode of " + temp.string());
    if (std::error_code ec = ark::sys::write_all(out.get(), text)) {
        ::unlink(temp.c_str());
        throw std::system_error(ec, "cannot write " + temp.string());
    }
    if (::fsync(out.get()) != 0) {
        int error = errno;
        ::unlink(temp.c_str());
        throw std::system_error(error, std::generic_category(), "cannot write " + temp.string());
    }
    out.close();
    if (std::error_code ec = ark::sys::rename_durably(temp, target)) {
        ::unlink(temp.c_str());
        throw std::system_error(ec, "cannot put " + target.string() + " in place");
    }
}

} // namespace dbhost
