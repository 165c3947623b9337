#include <errno.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>

#include "process/process_attribution.h"

namespace {

// The name was always read as one line of at most this many bytes.
constexpr size_t kLongestCommandLine = 1023;

// Reads up to kLongestCommandLine bytes; false when nothing could be read.
bool readCommandLine(int fd, char *buffer, size_t *length) {
  size_t used = 0;
  while (used < kLongestCommandLine) {
    const ssize_t got = read(fd, buffer + used, kLongestCommandLine - used);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) return false;
    if (got == 0) break;
    used += static_cast<size_t>(got);
  }
  *length = used;
  return used > 0;
}

}  // namespace

std::string shortNameFromCommandLine(std::string_view commandLine) {
  std::string_view line = commandLine.substr(0, kLongestCommandLine);
  const size_t newline = line.find('\n');
  if (newline != std::string_view::npos) line = line.substr(0, newline + 1);
  line = line.substr(0, line.find('\0'));
  const size_t lastSlash = line.rfind('/');
  if (lastSlash != std::string_view::npos) line.remove_prefix(lastSlash + 1);
  std::string name(line);
  name.erase(std::remove(name.begin(), name.end(), '\n'), name.end());
  return name;
}

std::string getProcessNameAt(int directoryFd, const char *commandLinePath) {
  const int fd = openat(directoryFd, commandLinePath, O_RDONLY | O_CLOEXEC);
  if (fd == -1) return {};
  char buffer[kLongestCommandLine + 1];
  size_t length = 0;
  const bool readSome = readCommandLine(fd, buffer, &length);
  close(fd);
  if (!readSome) return {};
  return shortNameFromCommandLine(std::string_view(buffer, length));
}

std::string getProcessName(int processId) {
  const std::string path = "/proc/" + std::to_string(processId) + "/cmdline";
  return getProcessNameAt(AT_FDCWD, path.c_str());
}
