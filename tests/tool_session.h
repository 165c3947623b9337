// Runs the built tool with pipes on its standard streams, and starts helper
// processes that hold files open under a chosen program name.
#pragma once

#include <sys/types.h>

#include <functional>
#include <string>
#include <vector>

// The command that runs the tool: $WHOTOUCH_RUNNER (words split on blanks,
// e.g. "qemu-aarch64-static"), then $WHOTOUCH_EXE or the tool built here.
std::vector<std::string> toolCommand();

class ToolSession {
 public:
  // The tool starts with default signal dispositions and an empty signal
  // mask, whatever this process has; beforeExec, when given, then runs in the
  // child with the tool's standard streams in place.
  explicit ToolSession(const std::function<void()> &beforeExec = {});
  ~ToolSession();
  ToolSession(const ToolSession &) = delete;
  ToolSession &operator=(const ToolSession &) = delete;

  void send(const std::string &bytes);
  // Types the path and waits for the monitoring line.
  bool watch(const std::string &path);
  void closeInput();
  // Closes this end of the tool's standard output, as a reader that goes away.
  void closeOutput();
  // Reads the tool's output until done(stdout) holds or the time runs out.
  bool waitFor(const std::function<bool(const std::string &)> &done, int timeoutMs = 10000);
  bool waitForLine(const std::string &line, int timeoutMs = 10000);
  // Waits for the line as long as output keeps coming: gives up only after
  // idleMs without a new byte, however long the whole takes.
  bool waitForLineWhileProgressing(const std::string &line, int idleMs);
  // Reads whatever arrives within the given time.
  void drain(int timeoutMs);
  // Waits for the tool to end; its exit status, or -1 if it did not end.
  int waitForExit(int timeoutMs = 10000);
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

// The lines of text that lie strictly between two given lines.
std::vector<std::string> linesBetween(const std::vector<std::string> &lines,
                                      const std::string &first, const std::string &last);

// The user adb shell runs as on Android: uid and gid 2000, with the
// supplementary group 3009 that may see every process under /proc.
constexpr uid_t kShellUser = 2000;
constexpr gid_t kReadProcGroup = 3009;
// Makes this process (a child about to exec, or a holder) the shell user,
// still dumpable as a program it started would be; ends it on failure.
void becomeShellUser();
// Whether the shell user could run the tool: false when not root, or when a
// directory above the tool is private.
bool shellUserMayRunTheTool();

// Starts a holder with the command line {argv0, "600"}, holding each file
// open (the same file may be given twice), as this user or the shell user;
// returns once it runs under that name.
pid_t startHolder(const std::string &argv0, const std::vector<std::string> &files,
                  bool asShellUser = false);
// Forks a holder of the files, under this program's command line, whose first
// thread then ends while two others keep it running; returns once it has.
pid_t startHolderWithoutMainThread(const std::vector<std::string> &files, bool asShellUser = false);
void stopHolder(pid_t pid);

// The state letter of a process, from /proc/PID/stat ('?' when unreadable).
char processState(pid_t pid);

std::string readFile(const std::string &path);

// Sets a kernel limit under /proc/sys and puts the old value back on
// restore() or when it goes out of scope, however the test ends.
class KernelLimit {
 public:
  KernelLimit(std::string file, const std::string &value);
  ~KernelLimit();
  KernelLimit(const KernelLimit &) = delete;
  KernelLimit &operator=(const KernelLimit &) = delete;
  // False when the limit could not be written (not root, no such file).
  bool isSet() const { return set_; }
  void restore();

 private:
  std::string file_;
  std::string saved_;
  bool set_ = false;
};
std::string makeTempDir();
void removeTree(const std::string &path);
