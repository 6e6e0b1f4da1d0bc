// Profile files and both lookups. The input is: one byte choosing the value
// buffer's capacity, one the message buffer's, a first line "SECTION<TAB>KEY"
// (without a TAB the whole line is the key and no section is given), then the
// file itself.
#include <cstring>
#include <string>

#include "cm_common.h"
#include "fuzz_support.h"

namespace {

bool untouched(const fuzz::ExactBuffer &buffer) {
    for (size_t i = 0; i < buffer.size(); ++i)
        if (buffer.data()[i] != '\x7f')
            return false;
    return true;
}

unsigned long cell_size(void *element) { return (static_cast<t_linkLL *>(element) - 1)->u.ll.size; }

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 2)
        return 0;
    const int value_capacity = 1 + data[0] * 5;
    const int message_capacity = 1 + data[1] * 2;
    std::string_view rest = fuzz::as_text(data + 2, size - 2);
    const size_t newline = rest.find('\n');
    const std::string first_line(fuzz::c_text(rest.substr(0, newline)));
    rest = newline == std::string_view::npos ? std::string_view() : rest.substr(newline + 1);

    std::string section, key;
    const char *section_arg = nullptr;
    if (const size_t tab = first_line.find('\t'); tab != std::string::npos) {
        section = first_line.substr(0, tab);
        key = first_line.substr(tab + 1);
        section_arg = section.c_str();
    } else {
        key = first_line;
    }
    const fuzz::ScratchFile profile("profile.ini", rest);

    fuzz::ExactBuffer value(static_cast<size_t>(value_capacity));
    fuzz::ExactBuffer message(static_cast<size_t>(message_capacity));
    const int found = i_GetPrivateProfileString(profile.path(), section_arg, key.c_str(), value.data(),
                                                value_capacity, message.data(), message_capacity);
    FUZZ_CHECK(message.terminated());
    if (found == 1) {
        FUZZ_CHECK(value.terminated() && value.data()[0] != '\0');
        FUZZ_CHECK(message.data()[0] == '\0');
    } else {
        FUZZ_CHECK(found == 0);
        FUZZ_CHECK(untouched(value) || value.data()[0] == '\0');
    }

    t_LL list = ConsLL();
    fuzz::ExactBuffer list_message(static_cast<size_t>(message_capacity));
    const int listed =
        i_GetPrivateProfileList(profile.path(), section_arg, key.c_str(), list, list_message.data(), message_capacity);
    FUZZ_CHECK(list_message.terminated());
    FUZZ_CHECK(listed == 0 || listed == 1);
    FUZZ_CHECK(listed == 0 || SizeLL(list) > 0);
    for (void *element = FirstElmLL(list); IsElmLL(element); element = NextElmLL(element))
        FUZZ_CHECK(cell_size(element) == std::strlen(static_cast<char *>(element)) + 1);
    DestLL(list);
    return 0;
}
