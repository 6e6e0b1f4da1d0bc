// The full-restore script: a shell script that imports one mailbox whole by
// feeding the folder keys of its index file to the restore tool.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <string_view>

#include "c_buffer.h"
#include "mailbox_files.h"
#include "messages.h"
#include "restore_dir.h"
#include "restore_script.h"
#include "run_tool.h"
#include "system/fd.h"
#include "system/private_dir.h"
#include "utils.h"
#include "work_dir.h"

using ark::msg;

namespace {

constexpr std::string_view kScriptSuffix = ".script.restore-full.sh";
constexpr size_t kScriptNameSize = 256;
// Run by root and read by nobody else: no one else may change what it runs.
constexpr mode_t kScriptMode = 0700;

// Names of these characters are written into the script as they are; the
// operator reads and runs exactly this text.
bool is_plain_name(std::string_view name) {
    if (name.empty() || name.front() == '-')
        return false;
    for (char c : name) {
        const bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                           c == '.' || c == '_' || c == '-' || c == '@';
        if (!plain)
            return false;
    }
    return true;
}

std::string script_text(std::string_view user) {
    if (user == ark::kPublicFolder) {
        // The public store's export files are named "Public", and the tool
        // addresses it by its own option rather than by a user.
        return "#!/bin/sh\n"
               "USER=PUBLIC_FOLDER\n"
               "INDEX=Public.index.zbk\n"
               "root=`head -2 ${INDEX} | tail -1 | cut -d\\: -f3`\n"
               "grep ^C ${INDEX} | grep ${root} | cut -d\\: -f7 | zarafa-restore -p -r -i -\n";
    }
    if (is_plain_name(user)) {
        return "#!/bin/sh\n"
               "USER=" + std::string(user) + "\n"
               "INDEX=${USER}.index.zbk\n"
               "root=`head -2 ${INDEX} | tail -1 | cut -d\\: -f3`\n"
               "grep ^C ${INDEX} | grep ${root} | cut -d\\: -f7 | zarafa-restore -u ${USER} -r -i -\n";
    }
    // Any other name is data to the shell: quoted where it is set, quoted
    // wherever it is used, and never taken for an option.
    return "#!/bin/sh\n"
           "USER=" + ark::shell_quote(user) + "\n"
           "INDEX=\"./${USER}.index.zbk\"\n"
           "root=`head -2 \"${INDEX}\" | tail -1 | cut -d\\: -f3`\n"
           "grep ^C \"${INDEX}\" | grep -e \"${root}\" | cut -d\\: -f7 | zarafa-restore -u \"${USER}\" -r -i -\n";
}

// Writes the script into the checked directory dirfd; 1, or 0 after an
// "Error:". It is always created new: a leftover script of an earlier run
// (a regular file of the effective user, in a directory nobody else can
// write) is removed first, and anything else under its name makes the write
// fail, never followed, taken over or replaced.
int write_script(int dirfd, const std::string &shown, const std::string &file_name, std::string_view text) {
    if (auto what = ark::sys::not_own_regular_file(dirfd, file_name); !what) {
        msg("Warning: the restore script %s of an earlier run is replaced", shown.c_str());
        ::unlinkat(dirfd, file_name.c_str(), 0);
    } else if (what->rfind("not there", 0) != 0) {
        msg("Error: %s is %s; the restore script is not written over it", shown.c_str(), what->c_str());
        msg("Error: Can't open file=%s", file_name.c_str());
        return 0;
    }
    std::error_code ec;
    ark::sys::Fd fd = ark::sys::create_new_file(dirfd, file_name, kScriptMode, ec);
    if (!fd) {
        msg("Error: can't create %s: %s", shown.c_str(), ec.message().c_str());
        msg("Error: Can't open file=%s", file_name.c_str());
        return 0;
    }
    if (ec = ark::sys::write_all(fd.get(), text); ec) {
        msg("Error: the script of %zu bytes was not written whole, ERR=%s", text.size(), ec.message().c_str());
        msg("Error: Can't write script to file=%s", file_name.c_str());
        ::unlinkat(dirfd, file_name.c_str(), 0);
        return 0;
    }
    if (fd.close()) {
        msg("Error: Can't write script to file=%s", file_name.c_str());
        ::unlinkat(dirfd, file_name.c_str(), 0);
        return 0;
    }
    return 1;
}

} // namespace

namespace ark {

int write_full_script(const char *ccpPath, const char *ccpUserName, std::string &script_name, sys::Fd &dirfd,
                      bool *refused) {
    msg("utils_generate_full_rst_script(+)");
    if (!ccpPath || !ccpUserName) {
        msg("Error: Incorrect parameters");
        return 0;
    }
    const std::string_view user(ccpUserName);
    const std::string file_name = std::string(user) + std::string(kScriptSuffix);
    // The name becomes a file name in the restore directory: it may neither
    // leave that directory nor be cut.
    if (user.empty() || user.find('/') != std::string_view::npos) {
        msg("Error: mailbox name [%s] can't name a restore script", ccpUserName);
        return 0;
    }
    if (file_name.size() >= kScriptNameSize) {
        msg("Error: script name for mailbox [%s] is too long (%zu characters, at most %zu)", ccpUserName,
            file_name.size(), kScriptNameSize - 1);
        return 0;
    }
    if (!utils_path_exists(ccpPath)) {
        msg("Error: path doesn't exist [%s]", ccpPath);
        return 0;
    }
    dirfd = open_restore_dir(ccpPath, user);
    if (!dirfd) {
        if (refused)
            *refused = true;
        return 0;
    }
    int written = 0;
    {
        const WorkingDir in_restore(ccpPath, WorkingDir::Side::restore);
        if (!in_restore.entered())
            return 0;
        written = write_script(dirfd.get(), absolute_dir(ccpPath) + "/" + file_name, file_name, script_text(user));
    }
    if (!written)
        return 0;
    script_name = file_name;
    msg("utils_generate_full_rst_script(-)");
    return 1;
}

} // namespace ark

extern "C" int utils_generate_full_rst_script(const char *ccpPath, const char *ccpUserName, char *cpScriptName) {
    std::string script;
    ark::sys::Fd dirfd;
    if (!ark::write_full_script(ccpPath, ccpUserName, script, dirfd))
        return 0;
    if (cpScriptName)
        ark::copy_to(cpScriptName, kScriptNameSize, script);
    return 1;
}
