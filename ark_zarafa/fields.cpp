// Fields of ":"-separated lines.
#include "fields.h"

namespace ark {

RunField field_in_runs(std::string_view line, size_t n) {
    RunField result;
    size_t field = 0, pos = 0;
    while (field <= n) {
        pos = line.find_first_not_of(':', pos);
        if (pos == std::string_view::npos)
            break;
        size_t end = line.find(':', pos);
        if (end == std::string_view::npos)
            end = line.size();
        if (++field == n) {
            result.found = true;
            result.text = line.substr(pos, end - pos);
        }
        pos = end;
    }
    result.followed = field > n;
    return result;
}

std::string_view cut_field(std::string_view line, size_t n) {
    size_t start = 0;
    for (size_t field = 1; field < n; ++field) {
        const size_t colon = line.find(':', start);
        if (colon == std::string_view::npos)
            return {};
        start = colon + 1;
    }
    return line.substr(start, line.find(':', start) - start);
}

} // namespace ark
