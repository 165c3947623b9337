// Runs the built tool with pipes on its standard streams, and starts helper
// processes that hold files open under a chosen program name.
#pragma once

#include <sys/types.h>

#include <functional>
#include <string>
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

// The user adb shell runs as on Android: uid and gid 2000, with the
// supplementary group 3009 that may see every process under /proc.
constexpr uid_t kShellUser = 2000;
constexpr gid_t kReadProcGroup = 3009;
// Makes this process (a child about to exec, or a holder) the shell user,
// still dumpable as a program it started would be; ends it on failure.
void becomeShellUser();
// Copies the tool into directory, made for it, where any user may run it:
// the tree the tool was built in may be private (a clone in /root).
std::string copyToolForEveryone(const std::string &directory);

// Puts this process (a child about to exec) under Android's system-call
// filter for apps, as a terminal app's shell and all it runs are: a call off
// this ABI's app list gets SIGSYS. Ends this process on failure. With
// WHOTOUCH_APP_FILTER set, every ToolSession starts the tool under it.
void enterAppFilter();

// In a mount namespace of its own, mounts source over /proc. The machine's
// /proc is made private first, so that nothing mounted here reaches it.
// Ends this process (a child about to exec) on failure.
void mountOverProc(const char *source, const char *type, unsigned long flags);

// Starts a holder with the command line {argv0, "600"}, holding each file
// open (the same file may be given twice), as this user or the shell user;
// returns once it runs under that name. A holder that ends first fails the
// test and gives -1.
pid_t startHolder(const std::string &argv0, const std::vector<std::string> &files,
                  bool asShellUser = false);
// Forks a holder of the files, under this program's command line, whose first
// thread then ends while two others keep it running; returns once it has.
pid_t startHolderWithoutMainThread(const std::vector<std::string> &files, bool asShellUser = false);
void stopHolder(pid_t pid);

// The state letter of a process, from /proc/PID/stat ('?' when unreadable).
char processState(pid_t pid);

std::string readFile(const std::string &path);
std::string makeTempDir();
void removeTree(const std::string &path);
