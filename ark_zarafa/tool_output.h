// Where a tool that runs beside others writes its output: unlinked files
// (O_TMPFILE, 0600) in the tool's private directory, never a pipe. A chatty
// tool, one that runs ahead of its turn included, never waits for the
// plug-in to read, and the memory held per tool does not grow with its
// output; at the tool's turn the files are replayed in order.
#pragma once

#include <memory>
#include <string>

#include "messages.h"
#include "system/fd.h"
#include "system/process.h"

namespace ark {

class ToolOutput {
public:
    // Opens the files in dir, else in $TMPDIR or /tmp; one file for both
    // streams when one_stream (what goes to standard error as a whole).
    // False when none could be made: the caller then captures through pipes.
    bool open(const std::string &dir, bool one_stream);
    // Points the command's standard output and error at the files.
    void direct(sys::Command &command) const;
    // Hands the files to held, to be written out with its messages.
    void hold(HeldMessages &held, bool to_stderr);
    explicit operator bool() const { return static_cast<bool>(out_); }

private:
    std::shared_ptr<HeldFile> out_, err_;
};

} // namespace ark
