// What dbhost itself shows: its own standard output and standard error, and,
// when the output is a terminal, one progress line that other lines push
// aside. While a backup or restore runs, descriptors 1 and 2 belong to the
// plug-in (see output_capture.h) and the host writes to copies of the
// original ones.
#pragma once

#include <ostream>
#include <string_view>

namespace dbhost::terminal {

// The host's standard output and standard error. Text reaches the
// descriptor at each flush (std::endl, std::flush), in one write.
std::ostream &out();
std::ostream &err();

// Where out() and err() write from now on.
void use(int out_fd, int err_fd);

// Whether out() is a terminal, and so gets a progress line.
bool output_is_terminal();

// Replaces the progress line with text, cut to the terminal's width; does
// nothing unless out() is a terminal.
void show_status(std::string_view text);
// Removes the progress line, if one is shown; the next line written to out()
// or err() does so first by itself.
void clear_status();

} // namespace dbhost::terminal
