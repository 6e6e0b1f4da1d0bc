#include "data_file.h"

#include "checksum.h"
#include "file_io.h"
#include "sim_error.h"

#include <charconv>

namespace zsim {

namespace {

constexpr std::string_view header_word = "zbkdata";

std::string record_line(const std::string &key, std::size_t length) {
    return "message:" + key + ":" + std::to_string(length) + "\n";
}

} // namespace

DataFileWriter::DataFileWriter(std::uint64_t generation, std::string_view login) : generation_(generation) {
    bytes_.append(header_word).append(":1:").append(std::to_string(generation)).append(":");
    bytes_.append(login).append("\n");
}

IndexMessage DataFileWriter::add(const std::string &key, std::string_view text) {
    IndexMessage record;
    record.key = key;
    record.generation = generation_;
    bytes_ += record_line(key, text.size());
    record.offset = bytes_.size();
    record.length = text.size();
    record.checksum = checksum(text);
    bytes_.append(text).append("\n");
    return record;
}

DataFile DataFile::parse(std::string bytes, const std::string &origin) {
    DataFile file;
    const std::size_t eol = bytes.find('\n');
    const auto header = split(std::string_view(bytes).substr(0, eol == std::string::npos ? 0 : eol), ':');
    std::uint64_t generation = 0;
    bool valid = header.size() == 4 && header[0] == header_word && header[1] == "1";
    if (valid) {
        const auto [end, ec] = std::from_chars(header[2].data(), header[2].data() + header[2].size(), generation);
        valid = ec == std::errc() && end == header[2].data() + header[2].size();
    }
    if (!valid)
        throw SimError("data file " + origin + " has no valid header line");
    file.generation_ = generation;
    file.bytes_ = std::move(bytes);
    return file;
}

std::optional<std::string_view> DataFile::message(const IndexMessage &record) const {
    if (record.generation != generation_)
        return std::nullopt;
    const std::string line = record_line(record.key, record.length);
    if (record.offset < line.size() || record.offset > bytes_.size() ||
        record.length > bytes_.size() - record.offset)
        return std::nullopt;
    const std::string_view all(bytes_);
    if (all.substr(record.offset - line.size(), line.size()) != line)
        return std::nullopt;
    const std::string_view text = all.substr(record.offset, record.length);
    if (checksum(text) != record.checksum)
        return std::nullopt;
    return text;
}

} // namespace zsim
