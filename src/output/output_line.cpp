#include "output/output_line.h"

#include <errno.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

namespace {

bool isEscapedAlone(unsigned char byte) { return byte < 0x20 || byte == 0x7f || byte == 0x5c; }

bool isC1ControlAt(std::string_view value, size_t at) {
  if (at + 1 >= value.size() || static_cast<unsigned char>(value[at]) != 0xc2) return false;
  const auto next = static_cast<unsigned char>(value[at + 1]);
  return next >= 0x80 && next <= 0x9f;
}

void appendEscaped(std::string *escaped, unsigned char byte) {
  static constexpr char kHexDigits[] = "0123456789abcdef";
  escaped->append("\\x");
  escaped->push_back(kHexDigits[byte >> 4]);
  escaped->push_back(kHexDigits[byte & 0x0f]);
}

// The default action of SIGPIPE, whatever disposition and mask were inherited.
// None of these calls can fail for SIGPIPE, and raise does not return.
void endAsBrokenPipe() {
  (void)signal(SIGPIPE, SIG_DFL);
  sigset_t brokenPipe;
  sigemptyset(&brokenPipe);
  sigaddset(&brokenPipe, SIGPIPE);
  (void)sigprocmask(SIG_UNBLOCK, &brokenPipe, nullptr);
  (void)raise(SIGPIPE);
}

}  // namespace

std::string escapeValue(std::string_view value) {
  std::string escaped;
  escaped.reserve(value.size());
  for (size_t at = 0; at < value.size(); ++at) {
    const auto byte = static_cast<unsigned char>(value[at]);
    if (isC1ControlAt(value, at)) {
      appendEscaped(&escaped, byte);
      appendEscaped(&escaped, static_cast<unsigned char>(value[++at]));
    } else if (isEscapedAlone(byte)) {
      appendEscaped(&escaped, byte);
    } else {
      escaped.push_back(value[at]);
    }
  }
  return escaped;
}

void writeLine(int fd, std::string_view label, std::string_view value) {
  std::string line;
  line.reserve(label.size() + value.size() + 1);
  line.append(label);
  line.append(escapeValue(value));
  line.push_back('\n');
  writeAll(fd, line);
}

void writeAll(int fd, std::string_view text) {
  while (!text.empty()) {
    const ssize_t written = write(fd, text.data(), text.size());
    if (written < 0 && errno == EINTR) continue;
    if (written < 0 && errno == EAGAIN) {
      pollfd output{fd, POLLOUT, 0};
      ppoll(&output, 1, nullptr, nullptr);
      continue;
    }
    if (written < 0 && errno == EPIPE) endAsBrokenPipe();
    // A lost line would read as "nobody touched it": a full disk, a
    // terminal gone (EIO) or any other failure ends the tool instead.
    if (written <= 0) {
      // A write that takes nothing of a non-empty text would be retried for ever.
      if (written == 0) errno = EIO;
      perror("write");
      exit(1);
    }
    text.remove_prefix(static_cast<size_t>(written));
  }
}
