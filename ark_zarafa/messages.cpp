// Message delivery: DB_TraceExt and DB_LogExt, and the internal path they
// share.
#include "messages.h"

#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "ark_zarafa.h"

namespace {

constexpr size_t kMessageSize = 512;

ark::HeldMessages *g_holding = nullptr;

void format_into(char (&text)[kMessageSize], const char *format, va_list args) {
    std::vsnprintf(text, sizeof text, format, args);
    size_t length = std::strlen(text);
    while (length > 0 && (text[length - 1] == '\n' || text[length - 1] == '\r'))
        text[--length] = '\0';
}

void deliver(void (*sink)(char *), const char *format, va_list args) {
    if (!sink)
        return;
    char text[kMessageSize] = {};
    format_into(text, format, args);
    sink(text);
}

} // namespace

namespace ark {

bool has_sink() { return g_sARKZarafa.vpfDB_trace != nullptr; }

void msg(const char *format, ...) {
    va_list args;
    va_start(args, format);
    if (g_holding) {
        char text[kMessageSize] = {};
        format_into(text, format, args);
        g_holding->held_.push_back({HeldMessages::Held::Kind::message, text});
    } else {
        deliver(g_sARKZarafa.vpfDB_trace, format, args);
    }
    va_end(args);
}

HeldMessages::Scope::Scope(HeldMessages &held) : previous_(g_holding) { g_holding = &held; }

HeldMessages::Scope::~Scope() { g_holding = previous_; }

void HeldMessages::hold_output(std::string out, std::string err) {
    if (!out.empty())
        held_.push_back({Held::Kind::out, std::move(out)});
    if (!err.empty())
        held_.push_back({Held::Kind::err, std::move(err)});
}

void HeldMessages::hold_output_file(std::shared_ptr<HeldFile> file, bool to_stderr) {
    if (file && file->fd)
        held_.push_back({to_stderr ? Held::Kind::err : Held::Kind::out, {}, std::move(file)});
}

void HeldMessages::deliver() {
    std::vector<Held> held = std::move(held_);
    held_.clear();
    for (const Held &h : held) {
        if (h.kind == Held::Kind::message) {
            msg("%s", h.text.c_str());
            continue;
        }
        std::FILE *stream = h.kind == Held::Kind::out ? stdout : stderr;
        if (h.file) {
            // In blocks: a tool's output may be far larger than memory should hold.
            std::vector<char> block(64 * 1024);
            for (off_t at = 0;;) {
                const ssize_t n = ::pread(h.file->fd.get(), block.data(), block.size(), at);
                if (n < 0 && errno == EINTR)
                    continue;
                if (n <= 0)
                    break;
                std::fwrite(block.data(), 1, static_cast<size_t>(n), stream);
                at += n;
            }
        } else {
            std::fwrite(h.text.data(), 1, h.text.size(), stream);
        }
        std::fflush(stream);
    }
}

void log_msg(const char *format, ...) {
    va_list args;
    va_start(args, format);
    deliver(g_sARKZarafa.vpfDB_log, format, args);
    va_end(args);
}

} // namespace ark

extern "C" void DB_TraceExt(char *cpMsg, ...) {
    va_list args;
    va_start(args, cpMsg);
    deliver(g_sARKZarafa.vpfDB_trace, cpMsg, args);
    va_end(args);
}

extern "C" void DB_LogExt(char *cpMsg, ...) {
    va_list args;
    va_start(args, cpMsg);
    deliver(g_sARKZarafa.vpfDB_log, cpMsg, args);
    va_end(args);
}
