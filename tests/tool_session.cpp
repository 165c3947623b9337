#include "tool_session.h"

#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <sstream>
#include <utility>

namespace {

long long nowMs() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return ts.tv_sec * 1000LL + ts.tv_nsec / 1000000;
}

std::vector<char *> argvOf(std::vector<std::string> &words) {
  std::vector<char *> argv;
  argv.reserve(words.size() + 1);
  for (auto &word : words) argv.push_back(word.data());
  argv.push_back(nullptr);
  return argv;
}

// startHolder runs this program again under the holder's name: it then only
// keeps the descriptors it inherited, before any test starts, until killed.
const bool kRunsAsHolder = [] {
  if (getenv("WHOTOUCH_HOLDER") == nullptr) return false;
  for (;;) pause();
}();

}  // namespace

std::string readFile(const std::string &path) {
  std::string content;
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd == -1) return content;
  char buffer[4096];
  for (ssize_t got; (got = read(fd, buffer, sizeof buffer)) > 0;) {
    content.append(buffer, static_cast<size_t>(got));
  }
  close(fd);
  return content;
}

std::vector<std::string> toolCommand() {
  std::vector<std::string> command;
  if (const char *runner = getenv("WHOTOUCH_RUNNER")) {
    std::istringstream words(runner);
    for (std::string word; words >> word;) command.push_back(word);
  }
  const char *exe = getenv("WHOTOUCH_EXE");
  command.emplace_back(exe != nullptr && *exe != '\0' ? exe : WHOTOUCH_DEFAULT_EXE);
  return command;
}

ToolSession::ToolSession(const std::function<void()> &beforeExec) {
  int in[2], out[2], errPipe[2];
  if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0 || pipe2(errPipe, O_CLOEXEC) != 0) {
    abort();
  }
  std::vector<std::string> command = toolCommand();
  std::vector<char *> argv = argvOf(command);
  pid = fork();
  if (pid == 0) {
    dup2(in[0], STDIN_FILENO);
    dup2(out[1], STDOUT_FILENO);
    dup2(errPipe[1], STDERR_FILENO);
    // Ignored signals and the signal mask survive exec: the tool must meet
    // the defaults a shell gives it, not this test's own settings.
    for (int sig = 1; sig < NSIG; ++sig) (void)signal(sig, SIG_DFL);
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    if (beforeExec) beforeExec();
    execvp(argv[0], argv.data());
    _exit(127);
  }
  close(in[0]);
  close(out[1]);
  close(errPipe[1]);
  inputFd_ = in[1];
  outputFd_ = out[0];
  errorFd_ = errPipe[0];
}

ToolSession::~ToolSession() {
  if (isRunning()) {
    kill(pid, SIGKILL);
    waitForExit();
  }
  closeInput();
  closeOutput();
  close(errorFd_);
}

void ToolSession::send(const std::string &bytes) {
  (void)signal(SIGPIPE, SIG_IGN);
  if (write(inputFd_, bytes.data(), bytes.size()) != static_cast<ssize_t>(bytes.size())) abort();
}

bool ToolSession::watch(const std::string &path) {
  send(path + "\n");
  return waitForLine("请输入要监控的路径: 正在监控路径: " + path);
}

void ToolSession::closeInput() {
  if (inputFd_ != -1) close(inputFd_);
  inputFd_ = -1;
}

void ToolSession::closeOutput() {
  if (outputFd_ != -1) close(outputFd_);
  outputFd_ = -1;
}

bool ToolSession::readAvailable(int timeoutMs) {
  pollfd fds[2] = {{outputFd_, POLLIN, 0}, {errorFd_, POLLIN, 0}};
  if (poll(fds, 2, timeoutMs) <= 0) return false;
  bool any = false;
  char buffer[65536];
  std::string *sinks[2] = {&out, &err};
  for (int i = 0; i < 2; ++i) {
    if ((fds[i].revents & (POLLIN | POLLHUP)) == 0) continue;
    const ssize_t got = read(fds[i].fd, buffer, sizeof buffer);
    if (got > 0) {
      sinks[i]->append(buffer, static_cast<size_t>(got));
      any = true;
    }
  }
  return any;
}

bool ToolSession::waitFor(const std::function<bool(const std::string &)> &done, int timeoutMs) {
  const long long deadline = nowMs() + timeoutMs;
  while (!done(out)) {
    const long long left = deadline - nowMs();
    if (left <= 0) return false;
    if (!readAvailable(static_cast<int>(left)) && !isRunning() && !readAvailable(0)) {
      return done(out);
    }
  }
  return true;
}

bool ToolSession::waitForLine(const std::string &line, int timeoutMs) {
  const std::string needle = line + "\n";
  return waitFor(
      [&](const std::string &text) {
        return text.compare(0, needle.size(), needle) == 0 ||
               text.find("\n" + needle) != std::string::npos;
      },
      timeoutMs);
}

bool ToolSession::waitForLineWhileProgressing(const std::string &line, int idleMs) {
  for (;;) {
    const size_t before = out.size();
    if (waitForLine(line, idleMs)) return true;
    if (out.size() == before) return false;
  }
}

void ToolSession::drain(int timeoutMs) {
  const long long deadline = nowMs() + timeoutMs;
  for (long long left = timeoutMs; left > 0; left = deadline - nowMs()) {
    readAvailable(static_cast<int>(left));
  }
}

bool ToolSession::isRunning() {
  if (status_ != -1) return false;
  int status = 0;
  if (waitpid(pid, &status, WNOHANG) != pid) return true;
  status_ = status;
  return false;
}

int ToolSession::waitForExit(int timeoutMs) {
  const long long deadline = nowMs() + timeoutMs;
  while (isRunning()) {
    if (nowMs() > deadline) return -1;
    if (!readAvailable(20)) usleep(1000);
  }
  while (readAvailable(0)) {
  }
  return WIFEXITED(status_) ? WEXITSTATUS(status_) : 128 + WTERMSIG(status_);
}

std::vector<std::string> ToolSession::stdoutLines() const {
  std::vector<std::string> lines;
  std::istringstream text(out);
  for (std::string line; std::getline(text, line);) lines.push_back(line);
  return lines;
}

std::vector<std::string> linesBetween(const std::vector<std::string> &lines,
                                      const std::string &first, const std::string &last) {
  std::vector<std::string> between;
  bool inside = false;
  for (const auto &line : lines) {
    if (inside && line == last) return between;
    if (inside) between.push_back(line);
    if (line == first) inside = true;
  }
  return between;
}

void becomeShellUser() {
  // A change of user makes a process undumpable, and so its descriptors
  // unreadable to that very user, until it execs a program.
  if (setgroups(1, &kReadProcGroup) != 0 || setgid(kShellUser) != 0 || setuid(kShellUser) != 0 ||
      prctl(PR_SET_DUMPABLE, 1) != 0) {
    perror("becoming the shell user");
    _exit(125);
  }
}

bool shellUserMayRunTheTool() {
  if (geteuid() != 0) return false;
  std::vector<std::string> command = toolCommand();
  std::vector<char *> argv = argvOf(command);
  const pid_t child = fork();
  if (child == 0) {
    becomeShellUser();
    // No input: a tool that runs ends with its watch error and status 1.
    const int devNull = open("/dev/null", O_RDWR);
    for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) dup2(devNull, fd);
    execvp(argv[0], argv.data());
    _exit(127);
  }
  int status = 0;
  waitpid(child, &status, 0);
  return WIFEXITED(status) && WEXITSTATUS(status) == 1;
}

pid_t startHolder(const std::string &argv0, const std::vector<std::string> &files,
                  bool asShellUser) {
  int ready[2];
  if (pipe2(ready, O_CLOEXEC) != 0) abort();
  std::vector<std::string> words = {argv0, "600"};
  std::vector<char *> argv = argvOf(words);
  const pid_t child = fork();
  if (child == 0) {
    // Some holders keep more descriptors than a default soft limit allows.
    rlimit limit{};
    getrlimit(RLIMIT_NOFILE, &limit);
    limit.rlim_cur = limit.rlim_max;
    setrlimit(RLIMIT_NOFILE, &limit);
    if (asShellUser) becomeShellUser();
    // Opened without O_CLOEXEC so that the holder inherits them.
    for (const auto &file : files) {
      if (open(file.c_str(), O_RDONLY) == -1) _exit(126);
    }
    // Not /bin/sleep: busybox's and toybox's pick their applet by argv[0].
    char holderMark[] = "WHOTOUCH_HOLDER=1";
    char *const environment[] = {holderMark, nullptr};
    execve("/proc/self/exe", argv.data(), environment);
    _exit(127);
  }
  close(ready[1]);
  char byte = 0;
  // The pipe closes when the exec succeeds (or the child dies).
  while (read(ready[0], &byte, 1) > 0) {
  }
  close(ready[0]);
  // The new command line is published a moment after the exec closes the pipe.
  const std::string expected = argv0 + '\0' + "600" + '\0';
  const std::string cmdline = "/proc/" + std::to_string(child) + "/cmdline";
  for (int tries = 0; tries < 5000 && readFile(cmdline) != expected; ++tries) usleep(1000);
  return child;
}

pid_t startHolderWithoutMainThread(const std::vector<std::string> &files, bool asShellUser) {
  const pid_t child = fork();
  if (child == 0) {
    if (asShellUser) becomeShellUser();
    for (const auto &file : files) {
      if (open(file.c_str(), O_RDONLY) == -1) _exit(126);
    }
    for (int i = 0; i < 2; ++i) {
      pthread_t thread;
      pthread_create(
          &thread, nullptr,
          [](void *) -> void * {
            for (;;) pause();
          },
          nullptr);
    }
    // The exit call ends only this thread; pthread_exit would unwind
    // through the test framework's frames.
    syscall(SYS_exit, 0);
  }
  // The ended first thread is a zombie while the process lives on.
  for (int tries = 0; tries < 5000 && processState(child) != 'Z'; ++tries) usleep(1000);
  return child;
}

char processState(pid_t pid) {
  const std::string stat = readFile("/proc/" + std::to_string(pid) + "/stat");
  const size_t commandEnd = stat.rfind(") ");
  return commandEnd != std::string::npos && commandEnd + 2 < stat.size() ? stat[commandEnd + 2]
                                                                         : '?';
}

void stopHolder(pid_t pid) {
  kill(pid, SIGKILL);
  waitpid(pid, nullptr, 0);
}

KernelLimit::KernelLimit(std::string file, const std::string &value)
    : file_(std::move(file)), saved_(readFile(file_)) {
  const int fd = open(file_.c_str(), O_WRONLY | O_CLOEXEC);
  if (fd == -1) return;
  set_ = !saved_.empty() &&
         write(fd, value.data(), value.size()) == static_cast<ssize_t>(value.size());
  close(fd);
}

KernelLimit::~KernelLimit() { restore(); }

void KernelLimit::restore() {
  if (!set_) return;
  const int fd = open(file_.c_str(), O_WRONLY | O_CLOEXEC);
  if (fd == -1 || write(fd, saved_.data(), saved_.size()) != static_cast<ssize_t>(saved_.size())) {
    abort();
  }
  close(fd);
  set_ = false;
}

std::string makeTempDir() {
  char path[] = "/tmp/whotouch-test-XXXXXX";
  if (mkdtemp(path) == nullptr) abort();
  return path;
}

void removeTree(const std::string &path) {
  const std::string command = "rm -rf '" + path + "'";
  if (system(command.c_str()) != 0) abort();
}
