#include "tool_output.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <vector>

namespace ark {

namespace {

// An unlinked file of this account alone; where O_TMPFILE is not supported,
// a file made under a unique name and unlinked at once.
sys::Fd anonymous_file(const std::string &dir) {
    sys::Fd fd(::open(dir.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600));
    if (fd)
        return fd;
    std::string name = dir + "/.ark_zarafa.output.XXXXXX";
    fd.reset(::mkostemp(name.data(), O_CLOEXEC));
    if (fd)
        ::unlink(name.c_str());
    return fd;
}

sys::Fd file_in_one_of(const std::string &dir) {
    const char *tmp = std::getenv("TMPDIR");
    for (const std::string &where : {dir, std::string(tmp && *tmp == '/' ? tmp : "/tmp")}) {
        if (where.empty())
            continue;
        if (sys::Fd fd = anonymous_file(where))
            return fd;
    }
    return sys::Fd{};
}

} // namespace

bool ToolOutput::open(const std::string &dir, bool one_stream) {
    out_.reset();
    err_.reset();
    sys::Fd out = file_in_one_of(dir);
    if (!out)
        return false;
    out_ = std::make_shared<HeldFile>(HeldFile{std::move(out)});
    if (one_stream) {
        err_ = out_;
        return true;
    }
    sys::Fd err = file_in_one_of(dir);
    if (!err) {
        out_.reset();
        return false;
    }
    err_ = std::make_shared<HeldFile>(HeldFile{std::move(err)});
    return true;
}

void ToolOutput::direct(sys::Command &command) const {
    command.out = sys::Output::to_fd(out_->fd.get());
    command.err = sys::Output::to_fd(err_->fd.get());
}

void ToolOutput::hold(HeldMessages &held, bool to_stderr) {
    if (!out_)
        return;
    held.hold_output_file(out_, to_stderr);
    if (err_ != out_)
        held.hold_output_file(err_, true);
    out_.reset();
    err_.reset();
}

} // namespace ark
