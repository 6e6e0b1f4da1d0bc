// The lines an application owes Amanda: messages of a backup on descriptor 3
// ("| " normal, "? " strange, "sendbackup: error [...]" failed), index lines
// on descriptor 4, check lines ("OK ", "ERROR ") on standard output, and for
// the other commands plain lines on standard error.
#pragma once

#include <string>
#include <string_view>

namespace amanda_app {

// Descriptors of the Application API during a backup.
inline constexpr int message_fd = 3;
inline constexpr int index_fd = 4;

// What the plug-in and the server's tools write on their own (the index
// dump, the tools' output) must not reach Amanda: on a backup, standard
// output is the dump itself. This moves Amanda's standard output and
// standard error to new descriptors (closed on exec) and points 1 and 2 at
// the log file, or at /dev/null without one (log_fd -1).
void divert_std_streams(int log_fd);
// Amanda's standard output and standard error, diverted or not.
int amanda_out();
int amanda_err();

// Writes text and a line end to fd in one write (retried on EINTR and short
// writes); false when the descriptor is gone. A line end inside text becomes
// a blank, so that one message is one line.
bool write_line(int fd, std::string_view text);

// The message lines of a backup.
void backup_normal(std::string_view text);  // "| text"
void backup_strange(std::string_view text); // "? text"
void backup_error(std::string_view text);   // "sendbackup: error [text]"

// Amanda's dumper (3.5, writing to its holding disk through shared memory)
// never sends the dump's header when a "?" line reaches it before the first
// byte of data: the dump after a killed one, whose first lines warn that the
// killed run's exports were rolled back, then waits for ever in sendbackup.
// So the message lines of a backup wait, in order, until the stream has
// data. While one is alive, lines are held; stream_started() writes them and
// lets the next ones through. A backup that ends before its stream started
// writes an empty archive first, so that even its error lines follow data.
class HeldMessages {
public:
    HeldMessages();
    ~HeldMessages();
    HeldMessages(const HeldMessages &) = delete;
    HeldMessages &operator=(const HeldMessages &) = delete;
};
// The stream has data: the held lines go out, later ones at once.
void stream_started();

} // namespace amanda_app
