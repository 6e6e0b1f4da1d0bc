// Reading text line by line, whatever the length of a line: from a stream,
// or from text already in memory. Both hand out each line with its "\n"
// when it has one, so that a final line without one stays distinguishable;
// chomp() takes the line end off.
#pragma once

#include <cstdio>
#include <memory>
#include <string_view>

namespace ark::sys {

struct FileCloser {
    void operator()(std::FILE *file) const {
        if (file)
            std::fclose(file);
    }
};
using File = std::unique_ptr<std::FILE, FileCloser>;

inline File open_file(const char *path, const char *mode) { return File(std::fopen(path, mode)); }

class LineReader {
public:
    explicit LineReader(std::FILE *file) : file_(file) {}
    ~LineReader();
    LineReader(const LineReader &) = delete;
    LineReader &operator=(const LineReader &) = delete;

    // False at end of file or on a read error; the view lasts until the next
    // call.
    bool next(std::string_view &line);
    // The same, reading at most `most` bytes: a longer line is handed out in
    // pieces, as a fixed-size record read gives it.
    bool next(std::string_view &line, size_t most);

private:
    std::FILE *file_;
    char *buffer_ = nullptr;
    size_t capacity_ = 0;
};

// The lines of a text in memory.
class TextLines {
public:
    explicit TextLines(std::string_view text) : rest_(text) {}
    bool next(std::string_view &line);

private:
    std::string_view rest_;
};

// The line without its final "\n".
inline std::string_view chomp(std::string_view line) {
    if (!line.empty() && line.back() == '\n')
        line.remove_suffix(1);
    return line;
}

} // namespace ark::sys
