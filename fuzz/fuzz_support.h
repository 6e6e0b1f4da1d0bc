// Shared pieces of the fuzz targets: property checks that end the run, input
// splitting, and scratch files that are removed after every run so that each
// run starts from the same state.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace fuzz {

// Report a broken property with its location and abort, so that libFuzzer
// records the input as a crash.
[[noreturn]] void fail(const char *file, int line, const char *what);

#define FUZZ_CHECK(cond)                                                                                               \
    do {                                                                                                               \
        if (!(cond))                                                                                                   \
            ::fuzz::fail(__FILE__, __LINE__, #cond);                                                                   \
    } while (0)

inline std::string_view as_text(const uint8_t *data, size_t size) {
    return std::string_view(reinterpret_cast<const char *>(data), size);
}

// Pieces of text between separators; a separator at the end gives no empty
// last piece.
std::vector<std::string> split(std::string_view text, char separator);

// The text as C sees it: everything up to the first NUL byte.
inline std::string_view c_text(std::string_view text) { return text.substr(0, text.find('\0')); }

// A directory of this process for scratch files, removed with its contents
// when the process exits normally.
const std::string &scratch_dir();

// A file in the scratch directory holding exactly the given bytes, removed
// when the guard ends.
class ScratchFile {
public:
    ScratchFile(const char *name, std::string_view contents);
    explicit ScratchFile(const char *name); // a path only; nothing is written
    ~ScratchFile();
    ScratchFile(const ScratchFile &) = delete;
    ScratchFile &operator=(const ScratchFile &) = delete;
    const char *path() const { return path_.c_str(); }
    std::string read() const; // the file's bytes, empty when it is missing

private:
    std::string path_;
};

// A heap block of exactly size bytes, so that AddressSanitizer sees the first
// byte written past a fixed buffer of the C interface.
class ExactBuffer {
public:
    explicit ExactBuffer(size_t size, char fill = '\x7f');
    ~ExactBuffer() { delete[] data_; }
    ExactBuffer(const ExactBuffer &) = delete;
    ExactBuffer &operator=(const ExactBuffer &) = delete;
    char *data() const { return data_; }
    size_t size() const { return size_; }
    // True when a terminator lies inside the block.
    bool terminated() const;

private:
    char *data_;
    size_t size_;
};

} // namespace fuzz
