// Running "zarafa-admin -l" and reading its account rows.
#include "server_queries.h"

#include <cerrno>
#include <cstring>

#include "messages.h"
#include "run_tool.h"

namespace ark {

std::vector<std::string> split_lines(std::string_view text) {
    std::vector<std::string> lines;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string_view::npos)
            end = text.size();
        std::string_view line = text.substr(start, end - start);
        lines.emplace_back(line);
        start = end + 1;
    }
    return lines;
}

AccountListing list_accounts() {
    AccountListing listing;
    const std::vector<std::string> argv{"zarafa-admin", "-l"};
    ToolRun run = run_tool(argv, {.capture_output = true});
    if (!run.started) {
        // A missing tool behaves like a shell that found nothing to run: the
        // server simply lists nobody. Say so, since the backup will be empty.
        if (run.start_errno == ENOENT) {
            msg("Warning: can't run [%s]: %s", command_text(argv).c_str(), run.start_error.c_str());
            listing.ran = true;
        } else {
            listing.why = run.start_error;
        }
        return listing;
    }
    listing.ran = true;
    warn_if_failed(argv, run);
    const auto lines = split_lines(run.output);
    for (size_t i = 1; i < lines.size(); ++i) {
        const std::string &line = lines[i];
        if (line.find("SYSTEM") != std::string::npos || line.find("username") != std::string::npos ||
            line.find("---------") != std::string::npos)
            continue;
        const size_t begin = line.find_first_not_of(" \t\r\v\f");
        if (begin == std::string::npos)
            continue;
        const size_t end = line.find_first_of(" \t\r\v\f", begin);
        listing.names.push_back(line.substr(begin, end == std::string::npos ? std::string::npos : end - begin));
    }
    return listing;
}

} // namespace ark
