#include "support/ssh_child.h"

#include <signal.h>

#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

namespace arktest {

namespace {

ark::sys::Output file_or_null(const fs::path &path) {
    return path.empty() ? ark::sys::Output::discard() : ark::sys::Output::to_file(path);
}

} // namespace

Child::Child(const std::vector<std::string> &argv, const ChildOptions &options)
    : program_(argv.empty() ? std::string() : argv[0]) {
    if (argv.empty())
        throw std::invalid_argument("Child: empty argv");
    ark::sys::Command command{.argv = argv, .cwd = options.cwd};
    if (!options.env.empty())
        command.env = ark::sys::environment_with(options.env);
    command.out = file_or_null(options.out_file);
    command.err = file_or_null(options.err_file);
    command.own_process_group = options.own_process_group;
    child_ = ark::sys::Child(command);
    if (!child_.started())
        throw std::runtime_error("cannot start " + program_ + ": " + std::strerror(child_.result().error));
}

Child::~Child() = default;

std::optional<ProcessResult> Child::wait_for(std::chrono::milliseconds limit) {
    if (auto result = child_.wait_for(limit))
        return process_result(*result, program_);
    return std::nullopt;
}

bool wait_until(const std::function<bool()> &ready, std::chrono::milliseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    for (;;) {
        if (ready())
            return true;
        if (std::chrono::steady_clock::now() >= deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

ProcessResult run_bounded(const std::vector<std::string> &argv, const ChildOptions &options,
                          std::chrono::milliseconds limit) {
    TempDir capture;
    ChildOptions opts = options;
    opts.out_file = capture / "stdout";
    opts.err_file = capture / "stderr";
    ProcessResult result;
    {
        Child child(argv, opts);
        if (auto r = child.wait_for(limit)) {
            result = *r;
        } else {
            result.exit_status = -1;
            result.signal = SIGKILL; // the destructor kills it
        }
    }
    result.out = read_file_or_empty(capture / "stdout");
    result.err = read_file_or_empty(capture / "stderr");
    return result;
}

std::string read_file_or_empty(const fs::path &path) {
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return {};
    std::ostringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

} // namespace arktest
