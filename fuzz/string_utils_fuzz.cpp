// squeeze and szChar2EscapeChar on caller buffers of exactly the size the
// caller declares. The input is: the character to work on, two bytes of
// capacity, then the text.
#include <cstring>
#include <string>

#include "cm_common.h"
#include "fuzz_support.h"

namespace {

std::string squeezed(std::string_view text, char c) {
    std::string out;
    for (char ch : text)
        if (ch != c || out.empty() || out.back() != c)
            out += ch;
    return out;
}

std::string escaped(std::string_view text, char c) {
    std::string out;
    for (char ch : text) {
        if (ch == c)
            out += '\\';
        out += ch;
    }
    return out;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 3)
        return 0;
    const char c = static_cast<char>(data[0]);
    const size_t capacity = 1 + ((static_cast<size_t>(data[1]) << 8 | data[2]) % 4096);
    const std::string_view text = fuzz::c_text(fuzz::as_text(data + 3, size - 3));

    {
        fuzz::ExactBuffer buffer(text.size() + 1);
        std::memcpy(buffer.data(), text.data(), text.size());
        buffer.data()[text.size()] = '\0';
        FUZZ_CHECK(squeeze(buffer.data(), c) == buffer.data());
        FUZZ_CHECK(buffer.terminated());
        FUZZ_CHECK(squeezed(text, c) == buffer.data());
    }
    {
        // The text must fit the declared capacity with its terminator.
        const std::string_view fitting = text.substr(0, capacity - 1);
        fuzz::ExactBuffer buffer(capacity);
        std::memcpy(buffer.data(), fitting.data(), fitting.size());
        buffer.data()[fitting.size()] = '\0';
        FUZZ_CHECK(szChar2EscapeChar(buffer.data(), c, static_cast<int>(capacity)) == buffer.data());
        FUZZ_CHECK(buffer.terminated());
        FUZZ_CHECK(escaped(fitting, c).substr(0, capacity - 1) == buffer.data());
    }
    return 0;
}
