// Writing the tool's console lines.
#pragma once

#include <string>
#include <string_view>

// Values come from whoever named a file or started a process, so control bytes
// (0x00-0x1f, 0x7f) are shown as \xNN: a raw newline would forge whole lines, a
// raw ESC would drive the reader's terminal. Every other byte is kept as it is.
std::string escapeControlBytes(std::string_view value);

// Writes label, the escaped value and a newline with one write, so that a line
// is complete and visible the moment it is written, also through a pipe.
void writeLine(int fd, std::string_view label, std::string_view value);

// Writes all of text, resuming after short writes and interruptions. Failures
// are not reported: a closed pipe ends the tool through SIGPIPE.
void writeAll(int fd, std::string_view text);
