// Deriving a process's short name from its command line.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdio.h>
#include <unistd.h>

#include "process/process_attribution.h"

namespace {

TEST(ProcessName, TakesTheLastComponentOfTheFirstArgument) {
  using namespace std::string_literals;
  const std::string longArgument = "/a/" + std::string(1020, 'b') + "/tail";
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"/system/bin/surfaceflinger\0"s, "surfaceflinger"},
      {"com.android.systemui\0"s, "com.android.systemui"},
      {"/data/local/tmp/tool\0-x\0/later/arg\0"s, "tool"},
      {"/ends/with/slash/\0"s, ""},
      {""s, ""},
      {"first\nsecond/line\0"s, "first"},
      {"no-terminator", "no-terminator"},
      {longArgument + '\0', std::string(1020, 'b')},
      {std::string(1500, 'c'), std::string(1023, 'c')},
  };
  for (const auto &[commandLine, name] : cases) {
    EXPECT_EQ(shortNameFromCommandLine(commandLine), name) << commandLine.substr(0, 40);
    // The same, read from a command-line file as the walk reads one.
    FILE *file = tmpfile();
    (void)fwrite(commandLine.data(), 1, commandLine.size(), file);
    (void)fflush(file);
    const std::string path = "/proc/self/fd/" + std::to_string(fileno(file));
    EXPECT_EQ(getProcessNameAt(AT_FDCWD, path.c_str()), name) << commandLine.substr(0, 40);
    (void)fclose(file);
  }
}

TEST(ProcessName, UnreadableProcessesHaveTheEmptyName) {
  EXPECT_EQ(getProcessName(-1), "");
  EXPECT_EQ(getProcessName(0), "");
  EXPECT_EQ(getProcessName(2147483647), "");
  EXPECT_EQ(getProcessName(getpid()), "unit_tests");
}

}  // namespace
