// Writing the tool's console lines.
#pragma once

#include <string>
#include <string_view>

// Values come from whoever named a file or started a process, so every byte a
// terminal could act on is written as \xNN: C0 controls (0x00-0x1f), DEL
// (0x7f) and both bytes of a C1 control in UTF-8 (c2 80 - c2 9f). A raw
// newline would forge whole lines, a raw ESC or CSI would drive the reader's
// terminal. The backslash itself is written as \x5c, so that every printed
// value reads back as exactly one byte string. Every other byte is kept.
std::string escapeValue(std::string_view value);

// Writes label, the escaped value and a newline with one write, so that a line
// is complete and visible the moment it is written, also through a pipe.
void writeLine(int fd, std::string_view label, std::string_view value);

// Writes all of text, resuming after short writes and interruptions and
// waiting while a non-blocking output is full. When the reader has gone
// (EPIPE) the tool ends as SIGPIPE's default action ends it, even if SIGPIPE
// was left ignored or blocked by whoever started it; any other failure is
// reported as "write: REASON" on standard error and ends the tool with status 1.
void writeAll(int fd, std::string_view text);
