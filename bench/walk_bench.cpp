// Times one walk over the process table, as the tool makes after every event,
// against the cheapest walk that finds and prints the same lines, and
// optionally against what a user would run by hand per event.
//
//   walk_bench [--processes P] [--descriptors F] [--rounds R] [--tools] [--as-user UID]
//
// With --as-user (run as root) the holders stay root's and both walks run as
// UID with the supplementary group 3009, as an Android shell user meets other
// users' processes: every descriptor directory is refused.

#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <string>
#include <vector>

#include "process/process_attribution.h"

namespace {

double nowMs() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<double>(ts.tv_sec) * 1e3 + static_cast<double>(ts.tv_nsec) / 1e6;
}

double median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

// The lower bound: every call relative to an open directory, no buffering
// beyond what the kernel needs, one write per line.
void writeNameLine(int procFd, const char *pid, int outFd) {
  char path[64];
  (void)snprintf(path, sizeof path, "%s/cmdline", pid);
  char line[1100];
  memcpy(line, "访问路径的进程: ", 23);
  size_t used = 23;
  const int fd = openat(procFd, path, O_RDONLY | O_CLOEXEC);
  if (fd != -1) {
    char command[1024];
    const ssize_t got = read(fd, command, 1023);
    close(fd);
    if (got > 0) {
      const size_t length = strnlen(command, static_cast<size_t>(got));
      const char *slash = static_cast<const char *>(memrchr(command, '/', length));
      const char *start = slash != nullptr ? slash + 1 : command;
      const size_t nameLength = static_cast<size_t>(command + length - start);
      memcpy(line + used, start, nameLength);
      used += nameLength;
    }
  }
  line[used++] = '\n';
  if (write(outFd, line, used) < 0) return;
}

void minimalWalk(const std::string &watched, int outFd) {
  const int procFd = open("/proc", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  alignas(8) char procListing[16384];
  alignas(8) char fdListing[16384];
  char target[4096];
  for (long n; (n = syscall(SYS_getdents64, procFd, procListing, sizeof procListing)) > 0;) {
    for (long off = 0; off < n;) {
      const char *pidRecord = procListing + off;
      unsigned short reclen;
      memcpy(&reclen, pidRecord + 16, 2);
      off += reclen;
      const char *pid = pidRecord + 19;
      if (pidRecord[18] != DT_DIR || pid[0] < '0' || pid[0] > '9') continue;
      char fdPath[64];
      (void)snprintf(fdPath, sizeof fdPath, "%s/fd", pid);
      const int fdDir = openat(procFd, fdPath, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
      if (fdDir == -1) continue;
      for (long m; (m = syscall(SYS_getdents64, fdDir, fdListing, sizeof fdListing)) > 0;) {
        for (long at = 0; at < m;) {
          const char *fdRecord = fdListing + at;
          memcpy(&reclen, fdRecord + 16, 2);
          at += reclen;
          if (fdRecord[18] != DT_LNK) continue;
          const ssize_t length = readlinkat(fdDir, fdRecord + 19, target, sizeof target);
          if (length > 0 && memmem(target, static_cast<size_t>(length), watched.data(),
                                   watched.size()) != nullptr) {
            writeNameLine(procFd, pid, outFd);
          }
        }
      }
      close(fdDir);
    }
  }
  close(procFd);
}

// P children, each holding F descriptors: two of a file under the watched
// directory, the rest of a file elsewhere. They die with the benchmark.
std::vector<pid_t> startHolders(int processes, int descriptors, const std::string &held,
                                const std::string &other) {
  std::vector<pid_t> children;
  int ready[2];
  if (pipe(ready) != 0) exit(1);
  for (int i = 0; i < processes; ++i) {
    const pid_t child = fork();
    if (child == 0) {
      prctl(PR_SET_PDEATHSIG, SIGKILL);
      for (int d = 0; d < descriptors; ++d) open((d < 2 ? held : other).c_str(), O_RDONLY);
      if (write(ready[1], "x", 1) != 1) _exit(1);
      pause();
      _exit(0);
    }
    children.push_back(child);
  }
  char byte;
  for (int i = 0; i < processes; ++i) {
    if (read(ready[0], &byte, 1) != 1) exit(1);
  }
  close(ready[0]);
  close(ready[1]);
  return children;
}

// Reads the file from where it stands and closes it.
std::string readAndClose(FILE *file) {
  std::string text;
  if (file == nullptr) return text;
  char buffer[65536];
  for (size_t got; (got = fread(buffer, 1, sizeof buffer, file)) > 0;) text.append(buffer, got);
  (void)fclose(file);
  return text;
}

std::string captureWalk(void (*walk)(const std::string &, int), const std::string &watched) {
  FILE *file = tmpfile();
  walk(watched, fileno(file));
  rewind(file);
  return readAndClose(file);
}

size_t countLines(const std::string &text) {
  return static_cast<size_t>(std::count(text.begin(), text.end(), '\n'));
}

// A command a user could run per event instead of the tool, printing one line
// per descriptor found. A command that fails is quick: its times are a figure
// only if it is installed and every timed run found the descriptors that the
// walks found.
struct Comparison {
  std::string program, label, command;
  std::vector<double> ms;
  std::string failure;  // why its times are no figure
};

Comparison makeComparison(const std::string &program, const std::string &label,
                          const std::string &command) {
  Comparison comparison{program, label, command, {}, {}};
  if (system(("command -v " + program + " >/dev/null 2>&1").c_str()) != 0) {
    comparison.failure = program + " is missing";
  }
  return comparison;
}

void timeComparison(Comparison *comparison, size_t expectedLines) {
  if (!comparison->failure.empty()) return;
  char outputPath[] = "/tmp/whotouch-bench-output-XXXXXX";
  char errorPath[] = "/tmp/whotouch-bench-errors-XXXXXX";
  close(mkstemp(outputPath));
  close(mkstemp(errorPath));
  // Grouped, so that every command of a pipeline writes its errors there.
  const std::string redirected =
      "{ " + comparison->command + "; } >" + outputPath + " 2>" + errorPath;
  const double start = nowMs();
  const int status = system(redirected.c_str());
  comparison->ms.push_back(nowMs() - start);
  const size_t found = countLines(readAndClose(fopen(outputPath, "r")));
  if (status == -1 || found != expectedLines) {
    const std::string errors = readAndClose(fopen(errorPath, "r"));
    comparison->failure = comparison->program + " failed: found " + std::to_string(found) +
                          " of the " + std::to_string(expectedLines) + " descriptors";
    if (!errors.empty()) comparison->failure += " (" + errors.substr(0, errors.find('\n')) + ")";
  }
  unlink(outputPath);
  unlink(errorPath);
}

void printComparison(const Comparison &comparison, double toolMedian) {
  if (!comparison.failure.empty()) {
    printf("%-48s no figure: %s\n", comparison.label.c_str(), comparison.failure.c_str());
    return;
  }
  const double commandMedian = median(comparison.ms);
  printf("%-48s %10.2f %7.2fx\n", comparison.label.c_str(), commandMedian,
         commandMedian / toolMedian);
}

void toolWalk(const std::string &watched, int outFd) { scanProcessesForPath(watched, outFd); }

struct Options {
  int processes = 300, descriptors = 100, rounds = 21;
  bool tools = false;
  int asUser = -1;
};

bool parseOptions(int argc, char **argv, Options *options) {
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--tools")
      options->tools = true;
    else if (i + 1 < argc && arg == "--processes")
      options->processes = atoi(argv[++i]);
    else if (i + 1 < argc && arg == "--descriptors")
      options->descriptors = atoi(argv[++i]);
    else if (i + 1 < argc && arg == "--rounds")
      options->rounds = atoi(argv[++i]);
    else if (i + 1 < argc && arg == "--as-user")
      options->asUser = atoi(argv[++i]);
    else
      return false;
  }
  return true;
}

void becomeUser(int uid) {
  const gid_t readProc = 3009;
  if (setgroups(1, &readProc) != 0 || setgid(static_cast<gid_t>(uid)) != 0 ||
      setuid(static_cast<uid_t>(uid)) != 0) {
    perror("--as-user needs root");
    exit(1);
  }
}

// Times the walks; false, and no figure, when they print different lines.
bool timeWalks(const Options &options, const std::string &watched) {
  const std::string toolLines = captureWalk(toolWalk, watched);
  const std::string minimalLines = captureWalk(minimalWalk, watched);
  if (toolLines != minimalLines) {
    printf("the two walks print different lines (%zu and %zu bytes): no figure\n", toolLines.size(),
           minimalLines.size());
    return false;
  }
  const int devNull = open("/dev/null", O_WRONLY | O_CLOEXEC);
  std::vector<double> toolMs, minimalMs;
  Comparison lsof = makeComparison("lsof", "lsof -n | grep DIR (5 rounds)",
                                   "lsof -n | grep -F '" + watched + "'");
  Comparison find = makeComparison("find", "find /proc/[0-9]*/fd -lname '*DIR*' (5 rounds)",
                                   "find /proc/[0-9]*/fd -lname '*" + watched + "*'");
  for (int r = 0; r < options.rounds; ++r) {
    double start = nowMs();
    scanProcessesForPath(watched, devNull);
    toolMs.push_back(nowMs() - start);
    start = nowMs();
    minimalWalk(watched, devNull);
    minimalMs.push_back(nowMs() - start);
    if (options.tools && r < 5) {
      timeComparison(&lsof, countLines(toolLines));
      timeComparison(&find, countLines(toolLines));
    }
  }
  close(devNull);
  const double toolMedian = median(toolMs), minimalMedian = median(minimalMs);
  printf("%d processes x %d descriptors (plus the machine's own), %d rounds", options.processes,
         options.descriptors, options.rounds);
  if (options.asUser >= 0) printf(", walked as uid %d", options.asUser);
  printf("\nsame lines from both walks (%zu bytes)\n", toolLines.size());
  printf("%-48s %10s %8s\n", "walk per event", "median ms", "ratio");
  printf("%-48s %10.2f %7.2fx\n", "whotouch (scanProcessesForPath)", toolMedian, 1.0);
  printf("%-48s %10.2f %7.2fx\n", "minimal openat/getdents64/readlinkat walk", minimalMedian,
         minimalMedian / toolMedian);
  if (options.tools) {
    printComparison(lsof, toolMedian);
    printComparison(find, toolMedian);
  }
  printf("whotouch / minimal: %.3f\n", toolMedian / minimalMedian);
  return true;
}

}  // namespace

int main(int argc, char **argv) {
  Options options;
  if (!parseOptions(argc, argv, &options)) {
    (void)fprintf(
        stderr,
        "usage: %s [--processes P] [--descriptors F] [--rounds R] [--tools] [--as-user UID]\n",
        argv[0]);
    return 2;
  }
  char dirTemplate[] = "/tmp/whotouch-bench-XXXXXX";
  const std::string watched = mkdtemp(dirTemplate);
  char otherTemplate[] = "/tmp/whotouch-elsewhere-XXXXXX";
  close(mkstemp(otherTemplate));
  const std::string held = watched + "/held", other = otherTemplate;
  close(open(held.c_str(), O_CREAT | O_WRONLY, 0644));
  const std::vector<pid_t> children =
      startHolders(options.processes, options.descriptors, held, other);

  // The walks run in a child when they run as another user, so that this
  // process can still end the holders and remove the files.
  const pid_t walker = options.asUser >= 0 ? fork() : 0;
  bool figured = false;
  if (walker == 0) {
    if (options.asUser >= 0) becomeUser(options.asUser);
    figured = timeWalks(options, watched);
    (void)fflush(stdout);
    if (options.asUser >= 0) _exit(figured ? 0 : 1);
  } else {
    int walkerStatus = 0;
    waitpid(walker, &walkerStatus, 0);
    figured = WIFEXITED(walkerStatus) && WEXITSTATUS(walkerStatus) == 0;
  }

  for (pid_t child : children) kill(child, SIGKILL);
  for (pid_t child : children) waitpid(child, nullptr, 0);
  unlink(held.c_str());
  unlink(other.c_str());
  rmdir(watched.c_str());
  return figured ? 0 : 1;
}
