// File operations of the store: descriptors that close themselves, copying
// with a checksum, and writes that reach the disk before they are relied on.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>

#include "system/fd.h"

namespace host {

namespace fs = std::filesystem;

using ark::sys::Fd;

struct Checked {
    uint64_t size = 0;
    std::string sha256;
};

// All of these throw std::system_error with the path in the message.

// Opens a regular file for reading (refuses directories, devices, FIFOs).
Fd open_regular_file(const fs::path &path);

// Copies from source into a new file target (replacing one that is there,
// never following a symbolic link at target), returning size and checksum.
// With sync the data is on disk when it returns.
Checked copy_checked(int source, const fs::path &source_name, const fs::path &target, bool sync);

// Size and checksum of a regular file, read to its end.
Checked checksum_file(const fs::path &path);

// Makes a rename or a new entry in dir durable.
void sync_directory(const fs::path &dir);

// Appends text to an open file in one write, without waiting for the disk.
void append_text(int fd, const fs::path &name, std::string_view text);

// Appends one line to an open file in one write and waits until it is on disk.
void append_synced(int fd, const fs::path &name, std::string_view line);

// Waits until the data written to fd (and the size of its file) is on disk.
void sync_data(int fd, const fs::path &name);

// Writes out everything written so far to the file system that fd lies on,
// data and directory entries of every file alike: one call makes a whole
// batch of new files durable.
void sync_file_system(int fd, const fs::path &name);

// mkdir of one directory; false when something of that name already exists.
bool make_directory(const fs::path &dir, unsigned mode = 0700);

} // namespace host
