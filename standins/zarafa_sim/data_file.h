// The data file of an export ("NAME.data.zbk"): the text of the messages
// that one export run wrote, which the index points into.
//
//   zbkdata:1:GENERATION:LOGIN\n
//   message:KEY:LENGTH\n TEXT \n        (once per message)
//
// Index records name the generation and the offset of TEXT; a restore
// accepts a message only when the generation, the record line before the
// offset, the length and the checksum all agree.
#pragma once

#include "index_file.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace zsim {

class DataFileWriter {
public:
    DataFileWriter(std::uint64_t generation, std::string_view login);
    // Appends a message and returns its index record (folder left empty).
    IndexMessage add(const std::string &key, std::string_view text);
    const std::string &bytes() const { return bytes_; }

private:
    std::uint64_t generation_;
    std::string bytes_;
};

class DataFile {
public:
    // Throws SimError naming `origin` when the header is not valid.
    static DataFile parse(std::string bytes, const std::string &origin);

    std::uint64_t generation() const { return generation_; }
    // The message text the record describes, or nothing when this file
    // does not hold it.
    std::optional<std::string_view> message(const IndexMessage &record) const;

private:
    DataFile() = default;
    std::string bytes_;
    std::uint64_t generation_ = 0;
};

} // namespace zsim
