// While a backup or restore runs, what the plug-in and the programs it
// starts write to standard output and standard error (descriptors 1 and 2,
// which those programs inherit) goes to the message log, one time-stamped
// line each, marked "stdout: " or "stderr: ", and to the host's standard
// error only with -v. The host's own output goes on through terminal::out()
// and terminal::err().
//
// A logger process of its own reads the pipes: it outlives a host that ends
// abruptly (exit, abort, a fatal signal), so that what was written just
// before still reaches the log.
#pragma once

#include <sys/types.h>

#include <memory>

namespace dbhost {

class OutputCapture {
public:
    // Starts the logger, which writes to log_fd (and with echo to the
    // original standard error), and hands descriptors 1 and 2 to its pipes.
    // When that is not possible: nullptr after a warning, and the output
    // stays where it was.
    static std::unique_ptr<OutputCapture> start(int log_fd, bool echo);

    // Puts descriptors 1 and 2 back and waits until the logger has written
    // everything; a little while at most, should a process that the plug-in
    // left behind keep a pipe open.
    ~OutputCapture();
    OutputCapture(const OutputCapture &) = delete;
    OutputCapture &operator=(const OutputCapture &) = delete;

private:
    OutputCapture(pid_t logger, int host_out, int host_err) : logger_(logger), host_out_(host_out), host_err_(host_err) {}
    pid_t logger_;
    int host_out_;
    int host_err_;
};

} // namespace dbhost
