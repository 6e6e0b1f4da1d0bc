// Checks of a mailbox export, and putting back the index file it replaced.
#include "export_check.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <sstream>

#include "mailbox_files.h"
#include "messages.h"

namespace ark {

namespace {

std::string_view line_at(std::string_view text, size_t &pos) {
    const size_t end = text.find('\n', pos);
    const std::string_view line = text.substr(pos, end == std::string_view::npos ? end : end - pos);
    pos = end == std::string_view::npos ? text.size() : end + 1;
    return line;
}

// Field n (from 1) as "cut -d:" counts them: every ":" separates, so empty
// fields count. The full-restore script reads the root key this way.
std::string_view cut_field(std::string_view line, int n) {
    size_t start = 0;
    for (int field = 1; field < n; ++field) {
        const size_t colon = line.find(':', start);
        if (colon == std::string_view::npos)
            return {};
        start = colon + 1;
    }
    return line.substr(start, line.find(':', start) - start);
}

bool read_whole(const std::string &path, std::string &text) {
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return false;
    std::ostringstream content;
    content << in.rdbuf();
    text = std::move(content).str();
    return !in.bad();
}

bool same_file_state(const struct stat &a, const struct stat &b) {
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino && a.st_size == b.st_size &&
           a.st_mtim.tv_sec == b.st_mtim.tv_sec && a.st_mtim.tv_nsec == b.st_mtim.tv_nsec &&
           a.st_ctim.tv_sec == b.st_ctim.tv_sec && a.st_ctim.tv_nsec == b.st_ctim.tv_nsec;
}

bool is_regular(const std::string &path) {
    struct stat status {};
    return ::stat(path.c_str(), &status) == 0 && S_ISREG(status.st_mode);
}

// Writes text to path through a hidden file beside it and a rename, so that
// a half-written index never stands under the real name.
bool replace_file(const std::string &path, const std::string &text) {
    const std::string dir(directory_of(path));
    const std::string temp = dir + "." + std::string(file_name_of(path)) + ".previous";
    const int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (fd < 0)
        return false;
    size_t written = 0;
    while (written < text.size()) {
        const ssize_t n = ::write(fd, text.data() + written, text.size() - written);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        written += static_cast<size_t>(n);
    }
    const bool complete = written == text.size() && ::fsync(fd) == 0;
    if (::close(fd) != 0 || !complete || ::rename(temp.c_str(), path.c_str()) != 0) {
        ::unlink(temp.c_str());
        return false;
    }
    return true;
}

} // namespace

std::optional<std::string> index_text_problem(std::string_view text) {
    if (text.empty())
        return "it is empty";
    if (text.back() != '\n')
        return "its last line has no line end, the file is cut off";
    size_t pos = 0;
    const std::string_view header = line_at(text, pos);
    const size_t colon = header.rfind(':');
    if (colon == std::string_view::npos || colon + 1 == header.size())
        return "its first line names no user";
    if (pos >= text.size())
        return "it has no root line";
    if (cut_field(line_at(text, pos), 3).empty())
        return "its root line holds no root key";
    return std::nullopt;
}

PreviousIndex::PreviousIndex(std::string path) : path_(std::move(path)) {
    if (::stat(path_.c_str(), &status_) != 0 || !S_ISREG(status_.st_mode))
        return;
    existed_ = read_whole(path_, text_);
    if (!existed_)
        msg("Warning: can't read the index file %s of the previous export: %s", path_.c_str(), std::strerror(errno));
}

bool PreviousIndex::unchanged() const {
    if (!existed_)
        return false;
    struct stat now {};
    if (::stat(path_.c_str(), &now) != 0 || !same_file_state(now, status_))
        return false;
    std::string text;
    return read_whole(path_, text) && text == text_;
}

void PreviousIndex::put_back() const {
    if (existed_) {
        if (unchanged())
            return;
        if (replace_file(path_, text_))
            msg("Warning: the index file %s of the previous export is put back", path_.c_str());
        else
            msg("Warning: can't put back the index file %s of the previous export: %s", path_.c_str(),
                std::strerror(errno));
        return;
    }
    struct stat status {};
    if (::lstat(path_.c_str(), &status) != 0)
        return;
    if (::unlink(path_.c_str()) == 0)
        msg("Warning: the unusable index file %s is removed", path_.c_str());
    else
        msg("Warning: can't remove the unusable index file %s: %s", path_.c_str(), std::strerror(errno));
}

std::optional<std::string> export_problem(std::string_view mailbox, const std::string &dir,
                                          const PreviousIndex &previous) {
    const std::string &index = previous.path();
    if (!is_regular(index))
        return "its index file " + index + " is missing";
    if (previous.unchanged())
        return "its index file " + index + " was not written by this export, it is the previous one";
    std::string text;
    if (!read_whole(index, text))
        return "its index file " + index + " can't be read: " + std::strerror(errno);
    if (auto problem = index_text_problem(text))
        return "its index file " + index + " is incomplete: " + *problem;
    const std::string data = dir + "/" + data_file_name(mailbox);
    if (!is_regular(data))
        return "its data file " + data + " is missing";
    return std::nullopt;
}

} // namespace ark
