// whotouch: watches one directory and, for every entry opened or created in
// it, names the processes that hold the watched path open.

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <poll.h>
#include <stdio.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <string>

#include "output/output_line.h"
#include "process/process_attribution.h"
#include "watch/confinement.h"
#include "watch/event_records.h"

namespace {

constexpr char kPrompt[] = "请输入要监控的路径: ";
constexpr char kMonitoringLabel[] = "正在监控路径: ";
constexpr char kNotADirectoryWarning[] = "警告: 路径不是目录，只有目录中的条目会被报告\n";
constexpr char kResolvedPathWarning[] =
    "警告: 描述符中的路径是解析后的路径，不会包含所输入的路径，请改为输入: ";
constexpr char kNotConfinedWarning[] =
    "警告: 内核无法限制本工具的系统调用，它以启动时的全部权限运行\n";
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
// shorter one. *isDirectory tells whether the watch is on a directory:
// IN_ONLYDIR tells it without a status call, which on 32-bit ABIs is a statx
// that Android's app filter refuses before Android 11. Only what is not a
// directory is watched without it.
int addWatch(int notifyFd, const std::string &watchedPath, bool *isDirectory) {
  if (watchedPath.find('\0') != std::string::npos) {
    errno = EINVAL;
    return -1;
  }
  int watch = inotify_add_watch(notifyFd, watchedPath.c_str(), kWatchMask | IN_ONLYDIR);
  *isDirectory = watch != -1;
  if (watch == -1 && errno == ENOTDIR) {
    watch = inotify_add_watch(notifyFd, watchedPath.c_str(), kWatchMask);
  }
  return watch;
}

// The path as realpath gives it: every symbolic link followed, and ".", ".."
// and repeated slashes gone; empty when a part cannot be read. realpath reads
// links with readlink, which Android 8.0 and 9 refuse an app on x86_64, so
// each part is read here with readlinkat. Reading a link opens nothing: it
// makes no event.
std::string resolvedPath(std::string unresolved) {
  std::string resolved;
  if (unresolved.empty() || unresolved[0] != '/') {
    char workingDirectory[PATH_MAX];
    if (getcwd(workingDirectory, sizeof workingDirectory) == nullptr) return {};
    if (workingDirectory[1] != '\0') resolved = workingDirectory;
  }
  char target[PATH_MAX];
  int linksFollowed = 0;
  while (!unresolved.empty()) {
    const size_t slash = unresolved.find('/');
    const std::string part = unresolved.substr(0, slash);
    unresolved.erase(0, slash == std::string::npos ? slash : slash + 1);
    if (part.empty() || part == ".") continue;
    if (part == "..") {
      resolved.erase(std::min(resolved.rfind('/'), resolved.size()));
      continue;
    }
    const size_t parentLength = resolved.size();
    resolved.append("/").append(part);
    const ssize_t length = readlinkat(AT_FDCWD, resolved.c_str(), target, sizeof target);
    if (length < 0 && errno == EINVAL) continue;  // not a link
    // The kernel, too, follows at most 40 links in one path.
    if (length <= 0 || length == sizeof target || ++linksFollowed > 40) return {};
    resolved.resize(target[0] == '/' ? 0 : parentLength);
    unresolved.insert(0, 1, '/').insert(0, target, static_cast<size_t>(length));
  }
  return resolved.empty() ? "/" : resolved;
}

// A descriptor's target is the resolved path: through a symbolic link (as
// /sdcard is on Android), or with "//", "./" or "..", the typed text never
// occurs in the target of a file directly inside the directory, so no holder
// of one would be named.
void warnIfDescriptorsShowAnotherPath(const std::string &watchedPath) {
  const std::string directory = resolvedPath(watchedPath);
  if (directory.empty()) return;
  const std::string prefixOfItsFiles = directory == "/" ? directory : directory + "/";
  if (prefixOfItsFiles.find(watchedPath) == std::string::npos) {
    writeLine(STDERR_FILENO, kResolvedPathWarning, directory);
  }
}

// Reads and reports records until a read fails for good, which it reports.
void watchEvents(int notifyFd, const std::string &watchedPath) {
  alignas(struct inotify_event) char buffer[kEventBufferSize] __attribute__((uninitialized));
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
  bool isDirectory = false;
  if (addWatch(notifyFd, watchedPath, &isDirectory) == -1) {
    perror("inotify_add_watch");
    return 1;
  }
  writeLine(STDOUT_FILENO, kMonitoringLabel, watchedPath);
  // A watch on a file is valid, but its records name no entry, so nothing
  // would ever be printed.
  if (!isDirectory) {
    writeAll(STDERR_FILENO, kNotADirectoryWarning);
  } else {
    warnIfDescriptorsShowAnotherPath(watchedPath);
  }
  // Every record, name and descriptor target read from here on is written by
  // whoever touches the directory: the tool reads them holding no more power
  // than the loop needs.
  if (WHOTOUCH_CONFINED && !confineToTheReadLoop()) writeAll(STDERR_FILENO, kNotConfinedWarning);
  watchEvents(notifyFd, watchedPath);
  return 1;
}
