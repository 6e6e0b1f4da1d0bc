// Whole-line reading of streams and texts.
#include "line_reader.h"

#include <sys/types.h>

#include <cstdlib>

namespace ark::sys {

LineReader::~LineReader() { std::free(buffer_); }

bool LineReader::next(std::string_view &line) {
    if (!file_)
        return false;
    const ssize_t length = ::getline(&buffer_, &capacity_, file_);
    if (length <= 0)
        return false;
    line = std::string_view(buffer_, static_cast<size_t>(length));
    return true;
}

bool LineReader::next(std::string_view &line, size_t most) {
    if (!file_ || most == 0)
        return false;
    if (capacity_ < most) {
        char *grown = static_cast<char *>(std::realloc(buffer_, most));
        if (!grown)
            return false;
        buffer_ = grown;
        capacity_ = most;
    }
    size_t length = 0;
    while (length < most) {
        const int c = std::getc(file_);
        if (c == EOF)
            break;
        buffer_[length++] = static_cast<char>(c);
        if (c == '\n')
            break;
    }
    if (length == 0)
        return false;
    line = std::string_view(buffer_, length);
    return true;
}

bool TextLines::next(std::string_view &line) {
    if (rest_.empty())
        return false;
    const size_t end = rest_.find('\n');
    const size_t length = end == std::string_view::npos ? rest_.size() : end + 1;
    line = rest_.substr(0, length);
    rest_.remove_prefix(length);
    return true;
}

} // namespace ark::sys
