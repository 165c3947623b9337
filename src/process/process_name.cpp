#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <unistd.h>

#include "process/process_attribution.h"

namespace {

// The name is taken from the first 1023 bytes of the command line only, so a
// long argument list costs no more than a short one.
constexpr size_t kLongestCommandLine = 1023;

// Reads until the first argument has ended (a NUL or newline has come), the
// kLongestCommandLine bytes are full, or the file ends: the name never needs
// more, and a second read just to meet the end of the file doubles the cost.
// False when nothing could be read.
bool readCommandLine(int fd, char *buffer, size_t *length) {
  size_t used = 0;
  while (used < kLongestCommandLine) {
    const ssize_t got = read(fd, buffer + used, kLongestCommandLine - used);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) return false;
    if (got == 0) break;
    const char *added = buffer + used;
    used += static_cast<size_t>(got);
    if (memchr(added, '\0', static_cast<size_t>(got)) != nullptr ||
        memchr(added, '\n', static_cast<size_t>(got)) != nullptr) {
      break;
    }
  }
  *length = used;
  return used > 0;
}

}  // namespace

std::string shortNameFromCommandLine(std::string_view commandLine) {
  std::string_view argument = commandLine.substr(0, kLongestCommandLine);
  argument = argument.substr(0, argument.find_first_of(std::string_view("\0\n", 2)));
  const size_t lastSlash = argument.rfind('/');
  if (lastSlash != std::string_view::npos) argument.remove_prefix(lastSlash + 1);
  return std::string(argument);
}

std::string getProcessNameAt(int directoryFd, const char *commandLinePath) {
  const int fd = openat(directoryFd, commandLinePath, O_RDONLY | O_CLOEXEC);
  if (fd == -1) return {};
  char buffer[kLongestCommandLine] __attribute__((uninitialized));
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
