// Message delivery: DB_TraceExt and DB_LogExt, and the internal path they
// share.
#include "messages.h"

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
        g_holding->texts_.emplace_back(text);
    } else {
        deliver(g_sARKZarafa.vpfDB_trace, format, args);
    }
    va_end(args);
}

HeldMessages::Scope::Scope(HeldMessages &held) : previous_(g_holding) { g_holding = &held; }

HeldMessages::Scope::~Scope() { g_holding = previous_; }

void HeldMessages::deliver() {
    std::vector<std::string> texts = std::move(texts_);
    texts_.clear();
    for (std::string &text : texts)
        msg("%s", text.c_str());
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
