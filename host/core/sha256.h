// SHA-256, for the checksums of stored items.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

namespace host {

class Sha256 {
public:
    Sha256();
    void update(const void *data, size_t size);
    // The digest as 64 lower-case hex digits; the object is spent afterwards.
    std::string hex_digest();

private:
    void compress(const uint8_t *block);
    std::array<uint32_t, 8> state_;
    std::array<uint8_t, 64> buffer_{};
    size_t buffered_ = 0;
    uint64_t total_ = 0;
};

} // namespace host
