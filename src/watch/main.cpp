// whotouch: watches one directory and, for every entry opened or created in
// it, names the processes that hold the watched path open.

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <poll.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <string>

#include "output/output_line.h"
#include "process/process_attribution.h"
#include "watch/event_records.h"

namespace {

constexpr char kPrompt[] = "请输入要监控的路径: ";
constexpr char kMonitoringLabel[] = "正在监控路径: ";
constexpr char kNotADirectoryWarning[] = "警告: 路径不是目录，只有目录中的条目会被报告\n";
constexpr char kResolvedPathWarning[] =
    "警告: 描述符中的路径是解析后的路径，不会包含所输入的路径，请改为输入: ";
constexpr uint32_t kWatchMask = IN_OPEN | IN_CREATE;

// Room for ten records with the longest name the kernel can send.
constexpr size_t kEventBufferSize = 10 * (sizeof(struct inotify_event) + NAME_MAX + 1);

// Past PATH_MAX the kernel refuses the path anyway, so the rest of an
// overlong line need not be kept for it to say so.
constexpr size_t kLongestKeptLine = PATH_MAX + 1;

// A standard stream that was closed would otherwise be the next descriptor
// opened: the notification descriptor would be read as the input or written
// with the lines. A closed one reads as empty and swallows what is written.
void openClosedStandardStreams() {
  for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
    if (fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
    // The lowest free descriptor is fd itself, as those below it are open.
    if (open("/dev/null", O_RDWR) == -1) return;
  }
}

// Reads one line without its newline, one byte at a time so that nothing
// after the line is taken from standard input. A non-blocking input that has
// nothing yet is waited for: only a newline or the end of input ends the
// line. A NUL byte ends the reading: the path is refused whatever follows.
std::string readWatchedPath() {
  std::string line;
  char byte = 0;
  for (;;) {
    const ssize_t got = read(STDIN_FILENO, &byte, 1);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0 && errno == EAGAIN) {
      pollfd input{STDIN_FILENO, POLLIN, 0};
      ppoll(&input, 1, nullptr, nullptr);
      continue;
    }
    if (got <= 0 || byte == '\n') return line;
    if (byte == '\0') {
      line.push_back(byte);
      return line;
    }
    if (line.size() < kLongestKeptLine) line.push_back(byte);
  }
}

// The kernel would see a path only up to its first NUL, while the scan
// searches for the whole line: such a path is refused instead of watching a
// shorter one.
int addWatch(int notifyFd, const std::string &watchedPath) {
  if (watchedPath.find('\0') != std::string::npos) {
    errno = EINVAL;
    return -1;
  }
  return inotify_add_watch(notifyFd, watchedPath.c_str(), kWatchMask);
}

// A watch on a file is valid, but its records name no entry, so nothing
// would ever be printed. A status call opens nothing: it makes no event.
// Returns whether it warned.
bool warnIfNotADirectory(const std::string &watchedPath) {
  struct stat status {};
  if (stat(watchedPath.c_str(), &status) != 0 || S_ISDIR(status.st_mode)) return false;
  writeAll(STDERR_FILENO, kNotADirectoryWarning);
  return true;
}

// A descriptor's target is the resolved path: through a symbolic link (as
// /sdcard is on Android), or with "//", "./" or "..", the typed text never
// occurs in the target of a file directly inside the directory, so no holder
// of one would be named. realpath only reads links: it opens nothing, so it
// makes no event.
void warnIfDescriptorsShowAnotherPath(const std::string &watchedPath) {
  char *resolved = realpath(watchedPath.c_str(), nullptr);
  if (resolved == nullptr) return;
  const std::string directory = resolved;
  free(resolved);
  const std::string prefixOfItsFiles = directory == "/" ? directory : directory + "/";
  if (prefixOfItsFiles.find(watchedPath) == std::string::npos) {
    writeLine(STDERR_FILENO, kResolvedPathWarning, directory);
  }
}

// Reads and reports records until a read fails for good, which it reports.
void watchEvents(int notifyFd, const std::string &watchedPath) {
  alignas(struct inotify_event) char buffer[kEventBufferSize];
  for (;;) {
    const ssize_t byteCount = read(notifyFd, buffer, sizeof buffer);
    if (byteCount < 0 && (errno == EAGAIN || errno == EINTR)) continue;
    if (byteCount < 0) {
      perror("read");
      return;
    }
    if (byteCount == 0) continue;
    reportEventRecords(buffer, static_cast<size_t>(byteCount), watchedPath, STDOUT_FILENO,
                       STDERR_FILENO, scanProcessesForPath);
  }
}

}  // namespace

int main() {
  openClosedStandardStreams();
  // inotify_init1 and ppoll, not inotify_init and poll: Android's app filter
  // refuses the older forms on x86_64, and allows the newer on every ABI.
  const int notifyFd = inotify_init1(0);
  if (notifyFd == -1) {
    perror("inotify_init");
    return 1;
  }
  writeAll(STDOUT_FILENO, kPrompt);
  const std::string watchedPath = readWatchedPath();
  if (addWatch(notifyFd, watchedPath) == -1) {
    perror("inotify_add_watch");
    return 1;
  }
  writeLine(STDOUT_FILENO, kMonitoringLabel, watchedPath);
  if (!warnIfNotADirectory(watchedPath)) warnIfDescriptorsShowAnotherPath(watchedPath);
  watchEvents(notifyFd, watchedPath);
  return 1;
}
