// libFuzzer target: the record walk on arbitrary bytes, as if read() had
// returned them, and the name rule on arbitrary command lines. AddressSanitizer
// catches any read past the given bytes; a name that breaks the rule's
// promises (at most 1023 bytes, no NUL, newline or slash) traps.

#include <fcntl.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "process/process_attribution.h"
#include "watch/event_records.h"

namespace {

void skipScan(const std::string &, int) {}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  static const int devNull = open("/dev/null", O_WRONLY | O_CLOEXEC);
  const auto *bytes = reinterpret_cast<const char *>(data);
  reportEventRecords(bytes, size, "/watched", devNull, devNull, skipScan);
  const std::string name = shortNameFromCommandLine(std::string_view(bytes, size));
  if (name.size() > 1023 || name.find_first_of(std::string_view("\0\n/", 3)) != std::string::npos) {
    __builtin_trap();
  }
  return 0;
}
