#include <dirent.h>
#include <fcntl.h>
#include <string.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <climits>
#include <cstddef>
#include <cstdint>

#include "process/output_line.h"
#include "process/process_attribution.h"

namespace {

constexpr char kProcessLineLabel[] = "访问路径的进程: ";

// The layout getdents64 fills in: d_ino (8), d_off (8), d_reclen (2),
// d_type (1), then the NUL-terminated name. Records are parsed by these
// offsets with their length checked first, so a short or odd record stops the
// listing instead of being read past its end.
constexpr size_t kRecordLengthOffset = 16;
constexpr size_t kTypeOffset = 18;
constexpr size_t kNameOffset = 19;

// One getdents64 call fills this much; a directory with more entries is read
// in several calls.
constexpr size_t kListingBufferSize = 16384;

// Most targets are far shorter; the rare longer one (up to a page, which is
// 64 KiB on some arm64 kernels) grows the buffer for the rest of the walk.
constexpr size_t kInitialTargetSize = 1024;

// Calls onEntry(type, name) for each entry of an open directory, in the order
// the kernel lists them. A directory that vanishes mid-listing simply ends.
template <typename OnEntry>
void forEachDirectoryEntry(int directoryFd, char *buffer, OnEntry onEntry) {
  for (;;) {
    const long filled = syscall(SYS_getdents64, directoryFd, buffer, kListingBufferSize);
    if (filled <= 0) return;
    const auto end = static_cast<size_t>(filled);
    for (size_t offset = 0; offset < end;) {
      const char *record = buffer + offset;
      if (end - offset <= kNameOffset) return;
      uint16_t recordLength = 0;
      memcpy(&recordLength, record + kRecordLengthOffset, sizeof recordLength);
      if (recordLength <= kNameOffset || recordLength > end - offset) return;
      const char *name = record + kNameOffset;
      if (memchr(name, '\0', recordLength - kNameOffset) == nullptr) return;
      onEntry(static_cast<unsigned char>(record[kTypeOffset]), name);
      offset += recordLength;
    }
  }
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

// readlinkat cuts a target silently at the buffer's size, so a full buffer
// means the target may be longer: grow and read it again. Returns the length,
// or -1 when the descriptor is gone or unreadable.
ssize_t readLinkTarget(int directoryFd, const char *name, std::string *target) {
  for (;;) {
    const ssize_t length = readlinkat(directoryFd, name, target->data(), target->size());
    if (length < 0 || static_cast<size_t>(length) < target->size()) return length;
    target->resize(target->size() * 2);
  }
}

void scanDescriptors(int processDirFd, int descriptorDirFd, const std::string &watchedPath,
                     int outputFd, std::string *target) {
  alignas(8) char listing[kListingBufferSize];
  forEachDirectoryEntry(descriptorDirFd, listing, [&](unsigned char type, const char *name) {
    if (type != DT_LNK) return;
    const ssize_t length = readLinkTarget(descriptorDirFd, name, target);
    if (length < 0) return;
    if (memmem(target->data(), static_cast<size_t>(length), watchedPath.data(),
               watchedPath.size()) == nullptr) {
      return;
    }
    writeLine(outputFd, kProcessLineLabel, getProcessNameAt(processDirFd, "cmdline"));
  });
}

// The descriptors and the name are both read through one open directory of
// the process, so a process id reused during the walk cannot lend its name to
// descriptors of the process that was listed.
void scanProcess(int procFd, const char *processDirName, const std::string &watchedPath,
                 int outputFd, std::string *target) {
  const int processDirFd = openat(procFd, processDirName, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (processDirFd == -1) return;
  const int descriptorDirFd = openat(processDirFd, "fd", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (descriptorDirFd != -1) {
    scanDescriptors(processDirFd, descriptorDirFd, watchedPath, outputFd, target);
    close(descriptorDirFd);
  }
  close(processDirFd);
}

}  // namespace

void scanProcessesForPath(const std::string &watchedPath, int outputFd) {
  const int procFd = open("/proc", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (procFd == -1) return;
  alignas(8) char listing[kListingBufferSize];
  // One buffer for every link target of the walk, not one per process.
  std::string target(kInitialTargetSize, '\0');
  forEachDirectoryEntry(procFd, listing, [&](unsigned char type, const char *name) {
    if (type == DT_DIR && isProcessId(name)) {
      scanProcess(procFd, name, watchedPath, outputFd, &target);
    }
  });
  close(procFd);
}
