// Helpers shared by the modules of the runtime library; not part of its
// interface.
#pragma once

#include <cstddef>
#include <cstring>
#include <string_view>

namespace nv::detail {

// Copy text into a fixed C buffer of `size` bytes, always terminated. Returns
// false (and leaves an empty string) when the text does not fit.
inline bool copy_bounded(char *buf, std::size_t size, std::string_view text) {
    if (size == 0)
        return false;
    if (text.size() >= size) {
        buf[0] = '\0';
        return false;
    }
    std::memcpy(buf, text.data(), text.size());
    buf[text.size()] = '\0';
    return true;
}

// Take the current offset of local time from UTC, for the time stamps of
// trace lines. WRITE_TRACE itself must not call localtime (it may run inside
// a signal handler), so the offset is taken here, outside any handler.
void refresh_local_offset();

} // namespace nv::detail
