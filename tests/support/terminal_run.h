// A child process whose standard output and standard error are a
// pseudo-terminal, as when an operator runs it from a shell.
#pragma once

#include <string>
#include <vector>

#include "support/fixtures.h"

namespace arktest {

// Runs argv to its end on a terminal of the given width; out holds every
// byte the terminal received (line ends as "\r\n"), err stays empty.
ProcessResult run_on_terminal(const std::vector<std::string> &argv, const ProcessOptions &options = {},
                              unsigned short columns = 200);

} // namespace arktest
