// Turning the records of one inotify read into event lines.
#pragma once

#include <cstddef>
#include <string>

// Run after each event line, with the watched path and the output descriptor.
using AfterEventStep = void (*)(const std::string &watchedPath, int outputFd);

// Walks the records in records[0, byteCount): for each one that names an
// entry and carries IN_OPEN or IN_CREATE it writes the event line to outputFd
// and then runs afterEvent; for a queue-overflow record and for the record
// that ends the watch it writes a warning to errorFd. Never reads past
// byteCount, whatever the length fields say.
void reportEventRecords(const char *records, size_t byteCount, const std::string &watchedPath,
                        int outputFd, int errorFd, AfterEventStep afterEvent);
