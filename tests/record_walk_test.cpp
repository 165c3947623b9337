// The record walk on hand-made buffers, as the kernel could deliver them.

#include <gtest/gtest.h>
#include <stdio.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <cstring>

#include "process/output_line.h"
#include "watch/event_records.h"

namespace {

std::string record(uint32_t mask, const std::string &name, uint32_t paddedLength) {
  std::string bytes(sizeof(inotify_event) + paddedLength, '\0');
  inotify_event header{};
  header.wd = 1;
  header.mask = mask;
  header.len = paddedLength;
  memcpy(bytes.data(), &header, sizeof header);
  memcpy(bytes.data() + sizeof header, name.data(), std::min<size_t>(name.size(), paddedLength));
  return bytes;
}

std::string record(uint32_t mask, const std::string &name) {
  return record(mask, name, name.empty() ? 0 : static_cast<uint32_t>((name.size() / 16 + 1) * 16));
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
  std::string cutName = record(IN_OPEN, "abcdef", 16);
  cutName.resize(cutName.size() - 4);
  std::string cutHeader = record(IN_OPEN, "a.txt") + record(IN_OPEN, "b.txt");
  cutHeader.resize(cutHeader.size() - 24);
  const std::vector<WalkCase> cases = {
      {"open", record(IN_OPEN, "a.txt"), open32, ""},
      {"creation then open, one buffer", record(IN_CREATE, "b") + record(IN_OPEN, "b"),
       "检测到事件: 256 路径: b\nscan /w\n检测到事件: 32 路径: b\nscan /w\n", ""},
      {"directory flag kept in the mask", record(IN_CREATE | IN_ISDIR, "d"),
       "检测到事件: 1073742080 路径: d\nscan /w\n", ""},
      {"unrequested flags and nameless records passed over",
       record(IN_MODIFY, "m") + record(IN_OPEN, "") + record(IN_IGNORED, "") +
           record(IN_OPEN, "a.txt"),
       open32, ""},
      {"overflow is reported, the rest still read",
       record(IN_Q_OVERFLOW, "") + record(IN_OPEN, "a.txt"), open32, overflowWarning},
      {"name filling its whole length without a NUL", record(IN_OPEN, "0123456789abcdef", 16),
       "检测到事件: 32 路径: 0123456789abcdef\nscan /w\n", ""},
      {"length beyond the buffer stops the walk", cutName, "", ""},
      {"header cut short stops the walk", cutHeader, open32, ""},
      {"trailing bytes shorter than a header", record(IN_OPEN, "a.txt") + std::string(4, '\0'),
       open32, ""},
      {"empty buffer", "", "", ""},
  };
  // A record whose len is near 2^32 must not wrap the offset back into the buffer.
  std::string wrap = record(IN_OPEN, "a.txt") + record(IN_OPEN, "", 0);
  const uint32_t hugeLength = 0xfffffff0u;
  memcpy(wrap.data() + record(IN_OPEN, "a.txt").size() + offsetof(inotify_event, len), &hugeLength,
         sizeof hugeLength);
  std::vector<WalkCase> all = cases;
  all.push_back({"length near 2^32", wrap + record(IN_OPEN, "a.txt"), open32, ""});

  for (const auto &c : all) {
    SCOPED_TRACE(c.title);
    FILE *out = tmpfile();
    FILE *err = tmpfile();
    reportEventRecords(c.buffer.data(), c.buffer.size(), "/w", fileno(out), fileno(err), markScan);
    EXPECT_EQ(readAll(out), c.expectedOut);
    EXPECT_EQ(readAll(err), c.expectedErr);
    fclose(out);
    fclose(err);
  }
}

TEST(OutputLine, EscapesOnlyControlBytes) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"plain/path.txt", "plain/path.txt"},
      {"中文 名字", "中文 名字"},
      {"a\nb", "a\\x0ab"},
      {std::string("nul\0end", 7), "nul\\x00end"},
      {"\x1b[2J\x7f\x1f", "\\x1b[2J\\x7f\\x1f"},
      {"back\\slash \xff\xfe", "back\\slash \xff\xfe"},
  };
  for (const auto &[value, shown] : cases) EXPECT_EQ(escapeControlBytes(value), shown) << shown;
}

}  // namespace
