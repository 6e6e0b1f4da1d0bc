// Tool runs side by side: each job is a sequence of commands run one after
// the other, and up to a given number of jobs run at once. A job's messages
// are held from its start to its end and delivered then as one block, and
// its tools' output is captured and replayed with them, so that each
// mailbox's part of the log reads as in a sequential run. Children are
// reaped by their own pids only.
#pragma once

#include <chrono>
#include <deque>
#include <functional>
#include <list>
#include <string>
#include <vector>

#include "messages.h"
#include "run_tool.h"
#include "system/process.h"
#include "tool_output.h"

namespace ark {

struct ToolJob {
    std::string name; // what the job works on, for messages
    std::deque<std::vector<std::string>> commands;
    ToolOptions options; // for every command; output is captured
    // Called with the job's messages held: before each command, and after
    // it with its run (false ends the sequence there); then once at the end.
    std::function<void(const std::vector<std::string> &)> before;
    std::function<bool(const std::vector<std::string> &, const ToolRun &)> after;
    std::function<void(bool stopped)> finished;
};

class ToolPool {
public:
    // Starts the job; first waits for a running one to end while limit
    // jobs are running. The job's messages so far are held with it.
    void start(ToolJob job, HeldMessages held, size_t limit);
    // Advances every job without blocking; finishes those that ended.
    void poll();
    // Waits for every job to end and finishes it.
    void wait_all();
    // Stops every running tool (SIGTERM, then SIGKILL after grace), reaps
    // it and finishes its job as stopped.
    void stop_all(std::chrono::milliseconds grace = std::chrono::milliseconds(1000));

    bool running(const std::string &name) const;
    // Waits until no running job's name satisfies conflicts.
    void wait_unless(const std::function<bool(const std::string &)> &conflicts);
    size_t size() const { return jobs_.size(); }

private:
    struct Running {
        ToolJob job;
        HeldMessages held;
        std::vector<std::string> current;
        sys::Child child;
        ToolOutput output;
        bool done = false;
    };
    // Starts the job's next command, or marks it done when none is left.
    void next(Running &r);
    void step(Running &r, const sys::Result &result);
    void finish(Running &r, bool stopped);
    void wait_one();

    std::list<Running> jobs_;
};

} // namespace ark
