// Whole-line reading of text files.
#include "line_reader.h"

#include <sys/types.h>

#include <cstdlib>

namespace ark {

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

} // namespace ark
