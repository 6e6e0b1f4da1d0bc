// The one message path of the plug-in: every message is formatted once and
// handed to the host's sink installed with DB_SetLog.
#pragma once

namespace ark {

// True when the host installed a message sink; callers may skip composing
// expensive messages without one.
bool has_sink();

// Format and deliver a message to the trace sink (what DB_TraceExt does).
void msg(const char *format, ...) __attribute__((format(printf, 1, 2)));

// Format and deliver a message to the log slot (what DB_LogExt does).
void log_msg(const char *format, ...) __attribute__((format(printf, 1, 2)));

} // namespace ark
