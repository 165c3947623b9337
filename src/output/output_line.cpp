#include "output/output_line.h"

#include <errno.h>
#include <unistd.h>

namespace {

bool isControlByte(unsigned char byte) { return byte < 0x20 || byte == 0x7f; }

}  // namespace

std::string escapeControlBytes(std::string_view value) {
  static constexpr char kHexDigits[] = "0123456789abcdef";
  std::string escaped;
  escaped.reserve(value.size());
  for (char c : value) {
    const auto byte = static_cast<unsigned char>(c);
    if (!isControlByte(byte)) {
      escaped.push_back(c);
      continue;
    }
    escaped.append("\\x");
    escaped.push_back(kHexDigits[byte >> 4]);
    escaped.push_back(kHexDigits[byte & 0x0f]);
  }
  return escaped;
}

void writeLine(int fd, std::string_view label, std::string_view value) {
  std::string line;
  line.reserve(label.size() + value.size() + 1);
  line.append(label);
  line.append(escapeControlBytes(value));
  line.push_back('\n');
  writeAll(fd, line);
}

void writeAll(int fd, std::string_view text) {
  while (!text.empty()) {
    const ssize_t written = write(fd, text.data(), text.size());
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) return;
    text.remove_prefix(static_cast<size_t>(written));
  }
}
