#include "tool_pool.h"

#include <thread>

namespace ark {

namespace {

constexpr std::chrono::milliseconds kPollStep{5};

} // namespace

void ToolPool::start(ToolJob job, HeldMessages held, size_t limit) {
    while (limit > 0 && jobs_.size() >= limit)
        wait_one();
    Running &r = jobs_.emplace_back();
    r.job = std::move(job);
    r.held = std::move(held);
    next(r);
    if (r.done)
        finish(r, false);
    jobs_.remove_if([](const Running &j) { return j.done; });
}

void ToolPool::next(Running &r) {
    while (!r.job.commands.empty()) {
        r.current = std::move(r.job.commands.front());
        r.job.commands.pop_front();
        {
            HeldMessages::Scope hold(r.held);
            if (r.job.before)
                r.job.before(r.current);
        }
        ToolOptions options = r.job.options;
        options.capture_output = true;
        options.output_to_stderr = false;
        options.capture_errors = true;
        // Its own process group, so that stopping it stops what it started.
        sys::Command command = tool_command(r.current, options);
        command.own_process_group = true;
        // Its output goes to files, which are replayed at its end: a tool
        // that writes much never waits for the pool to read.
        if (r.output.open(options.cwd.value_or(""), r.job.options.output_to_stderr))
            r.output.direct(command);
        r.child = sys::Child(command);
        if (r.child.started())
            return;
        // Not started: judged at once, like a run that ended.
        step(r, r.child.result());
        if (r.done)
            return;
    }
    r.done = true;
}

void ToolPool::step(Running &r, const sys::Result &result) {
    const ToolRun run = tool_run_of(result);
    bool go_on = true;
    {
        HeldMessages::Scope hold(r.held);
        // The output is replayed where the sequential run would have shown
        // it: after the messages that came before the command.
        if (r.job.options.output_to_stderr)
            r.held.hold_output("", run.output + run.errors);
        else
            r.held.hold_output(run.output, run.errors);
        r.output.hold(r.held, r.job.options.output_to_stderr);
        if (r.job.after)
            go_on = r.job.after(r.current, run);
    }
    if (!go_on) {
        r.job.commands.clear();
        r.done = true;
    }
}

void ToolPool::finish(Running &r, bool stopped) {
    {
        HeldMessages::Scope hold(r.held);
        if (r.job.finished)
            r.job.finished(stopped);
    }
    r.held.deliver();
    r.done = true;
}

void ToolPool::poll() {
    for (Running &r : jobs_) {
        if (r.done || !r.child.started())
            continue;
        if (auto result = r.child.poll()) {
            step(r, *result);
            if (!r.done)
                next(r);
            if (r.done)
                finish(r, false);
        }
    }
    jobs_.remove_if([](const Running &j) { return j.done; });
}

void ToolPool::wait_one() {
    const size_t before = jobs_.size();
    while (!jobs_.empty() && jobs_.size() == before) {
        poll();
        if (jobs_.size() < before)
            return;
        // Blocks on the oldest tool, which most often ends first, so that a
        // free place is taken as soon as that one ends; the others are
        // looked at again after at most a step.
        Running *oldest = nullptr;
        for (Running &r : jobs_)
            if (!r.done && r.child.running()) {
                oldest = &r;
                break;
            }
        if (oldest)
            oldest->child.wait_for(kPollStep);
        else
            std::this_thread::sleep_for(kPollStep);
    }
}

void ToolPool::wait_all() {
    while (!jobs_.empty())
        wait_one();
}

void ToolPool::stop_all(std::chrono::milliseconds grace) {
    for (Running &r : jobs_) {
        if (r.done)
            continue;
        if (r.child.running())
            r.child.stop(grace);
        r.job.commands.clear();
        finish(r, true);
    }
    jobs_.clear();
}

void ToolPool::wait_unless(const std::function<bool(const std::string &)> &conflicts) {
    auto any = [&] {
        for (const Running &r : jobs_)
            if (!r.done && conflicts(r.job.name))
                return true;
        return false;
    };
    while (any())
        wait_one();
}

bool ToolPool::running(const std::string &name) const {
    for (const Running &r : jobs_)
        if (!r.done && r.job.name == name)
            return true;
    return false;
}

} // namespace ark
