// Copies into the fixed buffers of the C interface, in one bounded place.
#pragma once

#include <cstddef>
#include <cstring>
#include <string_view>

namespace ark {

// Copy text into dst (capacity bytes, terminator included). Returns false,
// leaving dst an empty string, when the text does not fit whole: a cut path
// or name would silently name something else.
inline bool copy_to(char *dst, size_t capacity, std::string_view text) {
    if (capacity == 0)
        return false;
    if (text.size() >= capacity) {
        dst[0] = '\0';
        return false;
    }
    std::memcpy(dst, text.data(), text.size());
    dst[text.size()] = '\0';
    return true;
}

template <size_t N> bool copy_to(char (&dst)[N], std::string_view text) { return copy_to(dst, N, text); }

// The text of a fixed buffer, up to its terminator (or its end).
template <size_t N> std::string_view view_of(const char (&buffer)[N]) {
    return std::string_view(buffer, strnlen(buffer, N));
}

} // namespace ark
