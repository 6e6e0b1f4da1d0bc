// Internal view of the operation state beyond the exported record.
#pragma once

#include <string>
#include <vector>

namespace ark {

// Control variables that zarafa_parse_db_args refused because they did not
// fit the record (one description each); the set-up fails on them rather
// than run with a cut path.
const std::vector<std::string> &refused_control_vars();

} // namespace ark
