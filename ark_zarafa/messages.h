// The one message path of the plug-in: every message is formatted once and
// handed to the host's sink installed with DB_SetLog.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "system/fd.h"

namespace ark {

// A file that held output is kept in, shared by those who will replay it.
struct HeldFile {
    sys::Fd fd;
};

// True when the host installed a message sink; callers may skip composing
// expensive messages without one.
bool has_sink();

// Format and deliver a message to the trace sink (what DB_TraceExt does).
void msg(const char *format, ...) __attribute__((format(printf, 1, 2)));

// Format and deliver a message to the log slot (what DB_LogExt does).
void log_msg(const char *format, ...) __attribute__((format(printf, 1, 2)));

// Messages of work that runs ahead of its turn, held back and delivered in
// order when the turn comes, so that the log of a concurrent run reads like
// the sequential one.
class HeldMessages {
public:
    // While a Scope lives, msg() appends to held instead of delivering.
    class Scope {
    public:
        explicit Scope(HeldMessages &held);
        ~Scope();
        Scope(const Scope &) = delete;
        Scope &operator=(const Scope &) = delete;

    private:
        HeldMessages *previous_;
    };

    // Holds a tool's output, to be written to standard output and error
    // after the messages held before it.
    void hold_output(std::string out, std::string err);
    // Holds what a tool wrote into a file (from its start), to be copied
    // to standard error or output in blocks after the messages before it.
    void hold_output_file(std::shared_ptr<HeldFile> file, bool to_stderr);

    // Delivers the held messages to the host's sink, and the held output to
    // the streams, in order, and forgets them.
    void deliver();
    bool empty() const { return held_.empty(); }

private:
    friend void msg(const char *format, ...);
    struct Held {
        enum class Kind { message, out, err } kind;
        std::string text;
        std::shared_ptr<HeldFile> file{}; // the text is in this file instead
    };
    std::vector<Held> held_;
};

} // namespace ark
