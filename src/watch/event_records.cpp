#include "watch/event_records.h"

#include <string.h>
#include <sys/inotify.h>

#include <cstdint>
#include <string_view>

#include "output/output_line.h"

namespace {

constexpr char kOverflowWarning[] = "警告: 事件队列溢出，部分事件已丢失\n";
constexpr char kWatchEndedWarning[] = "警告: 监控已结束，路径已被删除或其文件系统已卸载\n";

constexpr size_t kHeaderSize = sizeof(struct inotify_event);

bool isReported(uint32_t mask, uint32_t nameLength) {
  return nameLength != 0 && (mask & (IN_CREATE | IN_OPEN)) != 0;
}

void writeEventLine(int outputFd, uint32_t mask, std::string_view name) {
  const std::string label = "检测到事件: " + std::to_string(mask) + " 路径: ";
  writeLine(outputFd, label, name);
}

}  // namespace

void reportEventRecords(const char *records, size_t byteCount, const std::string &watchedPath,
                        int outputFd, int errorFd, AfterEventStep afterEvent) {
  size_t offset = 0;
  while (byteCount - offset >= kHeaderSize) {
    // Fields are copied out rather than read through a cast: a record is not
    // guaranteed to sit at an aligned address of the caller's buffer.
    uint32_t mask = 0;
    uint32_t nameLength = 0;
    memcpy(&mask, records + offset + offsetof(struct inotify_event, mask), sizeof mask);
    memcpy(&nameLength, records + offset + offsetof(struct inotify_event, len), sizeof nameLength);
    const size_t nameOffset = offset + kHeaderSize;
    if (nameLength > byteCount - nameOffset) return;
    if ((mask & IN_Q_OVERFLOW) != 0) writeAll(errorFd, kOverflowWarning);
    // The kernel ends the watch when the directory is removed or unmounted
    // (IN_UNMOUNT comes first then); nothing can follow, not even for a new
    // directory of the same name.
    if ((mask & IN_IGNORED) != 0) writeAll(errorFd, kWatchEndedWarning);
    if (isReported(mask, nameLength)) {
      // The kernel pads the name with NULs up to len; only the name is shown.
      const char *name = records + nameOffset;
      writeEventLine(outputFd, mask, std::string_view(name, strnlen(name, nameLength)));
      afterEvent(watchedPath, outputFd);
    }
    offset = nameOffset + nameLength;
  }
}
