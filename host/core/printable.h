// Outside text (item names, mailbox names, messages) as it can be shown on
// one line of a terminal or a log.
#pragma once

#include <string>
#include <string_view>

namespace host {

// The text with control characters and bytes above 0x7e shown as \xNN.
std::string printable(std::string_view text);

} // namespace host
