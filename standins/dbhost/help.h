// The full help of dbhost (--help): the usage lines, then every command and
// option explained. The manual page dbhost.1 describes the same commands and
// options.
#pragma once

#include <string>

namespace dbhost {

std::string help_text();

} // namespace dbhost
