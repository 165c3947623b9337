// The escaping of values in the console lines.

#include "output/output_line.h"

#include <gtest/gtest.h>

namespace {

TEST(OutputLine, EscapesWhatATerminalActsOnAndTheBackslash) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"plain/path.txt", "plain/path.txt"},
      {"中文 名字", "中文 名字"},
      {"a\nb", "a\\x0ab"},
      {"a\\x0ab", "a\\x5cx0ab"},
      {std::string("nul\0end", 7), "nul\\x00end"},
      {"\x1b[2J\x7f\x1f", "\\x1b[2J\\x7f\\x1f"},
      {"\xff\xfe", "\xff\xfe"},
      // C1 controls in UTF-8; the bytes of other characters stay as they are.
      {"\xc2\x9b"
       "31m \xc2\x80\xc2\x9f",
       "\\xc2\\x9b31m \\xc2\\x80\\xc2\\x9f"},
      {"\xc2\xa0 \x9b \xc3\x85 \xc2", "\xc2\xa0 \x9b \xc3\x85 \xc2"},
      {"\xc2\xc2\x85", "\xc2\\xc2\\x85"},
  };
  for (const auto &[value, shown] : cases) EXPECT_EQ(escapeValue(value), shown) << shown;
}

}  // namespace
