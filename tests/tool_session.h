// Runs the built tool with pipes on its standard streams, and what its tests
// share around that.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <string>
#include <utility>
#include <vector>

// The tool under test: $WHOTOUCH_EXE, or the tool built here.
std::string toolPath();

// A wait gives up only when the tool has written nothing new for this long,
// however long the whole takes: an emulated or busy machine is slow, not stuck.
constexpr int kIdleLimitMs = 30000;

class ToolSession {
 public:
  // The tool starts with default signal dispositions and an empty signal
  // mask, whatever this process has; beforeExec, when given, then runs in the
  // child with the tool's standard streams in place, before the app filter.
  explicit ToolSession(const std::function<void()> &beforeExec = {},
                       const std::string &program = toolPath());
  ~ToolSession();
  ToolSession(const ToolSession &) = delete;
  ToolSession &operator=(const ToolSession &) = delete;

  void send(const std::string &bytes);
  // Types the path and waits for the monitoring line.
  bool watch(const std::string &path);
  void closeInput();
  // Closes this end of the tool's standard output, as a reader that goes away.
  void closeOutput();
  // Reads the tool's output until done(stdout) holds; false once the tool has
  // ended or been silent for kIdleLimitMs without it.
  bool waitFor(const std::function<bool(const std::string &)> &done);
  bool waitForLine(const std::string &line);
  // Reads whatever arrives within the given time.
  void drain(int timeoutMs);
  // Waits for the tool to end; its exit status, or -1 if it fell silent
  // for kIdleLimitMs without ending.
  int waitForExit();
  bool isRunning();
  std::vector<std::string> stdoutLines() const;

  pid_t pid = -1;
  std::string out;
  std::string err;

 private:
  bool readAvailable(int timeoutMs);
  int inputFd_ = -1;
  int outputFd_ = -1;
  int errorFd_ = -1;
  int status_ = -1;
};

// An architecture (AUDIT_ARCH_*) and its calls' numbers.
using CallList = std::pair<uint32_t, std::vector<unsigned>>;
// Puts this process (a child about to exec) under a system-call filter: the
// listed calls get onListed, every other call gets otherwise; the calls of
// otherArchitecture, when given, are judged by its own list. Ends this
// process on failure.
void enterFilter(const std::vector<unsigned> &calls, uint32_t onListed, uint32_t otherwise,
                 const CallList &otherArchitecture = {});
// Android's filter for apps, as a terminal app's shell and all it runs are
// under: the calls on this ABI's app list are allowed, any other gets SIGSYS.
// A 32-bit ABI's filter is the one a 64-bit device puts on its apps: the
// 64-bit ABI's list too, each call checked against its own architecture's.
// Past the C library's start-up, a refused call ends the process instead.
// With WHOTOUCH_APP_FILTER set, every ToolSession starts the tool under it.
void enterAppFilter();
// On a device whose 32-bit ABI this is, the 64-bit ABI's app list; else none.
CallList partnerAppCalls();

// In a mount namespace of its own, mounts source over /proc. The machine's
// /proc is made private first, so that nothing mounted here reaches it.
// Ends this process (a child about to exec) on failure.
void mountOverProc(const char *source, const char *type, unsigned long flags);

// The state letter of a process, from /proc/PID/stat ('?' when unreadable).
char processState(pid_t pid);

std::string readFile(const std::string &path);
std::string makeTempDir();
void removeTree(const std::string &path);
