#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <linux/magic.h>
#include <string.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <climits>
#include <cstddef>
#include <cstdint>

#include "output/output_line.h"
#include "process/process_attribution.h"

namespace {

constexpr char kProcessLineLabel[] = "访问路径的进程: ";

// Calls onEntry(entry) for each entry of the directory open at directoryFd,
// in the order the kernel lists them, and closes the descriptor. A directory
// that vanishes mid-listing simply ends. The entries are read with getdents64
// itself: a directory stream of the C library first asks fstat for a buffer
// size, and on 32-bit ABIs its fstat is a statx call, which Android's app
// filter refuses before Android 11: a signal for every directory walked.
template <typename OnEntry>
void forEachDirectoryEntry(int directoryFd, OnEntry onEntry) {
  // The size of the C library's own buffer for /proc's directories.
  alignas(dirent64) char entries[32768] __attribute__((uninitialized));
  ssize_t length = 0;
  while ((length = getdents64(directoryFd, entries, sizeof entries)) > 0) {
    for (ssize_t at = 0; at < length;) {
      const auto *entry = reinterpret_cast<const dirent64 *>(entries + at);
      onEntry(*entry);
      at += entry->d_reclen;
    }
  }
  close(directoryFd);
}

bool isProcessId(const char *name) {
  size_t digits = 0;
  uint64_t value = 0;
  for (; name[digits] != '\0'; ++digits) {
    if (name[digits] < '0' || name[digits] > '9' || digits >= 10) return false;
    value = value * 10 + static_cast<uint64_t>(name[digits] - '0');
  }
  return digits > 0 && value <= INT_MAX;
}

// Returns how many descriptors the directory listed. The name is read
// through the descriptor directory's own parent: that directory stays tied to
// the process that was listed, so once it has ended, "../cmdline" fails
// rather than naming a process that took over its id.
size_t scanDescriptors(int descriptorDirFd, const std::string &watchedPath, int outputFd) {
  // The kernel builds a descriptor's target in a buffer of PATH_MAX bytes
  // whatever the page size: a target is read whole or not at all.
  char target[PATH_MAX] __attribute__((uninitialized));
  size_t listed = 0;
  forEachDirectoryEntry(descriptorDirFd, [&](const dirent64 &entry) {
    if (entry.d_type != DT_LNK) return;
    ++listed;
    const ssize_t length = readlinkat(descriptorDirFd, entry.d_name, target, sizeof target);
    if (length < 0 || memmem(target, static_cast<size_t>(length), watchedPath.data(),
                             watchedPath.size()) == nullptr) {
      return;
    }
    writeLine(outputFd, kProcessLineLabel, getProcessNameAt(descriptorDirFd, "../cmdline"));
  });
  return listed;
}

int openDirectoryAt(int directoryFd, const std::string &path) {
  return openat(directoryFd, path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
}

// The first other thread whose directory lists any descriptor stands for the
// process: it is named once per descriptor, not once per thread.
void scanOtherThreads(int procFd, const char *processDirName, const std::string &watchedPath,
                      int outputFd) {
  const int taskDirFd = openDirectoryAt(procFd, std::string(processDirName) + "/task");
  if (taskDirFd == -1) return;
  bool found = false;
  forEachDirectoryEntry(taskDirFd, [&](const dirent64 &entry) {
    if (found || !isProcessId(entry.d_name) || strcmp(entry.d_name, processDirName) == 0) return;
    const int descriptorDirFd = openDirectoryAt(taskDirFd, std::string(entry.d_name) + "/fd");
    if (descriptorDirFd == -1) return;
    found = scanDescriptors(descriptorDirFd, watchedPath, outputFd) > 0;
  });
}

// Asked only in an ordinary user's walk, one call per process, so that each
// of the many other users' processes costs a single refused call: PID/fd
// cannot tell them from one's own whose first thread has ended. PID/exe is
// refused by the same owner check that guards the descriptors' targets, and
// is merely gone (ENOENT) once the first thread has ended.
bool isRefusedToThisUser(int procFd, const char *processDirName) {
  char firstByte = 0;
  const std::string executable = std::string(processDirName) + "/exe";
  return readlinkat(procFd, executable.c_str(), &firstByte, 1) == -1 && errno == EACCES;
}

// PID/fd is opened straight from /proc: opening the process directory to
// pass through it would be an event of its own on a watch of /proc.
//
// Once the first thread of a process has ended while others run, PID/fd
// lists nothing to root and becomes root's, refused even to the process's
// own user, and PID/cmdline is empty; every other thread's task/TID/fd and
// task/TID/cmdline still show the process's. Its other threads stand in.
void scanProcess(int procFd, const char *processDirName, bool readsEveryProcess,
                 const std::string &watchedPath, int outputFd) {
  if (!readsEveryProcess && isRefusedToThisUser(procFd, processDirName)) return;
  const int descriptorDirFd = openDirectoryAt(procFd, std::string(processDirName) + "/fd");
  if (descriptorDirFd == -1 || scanDescriptors(descriptorDirFd, watchedPath, outputFd) == 0) {
    scanOtherThreads(procFd, processDirName, watchedPath, outputFd);
  }
}

// In a bare chroot /proc can be a plain directory: opening it would be an
// event on a watch of "/", whose walk would open it again, for ever. A
// status call of the file system opens nothing.
bool isProcessFileSystem(const char *path) {
  struct statfs fileSystem {};
  return statfs(path, &fileSystem) == 0 && fileSystem.f_type == PROC_SUPER_MAGIC;
}

}  // namespace

void scanProcessesForPath(const std::string &watchedPath, int outputFd) {
  if (!isProcessFileSystem("/proc")) return;
  const int procFd = open("/proc", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (procFd == -1) return;
  const bool readsEveryProcess = geteuid() == 0;
  // The listing owns procFd until it ends; meanwhile the process directories
  // are opened relative to it.
  forEachDirectoryEntry(procFd, [&](const dirent64 &entry) {
    if (entry.d_type == DT_DIR && isProcessId(entry.d_name)) {
      scanProcess(procFd, entry.d_name, readsEveryProcess, watchedPath, outputFd);
    }
  });
}
