// Which processes hold the watched path open, and what they are called.
#pragma once

#include <unistd.h>

#include <string>
#include <string_view>

// Writes the line "访问路径的进程: NAME" once for every open descriptor, in every
// process this user may inspect, whose target contains watchedPath anywhere as
// a run of bytes. Processes or descriptors that vanish or are not readable
// during the walk are passed over without a message.
void scanProcessesForPath(const std::string &watchedPath, int outputFd = STDOUT_FILENO);

// The short name of a process: the last path component of its first
// command-line argument, empty when nothing can be read.
std::string getProcessName(int processId);

// getProcessName for a command-line file named relative to an open directory
// (AT_FDCWD for an absolute or working-directory path).
std::string getProcessNameAt(int directoryFd, const char *commandLinePath);

// The name rule on raw command-line bytes: the first argument ends at the first
// NUL or newline within the first 1023 bytes, and only what follows its last
// slash is kept.
std::string shortNameFromCommandLine(std::string_view commandLine);
