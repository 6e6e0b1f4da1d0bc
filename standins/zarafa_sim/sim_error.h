// The one failure type of the simulator: the text is printed after "Error: "
// and the code becomes the exit status of the tool.
#pragma once

#include <stdexcept>
#include <string>

namespace zsim {

inline constexpr int exit_failure = 1;
inline constexpr int exit_usage = 2;

class SimError : public std::runtime_error {
public:
    explicit SimError(const std::string &what, int exit_code = exit_failure)
        : std::runtime_error(what), exit_code_(exit_code) {}
    int exit_code() const { return exit_code_; }

private:
    int exit_code_;
};

} // namespace zsim
