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

// Amanda's dumper (3.5.1) does not finish a dump when a strange line ("?")
// reaches it before it has sent the dump's header on, which it does only
// once data arrived: such a dump fails, or, right after a killed dump whose
// first lines warn that its exports were rolled back, waits for ever in
// sendbackup. So the message lines of a backup are held, in order, until
// the stream is complete; the report shows them all the same. While a
// HeldMessages is alive, lines are held; stream_started() writes them and
// lets the next ones through. A backup that ends before its stream was
// written writes an empty archive first, so that its error lines follow
// data too.
class HeldMessages {
public:
    HeldMessages();
    ~HeldMessages();
    HeldMessages(const HeldMessages &) = delete;
    HeldMessages &operator=(const HeldMessages &) = delete;
};
// The stream is complete: the held lines go out, later ones at once.
void stream_started();

} // namespace amanda_app
