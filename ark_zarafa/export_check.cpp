// Checks of a mailbox export: is what the tool left a complete export?
#include "export_check.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <fstream>

#include "fields.h"
#include "mailbox_files.h"

namespace ark {

namespace {

std::string_view line_at(std::string_view text, size_t &pos) {
    const size_t end = text.find('\n', pos);
    const std::string_view line = text.substr(pos, end == std::string_view::npos ? end : end - pos);
    pos = end == std::string_view::npos ? text.size() : end + 1;
    return line;
}

bool is_regular(const std::string &path) {
    struct stat status {};
    return ::stat(path.c_str(), &status) == 0 && S_ISREG(status.st_mode);
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

std::optional<std::string> index_file_problem(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return std::string("can't be read: ") + std::strerror(errno);
    // The head of the file with the line ends it has, and whether the file
    // ends in a line end: all that the checks of the text look at.
    std::string head, line;
    for (int lines = 0; lines < 2 && std::getline(in, line); ++lines) {
        head += line;
        if (!in.eof())
            head += '\n';
    }
    if (in.bad())
        return std::string("can't be read: ") + std::strerror(errno);
    in.clear();
    in.seekg(0, std::ios::end);
    const std::streamoff size = in.tellg();
    if (size > 0 && static_cast<size_t>(size) > head.size()) {
        in.seekg(-1, std::ios::end);
        const int last = in.get();
        if (!head.empty() && head.back() == '\n' && last != '\n')
            head.pop_back();
    }
    return index_text_problem(head);
}

std::optional<std::string> export_problem(std::string_view mailbox, const std::string &dir, bool index_unchanged) {
    const std::string index = dir + "/" + index_file_name(mailbox);
    if (!is_regular(index))
        return "its index file " + index + " is missing";
    if (index_unchanged)
        return "its index file " + index + " was not written by this export, it is the previous one";
    if (auto problem = index_file_problem(index))
        return "its index file " + index + (problem->starts_with("can't") ? " " : " is incomplete: ") + *problem;
    const std::string data = dir + "/" + data_file_name(mailbox);
    if (!is_regular(data))
        return "its data file " + data + " is missing";
    return std::nullopt;
}

} // namespace ark
