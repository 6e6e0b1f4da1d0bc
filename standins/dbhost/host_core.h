// dbhost is a front end of the host core (host/core): the core's names are
// used here unqualified.
#pragma once

namespace host {}

namespace dbhost {
using namespace host;
} // namespace dbhost
