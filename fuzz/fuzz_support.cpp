// Checks, splitting and scratch files of the fuzz targets.
#include "fuzz_support.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>

namespace fuzz {

void fail(const char *file, int line, const char *what) {
    std::fprintf(stderr, "%s:%d: property violated: %s\n", file, line, what);
    std::abort();
}

std::vector<std::string> split(std::string_view text, char separator) {
    std::vector<std::string> pieces;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find(separator, start);
        if (end == std::string_view::npos)
            end = text.size();
        pieces.emplace_back(text.substr(start, end - start));
        start = end + 1;
    }
    return pieces;
}

namespace {

std::string make_scratch_dir() {
    // Files the plug-in replaces are synced to disk: in memory (/dev/shm)
    // that costs nothing, so each run is not held up by the disk.
    const char *base = std::getenv("TMPDIR");
    const std::string dir = base && *base ? base : (::access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp");
    std::string pattern = dir + "/ark-fuzz-XXXXXX";
    if (!mkdtemp(pattern.data())) {
        std::perror("mkdtemp");
        std::abort();
    }
    return pattern;
}

void remove_scratch_dir() {
    std::error_code ignored;
    std::filesystem::remove_all(scratch_dir(), ignored);
}

} // namespace

const std::string &scratch_dir() {
    // Never destroyed: the exit handler that removes the directory runs after
    // the destructors of statics made before it was registered.
    static const std::string *dir = [] {
        auto *made = new std::string(make_scratch_dir());
        std::atexit(remove_scratch_dir);
        return made;
    }();
    return *dir;
}

ScratchFile::ScratchFile(const char *name) : path_(scratch_dir() + "/" + name) {}

ScratchFile::ScratchFile(const char *name, std::string_view contents) : ScratchFile(name) {
    std::FILE *file = std::fopen(path_.c_str(), "wb");
    if (!file || std::fwrite(contents.data(), 1, contents.size(), file) != contents.size() || std::fclose(file) != 0) {
        std::perror(path_.c_str());
        std::abort();
    }
}

ScratchFile::~ScratchFile() { ::unlink(path_.c_str()); }

std::string ScratchFile::read() const {
    std::ifstream in(path_, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

ExactBuffer::ExactBuffer(size_t size, char fill) : data_(new char[size]), size_(size) {
    std::memset(data_, fill, size);
}

bool ExactBuffer::terminated() const { return std::memchr(data_, '\0', size_) != nullptr; }

} // namespace fuzz
