// The record walk on hand-made buffers, as the kernel could deliver them.

#include <gtest/gtest.h>
#include <stdio.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <cstring>

#include "output/output_line.h"
#include "watch/event_records.h"

namespace {

// The fixed part of a record; len need not match the bytes that follow.
std::string header(uint32_t mask, uint32_t nameLength) {
  inotify_event fixed{};
  fixed.wd = 1;
  fixed.mask = mask;
  fixed.len = nameLength;
  return std::string(reinterpret_cast<const char *>(&fixed), sizeof fixed);
}

// A record as the kernel writes it: the name padded with NULs to a multiple of 16.
std::string record(uint32_t mask, const std::string &name) {
  const size_t padded = name.empty() ? 0 : (name.size() / 16 + 1) * 16;
  return header(mask, static_cast<uint32_t>(padded)) + name +
         std::string(padded - name.size(), '\0');
}

// Stands in for the process scan: marks where it ran.
void markScan(const std::string &watchedPath, int outputFd) {
  writeAll(outputFd, "scan " + watchedPath + "\n");
}

std::string readAll(FILE *file) {
  rewind(file);
  std::string text;
  char buffer[4096];
  for (size_t got; (got = fread(buffer, 1, sizeof buffer, file)) > 0;) text.append(buffer, got);
  return text;
}

struct WalkCase {
  const char *title;
  std::string buffer;
  std::string expectedOut;
  std::string expectedErr;
};

TEST(RecordWalk, ReportsNamedOpensAndCreationsOnly) {
  const std::string overflowWarning = "警告: 事件队列溢出，部分事件已丢失\n";
  const std::string open32 = "检测到事件: 32 路径: a.txt\nscan /w\n";
  const std::vector<WalkCase> cases = {
      {"open", record(IN_OPEN, "a.txt"), open32, ""},
      {"creation then open, one buffer", record(IN_CREATE, "b") + record(IN_OPEN, "b"),
       "检测到事件: 256 路径: b\nscan /w\n检测到事件: 32 路径: b\nscan /w\n", ""},
      {"directory flag kept in the mask", record(IN_CREATE | IN_ISDIR, "d"),
       "检测到事件: 1073742080 路径: d\nscan /w\n", ""},
      {"unrequested flags and nameless records passed over",
       record(IN_MODIFY, "m") + record(IN_OPEN, "") + record(IN_OPEN, "a.txt"), open32, ""},
      {"overflow is reported, the rest still read",
       record(IN_Q_OVERFLOW, "") + record(IN_OPEN, "a.txt"), open32, overflowWarning},
      {"the end of the watch is announced once, also after an unmount",
       record(IN_UNMOUNT, "") + record(IN_IGNORED, ""), "",
       "警告: 监控已结束，路径已被删除或其文件系统已卸载\n"},
      {"name filling its whole length without a NUL", header(IN_OPEN, 16) + "0123456789abcdef",
       "检测到事件: 32 路径: 0123456789abcdef\nscan /w\n", ""},
      {"length beyond the buffer stops the walk", header(IN_OPEN, 16) + "abcdef", "", ""},
      {"header cut short stops the walk",
       record(IN_OPEN, "a.txt") + header(IN_OPEN, 0).substr(0, 8), open32, ""},
      // An offset advanced by a len near 2^32 must not wrap back into the buffer.
      {"length near 2^32", header(IN_OPEN, 0xfffffff0u) + record(IN_OPEN, "a.txt"), "", ""},
      {"trailing bytes shorter than a header", record(IN_OPEN, "a.txt") + std::string(4, '\0'),
       open32, ""},
      {"empty buffer", "", "", ""},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.title);
    FILE *out = tmpfile();
    FILE *err = tmpfile();
    reportEventRecords(c.buffer.data(), c.buffer.size(), "/w", fileno(out), fileno(err), markScan);
    EXPECT_EQ(readAll(out), c.expectedOut);
    EXPECT_EQ(readAll(err), c.expectedErr);
    (void)fclose(out);
    (void)fclose(err);
  }
}

}  // namespace
