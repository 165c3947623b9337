#include "tool_session.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace {

long long nowMs() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return ts.tv_sec * 1000LL + ts.tv_nsec / 1000000;
}

// The calls an Android app's process may make on this ABI: the lists in
// android-app-syscalls/, taken from Android's C library (its README).
const unsigned kAppSystemCalls[] = {
#if defined(__aarch64__)
#include "app-syscalls/arm64-v8a.inc"
#elif defined(__arm__)
#include "app-syscalls/armeabi-v7a.inc"
#elif defined(__x86_64__)
#include "app-syscalls/x86_64.inc"
#elif defined(__i386__)
#include "app-syscalls/x86.inc"
#endif
};

// The calls that the C library's start-up makes, before any of the tool's
// own code runs, and that some release's filter refuses: it copes with their
// failure, which the tool's handler makes of the signal.
const unsigned kStartUpCalls[] = {
    __NR_set_robust_list, __NR_rseq,
#if defined(__x86_64__)
    __NR_readlink,  // of /proc/self/exe
#elif defined(__i386__) || defined(__arm__)
    // malloc keys its cache by the clock where the kernel's random pool is
    // not yet ready, as early after a test machine's boot.
    __NR_clock_gettime64,
#endif
};

}  // namespace

std::string readFile(const std::string &path) {
  std::ifstream file(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
}

std::string toolPath() {
  const char *exe = getenv("WHOTOUCH_EXE");
  return exe != nullptr && *exe != '\0' ? exe : WHOTOUCH_DEFAULT_EXE;
}

ToolSession::ToolSession(const std::function<void()> &beforeExec, const std::string &program) {
  int in[2], out[2], errPipe[2];
  if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0 || pipe2(errPipe, O_CLOEXEC) != 0) {
    abort();
  }
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
    if (getenv("WHOTOUCH_APP_FILTER") != nullptr) enterAppFilter();
    execl(program.c_str(), program.c_str(), nullptr);
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
    waitpid(pid, &status_, 0);
  }
  closeInput();
  closeOutput();
  if (errorFd_ != -1) close(errorFd_);
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

// A stream at its end is closed here, so that it is no longer polled.
bool ToolSession::readAvailable(int timeoutMs) {
  pollfd fds[2] = {{outputFd_, POLLIN, 0}, {errorFd_, POLLIN, 0}};
  if (poll(fds, 2, timeoutMs) <= 0) return false;
  bool any = false;
  char buffer[65536];
  std::string *sinks[2] = {&out, &err};
  int *ends[2] = {&outputFd_, &errorFd_};
  for (int i = 0; i < 2; ++i) {
    if ((fds[i].revents & (POLLIN | POLLHUP)) == 0) continue;
    const ssize_t got = read(fds[i].fd, buffer, sizeof buffer);
    if (got > 0) sinks[i]->append(buffer, static_cast<size_t>(got));
    if (got == 0) close(*ends[i]);
    if (got == 0) *ends[i] = -1;
    any = any || got > 0;
  }
  return any;
}

bool ToolSession::waitFor(const std::function<bool(const std::string &)> &done) {
  long long lastNews = nowMs();
  while (!done(out)) {
    if (readAvailable(100)) {
      lastNews = nowMs();
    } else if (!isRunning()) {
      while (readAvailable(0)) {
      }
      return done(out);
    } else if (nowMs() - lastNews >= kIdleLimitMs) {
      return false;
    }
  }
  return true;
}

bool ToolSession::waitForLine(const std::string &line) {
  const std::string needle = line + "\n";
  return waitFor([&](const std::string &text) {
    return text.compare(0, needle.size(), needle) == 0 ||
           text.find("\n" + needle) != std::string::npos;
  });
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

int ToolSession::waitForExit() {
  if (!waitFor([&](const std::string &) { return !isRunning(); })) return -1;
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

void enterFilter(const std::vector<unsigned> &calls, uint32_t onListed, uint32_t otherwise,
                 const CallList &otherArchitecture) {
  std::vector<sock_filter> program;
  const auto judge = [&](const std::vector<unsigned> &listed) {
    program.push_back(BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)));
    for (const unsigned call : listed) {
      program.push_back(BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, call, 0, 1));
      program.push_back(BPF_STMT(BPF_RET | BPF_K, onListed));
    }
    program.push_back(BPF_STMT(BPF_RET | BPF_K, otherwise));
  };
  if (!otherArchitecture.second.empty()) {
    program.push_back(BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, arch)));
    program.push_back(BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, otherArchitecture.first, 1, 0));
    // A call of this architecture goes past that architecture's part.
    const auto pastIt = static_cast<uint32_t>(2 * otherArchitecture.second.size() + 2);
    program.push_back(BPF_STMT(BPF_JMP | BPF_JA, pastIt));
    judge(otherArchitecture.second);
  }
  judge(calls);
  const sock_fprog filter{static_cast<unsigned short>(program.size()), program.data()};
  if (prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0 ||
      prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &filter) != 0) {
    perror("entering a system-call filter");
    _exit(125);
  }
}

void enterAppFilter() {
  std::vector<unsigned> calls(std::begin(kAppSystemCalls), std::end(kAppSystemCalls));
  enterFilter(calls, SECCOMP_RET_ALLOW, SECCOMP_RET_TRAP, partnerAppCalls());
  // Of two filters the stricter outcome wins: past the start-up, the first
  // refused call ends the tool, so that no line rests on a fallback.
  calls.insert(calls.end(), std::begin(kStartUpCalls), std::end(kStartUpCalls));
  enterFilter(calls, SECCOMP_RET_ALLOW, SECCOMP_RET_KILL_PROCESS, partnerAppCalls());
}

void mountOverProc(const char *source, const char *type, unsigned long flags) {
  if (unshare(CLONE_NEWNS) != 0 || mount(nullptr, "/proc", nullptr, MS_PRIVATE, nullptr) != 0 ||
      mount(source, "/proc", type, flags, nullptr) != 0) {
    perror("mounting over /proc");
    _exit(125);
  }
}

char processState(pid_t pid) {
  const std::string stat = readFile("/proc/" + std::to_string(pid) + "/stat");
  const size_t commandEnd = stat.rfind(") ");
  return commandEnd != std::string::npos && commandEnd + 2 < stat.size() ? stat[commandEnd + 2]
                                                                         : '?';
}

std::string makeTempDir() {
  char path[] = "/tmp/whotouch-test-XXXXXX";
  if (mkdtemp(path) == nullptr) abort();
  return path;
}

void removeTree(const std::string &path) { std::filesystem::remove_all(path); }
