// Reading text files line by line, whatever the length of a line.
#pragma once

#include <cstdio>
#include <memory>
#include <string_view>

namespace ark {

struct FileCloser {
    void operator()(std::FILE *file) const {
        if (file)
            std::fclose(file);
    }
};
using File = std::unique_ptr<std::FILE, FileCloser>;

inline File open_file(const char *path, const char *mode) { return File(std::fopen(path, mode)); }

// Yields each line of a stream in turn, its newline included when the file
// has one (as a line-oriented read does), so that a final line without one
// stays distinguishable.
class LineReader {
public:
    explicit LineReader(std::FILE *file) : file_(file) {}
    ~LineReader();
    LineReader(const LineReader &) = delete;
    LineReader &operator=(const LineReader &) = delete;

    // False at end of file or on a read error; the view lasts until the next
    // call.
    bool next(std::string_view &line);

private:
    std::FILE *file_;
    char *buffer_ = nullptr;
    size_t capacity_ = 0;
};

} // namespace ark
