// The tool as a user meets it: the dialogue, the event lines and the failures.

#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/seccomp.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/mount.h>
#include <sys/ptrace.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <filesystem>
#include <fstream>
#include <functional>

#include "tool_session.h"
#include "watch/confinement.h"

namespace {

const std::string kPrompt = "请输入要监控的路径: ";
const std::string kEventLabel = "检测到事件: ";
// mkdir opens no descriptor, so a directory made last marks the end of a
// test's events without adding process lines.
const std::string kEndMarker = "检测到事件: 1073742080 路径: zz-end";

void blockSignal(int signal) {
  sigset_t only;
  sigemptyset(&only);
  sigaddset(&only, signal);
  sigprocmask(SIG_BLOCK, &only, nullptr);
}

void touchFile(const std::string &path) { close(open(path.c_str(), O_CREAT | O_WRONLY, 0644)); }
void openAndClose(const std::string &path) { close(open(path.c_str(), O_RDONLY)); }

std::vector<std::string> eventLines(const std::vector<std::string> &lines) {
  std::vector<std::string> events;
  for (const auto &line : lines) {
    if (line.rfind(kEventLabel, 0) == 0) events.push_back(line);
  }
  return events;
}

class WatcherTest : public ::testing::Test {
 protected:
  void SetUp() override { dir = makeTempDir(); }
  void TearDown() override { removeTree(dir); }
  std::string dir;
};

struct EventCase {
  const char *title;
  std::function<void(const std::string &dir)> setUp;
  std::function<void(const std::string &dir)> act;
  std::vector<std::string> expected;
};

TEST_F(WatcherTest, ReportsOpensAndCreationsWithTheirFullMask) {
  const auto none = [](const std::string &) {};
  const std::vector<EventCase> cases = {
      {"open of an existing file",
       [](auto &d) { touchFile(d + "/a.txt"); },
       [](auto &d) { openAndClose(d + "/a.txt"); },
       {"检测到事件: 32 路径: a.txt"}},
      {"creation, then the open that made it",
       none,
       [](auto &d) { touchFile(d + "/b.txt"); },
       {"检测到事件: 256 路径: b.txt", "检测到事件: 32 路径: b.txt"}},
      {"control bytes in a name cannot forge a line",
       none,
       [](auto &d) { touchFile(d + "/x\n访问路径的进程: app\x1b[2J"); },
       {"检测到事件: 256 路径: x\\x0a访问路径的进程: app\\x1b[2J",
        "检测到事件: 32 路径: x\\x0a访问路径的进程: app\\x1b[2J"}},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.title);
    const std::string caseDir = makeTempDir();
    c.setUp(caseDir);
    ToolSession tool;
    // The prompt must show before anything is typed, also through a pipe.
    ASSERT_TRUE(tool.waitFor([](auto &out) { return out == kPrompt; })) << tool.out;
    ASSERT_TRUE(tool.watch(caseDir)) << tool.out << tool.err;
    c.act(caseDir);
    mkdir((caseDir + "/zz-end").c_str(), 0755);
    ASSERT_TRUE(tool.waitForLine(kEndMarker)) << tool.out;
    std::vector<std::string> expected = c.expected;
    expected.push_back(kEndMarker);
    EXPECT_EQ(eventLines(tool.stdoutLines()), expected);
    EXPECT_EQ(tool.err, "");
    removeTree(caseDir);
  }
}

// Where no line, or no process line, can come, the user is told why, and the
// tool waits on.
TEST_F(WatcherTest, WarnsWhenLinesCannotComeAndWaitsOn) {
  touchFile(dir + "/plain");
  mkdir((dir + "/gone").c_str(), 0755);
  symlink(dir.c_str(), (dir + "/link").c_str());
  const std::string resolvedWarning =
      "警告: 描述符中的路径是解析后的路径，不会包含所输入的路径，请改为输入: " + dir + "\n";
  const std::string fromHere =
      std::filesystem::path(dir).lexically_relative(std::filesystem::current_path());
  struct QuietCase {
    std::string path;
    std::function<void()> act;
    std::string expectedErr;
  };
  const std::vector<QuietCase> cases = {
      {dir + "/plain", [&] { openAndClose(dir + "/plain"); },
       "警告: 路径不是目录，只有目录中的条目会被报告\n"},
      // A directory of the same name that comes back is not watched.
      {dir + "/gone",
       [&] {
         rmdir((dir + "/gone").c_str());
         mkdir((dir + "/gone").c_str(), 0755);
         touchFile(dir + "/gone/new");
       },
       "警告: 监控已结束，路径已被删除或其文件系统已卸载\n"},
      // Descriptors show the resolved path, never the typed one.
      {dir + "/link", [] {}, resolvedWarning},
      // Relative, with ".." taken where the link leads, as the kernel takes it.
      {fromHere + "/link/../" + dir.substr(dir.rfind('/') + 1) + "/.//link/", [] {},
       resolvedWarning},
      {dir + "/", [] {}, ""},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.path);
    ToolSession tool;
    ASSERT_TRUE(tool.watch(c.path)) << tool.err;
    c.act();
    tool.drain(300);
    EXPECT_EQ(tool.out, kPrompt + "正在监控路径: " + c.path + "\n");
    EXPECT_EQ(tool.err, c.expectedErr);
    EXPECT_TRUE(tool.isRunning());
  }
}

TEST_F(WatcherTest, RefusedPathsEndWithTheWatchErrorAndStatusOne) {
  const std::string notFound = "inotify_add_watch: No such file or directory\n";
  struct FailureCase {
    const char *title;
    std::string input;
    bool endInput;
    std::string expectedError;
  };
  const std::vector<FailureCase> cases = {
      {"empty line", "\n", false, notFound},
      {"end of input before any line", "", true, notFound},
      {"trailing blank is kept", dir + " \n", false, notFound},
      {"NUL byte inside the line", dir + std::string("\0/x\n", 4), false,
       "inotify_add_watch: Invalid argument\n"},
      {"path longer than the kernel takes", "/" + std::string(5000, 'a') + "\n", false,
       "inotify_add_watch: File name too long\n"},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.title);
    ToolSession tool;
    tool.send(c.input);
    if (c.endInput) tool.closeInput();
    EXPECT_EQ(tool.waitForExit(), 1);
    EXPECT_EQ(tool.out, kPrompt);
    EXPECT_EQ(tool.err, c.expectedError);
  }
}

TEST_F(WatcherTest, TheWalkDoesNotFeedItsOwnWatch) {
  const std::string self = std::to_string(getpid());
  // Stands in for /proc in the tool's own mount namespace, as where /proc is
  // a plain directory (a bare chroot): opening it would be an event here.
  mkdir((dir + "/proc").c_str(), 0755);
  mkdir((dir + "/opened").c_str(), 0755);
  struct FeedbackCase {
    const char *title;
    std::function<void()> beforeExec;
    std::string watched;
    std::string opened;
    // Other programs may read the machine's /proc/meminfo or /proc/stat
    // meanwhile: there only the process directories count.
    bool onlyProcessDirectoriesCount;
  };
  const std::vector<FeedbackCase> cases = {
      {"a watch on /proc sees others' opens, not its own walk", {}, "/proc", self, true},
      // Last: it needs root.
      {"a /proc that is a plain directory is not walked",
       [&] { mountOverProc((dir + "/proc").c_str(), nullptr, MS_BIND); }, dir, "opened", false},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.title);
    if (c.beforeExec && geteuid() != 0) {
      GTEST_SKIP() << "the rows before passed; \"" << c.title
                   << "\" needs root, for a mount namespace of the tool's own";
    }
    ToolSession tool(c.beforeExec);
    ASSERT_TRUE(tool.watch(c.watched)) << tool.err;
    const std::string caused = "检测到事件: 1073741856 路径: " + c.opened;
    closedir(opendir((c.watched + "/" + c.opened).c_str()));
    ASSERT_TRUE(tool.waitForLine(caused)) << tool.out << tool.err;
    // A walk that fed its watch would report itself for ever.
    tool.drain(500);
    std::vector<std::string> counted;
    for (const auto &event : eventLines(tool.stdoutLines())) {
      const bool isProcessDirectory =
          event.find_first_not_of("0123456789", event.rfind(' ') + 1) == std::string::npos;
      if (isProcessDirectory || !c.onlyProcessDirectoriesCount) counted.push_back(event);
    }
    EXPECT_EQ(counted, std::vector<std::string>{caused});
  }
}

TEST_F(WatcherTest, StandardStreamsAndSignalsInWhateverStateTheyCome) {
  const std::string monitoring = kPrompt + "正在监控路径: " + dir + "\n";
  const auto watchOnly = [&](ToolSession &tool) { ASSERT_TRUE(tool.watch(dir)) << tool.err; };
  const std::string eventSeen = monitoring + "检测到事件: 1073742080 路径: event\n";
  // The tool confines itself before it reads its first record.
  const auto watchThenMakeAnEvent = [&](ToolSession &tool) {
    watchOnly(tool);
    mkdir((dir + "/event").c_str(), 0755);
    ASSERT_TRUE(tool.waitFor([&](const std::string &out) { return out == eventSeen; }));
    rmdir((dir + "/event").c_str());
  };
  const auto watchThenReadConfinement = [&](ToolSession &tool) {
    watchThenMakeAnEvent(tool);
    const std::string status = readFile("/proc/" + std::to_string(tool.pid) + "/status");
    const std::string confined =
        WHOTOUCH_TOOL_IS_CONFINED ? "1\nSeccomp:\t2\n" : "0\nSeccomp:\t0\n";
    EXPECT_NE(status.find("NoNewPrivs:\t" + confined), std::string::npos) << status;
  };
  const auto watchThenSendSigsys = [&](ToolSession &tool) {
    watchOnly(tool);
    kill(tool.pid, SIGSYS);
  };
  const auto watchThenLoseTheReader = [&](ToolSession &tool) {
    watchOnly(tool);
    tool.closeOutput();
    touchFile(dir + "/after-reader-left");
  };
  struct StreamCase {
    const char *title;
    std::function<void()> beforeExec;
    std::function<void(ToolSession &)> act;
    int expectedStatus;  // -1: still running
    std::string expectedOut;
    std::string expectedErr;
  };
  const std::vector<StreamCase> cases = {
      {"closed input is the end of input", [] { close(STDIN_FILENO); }, [](ToolSession &) {}, 1,
       kPrompt, "inotify_add_watch: No such file or directory\n"},
      // The next descriptor opened would take its number: the lines would go
      // to the notification descriptor or a directory the walk reads.
      {"closed output: the lines go nowhere, the tool watches on", [] { close(STDOUT_FILENO); },
       [&](ToolSession &tool) {
         tool.send(dir + "\n");
         usleep(200000);
         touchFile(dir + "/made-unseen");
         tool.drain(300);
       },
       -1, "", ""},
      {"closed error: the warning goes nowhere, the tool watches on", [] { close(STDERR_FILENO); },
       [&](ToolSession &tool) {
         touchFile(dir + "/plain");
         ASSERT_TRUE(tool.watch(dir + "/plain"));
         tool.drain(300);
       },
       -1, kPrompt + "正在监控路径: " + dir + "/plain\n", ""},
      {"non-blocking input waits for the whole line",
       [] { fcntl(STDIN_FILENO, F_SETFL, fcntl(STDIN_FILENO, F_GETFL) | O_NONBLOCK); },
       [&](ToolSession &tool) {
         tool.send(dir.substr(0, 4));
         usleep(200000);
         tool.send(dir.substr(4) + "\n");
         tool.waitFor([&](const std::string &out) { return out == monitoring; });
       },
       -1, monitoring, ""},
      {"an output that fails ends the tool at its first line",
       [] { dup2(open("/dev/full", O_WRONLY), STDOUT_FILENO); }, [](ToolSession &) {}, 1, "",
       "write: No space left on device\n"},
      {"output closed, SIGPIPE ignored by the parent", [] { (void)signal(SIGPIPE, SIG_IGN); },
       watchThenLoseTheReader, 128 + SIGPIPE, monitoring, ""},
      {"output closed, SIGPIPE blocked by the parent", [] { blockSignal(SIGPIPE); },
       watchThenLoseTheReader, 128 + SIGPIPE, monitoring, ""},
      {"confined once it reads records", {}, watchThenReadConfinement, -1, eventSeen, ""},
      {"a kernel that cannot confine it: said once, watched on",
       [] { enterFilter({__NR_seccomp}, SECCOMP_RET_ERRNO | ENOSYS, SECCOMP_RET_ALLOW); },
       watchThenMakeAnEvent, -1, eventSeen,
       WHOTOUCH_TOOL_IS_CONFINED ? "警告: 内核无法限制本工具的系统调用，它以启动时的全部权限运行\n"
                                 : ""},
      // Else the app filter's first SIGSYS would end the tool whatever its handler.
      {"SIGSYS blocked by the parent", [] { blockSignal(SIGSYS); }, watchOnly, -1, monitoring, ""},
      {"SIGSYS sent by another process ends the tool",
       {},
       watchThenSendSigsys,
       128 + SIGSYS,
       monitoring,
       ""},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.title);
    ToolSession tool(c.beforeExec);
    c.act(tool);
    EXPECT_EQ(c.expectedStatus == -1 ? (tool.isRunning() ? -1 : 0) : tool.waitForExit(),
              c.expectedStatus);
    EXPECT_EQ(tool.out, c.expectedOut);
    EXPECT_EQ(tool.err, c.expectedErr);
  }
}

// Makes inotify_init fail in this process and what it execs as it does when no
// descriptor is free. A descriptor limit does not serve: the dynamic loader
// needs a free descriptor before the tool's main runs.
void refuseInotifyInstances() {
  enterFilter({__NR_inotify_init1}, SECCOMP_RET_ERRNO | EMFILE, SECCOMP_RET_ALLOW);
}

TEST_F(WatcherTest, NoPromptWhenNotificationCannotBeSetUp) {
  ToolSession tool(refuseInotifyInstances);
  EXPECT_EQ(tool.waitForExit(), 1);
  EXPECT_EQ(tool.out, "");
  EXPECT_EQ(tool.err, "inotify_init: Too many open files\n");
}

// The wait status of a child that runs child() and then ends.
int statusOf(const std::function<void()> &child) {
  const pid_t pid = fork();
  if (pid == 0) {
    child();
    _exit(0);
  }
  int status = 0;
  waitpid(pid, &status, 0);
  return status;
}

// What a fault in the tool could try once it reads what others wrote: each
// attempt, made in a child confined as the tool confines itself, must end it
// by SIGSYS before the call takes effect.
TEST(Confinement, EndsTheProcessBeforeACallOffItsListTakesEffect) {
  const std::string dir = makeTempDir(), kept = dir + "/kept", made = dir + "/made";
  std::ofstream(kept) << "kept";
  const pid_t parent = getpid();
  void *page = mmap(nullptr, 4096, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  struct RefusedCase {
    const char *title;
    std::function<void()> attempt;
  };
  const std::vector<RefusedCase> cases = {
    {"a socket", [] { socket(AF_INET, SOCK_STREAM, 0); }},
    {"a file created by a read-only open", [&] { open(made.c_str(), O_RDONLY | O_CREAT, 0644); }},
    {"a file opened for writing", [&] { open(kept.c_str(), O_WRONLY); }},
    {"a file truncated by a read-only open", [&] { open(kept.c_str(), O_RDONLY | O_TRUNC); }},
    {"a program run", [&] { execl("/bin/sh", "sh", "-c", ("> " + made).c_str(), nullptr); }},
    {"memory mapped executable",
     [] { mmap(nullptr, 4096, PROT_READ | PROT_EXEC, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0); }},
    {"memory made executable", [&] { mprotect(page, 4096, PROT_READ | PROT_EXEC); }},
    {"a signal to another process", [&] { kill(parent, SIGCONT); }},
    {"another process traced", [&] { ptrace(PTRACE_SEIZE, parent, 0, 0); }},
#if defined(__x86_64__)
    // 11 is execve to the i386 entry and munmap, which the loop may make, to x86_64's.
    {"a call through the i386 entry",
     [] {
       asm volatile("mov $11, %%eax; xor %%ebx, %%ebx; int $0x80" ::: "eax", "ebx");
     }},
#endif
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.title);
    const int status = statusOf([&] {
      if (!confineToTheReadLoop()) _exit(125);
      c.attempt();
    });
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGSYS) << "status " << status;
    EXPECT_EQ(readFile(kept), "kept");
    EXPECT_FALSE(std::filesystem::exists(made));
  }
  munmap(page, 4096);
  removeTree(dir);
}

// A terminal app's shell, and all it runs, live under Android's app filter.
TEST(AppFilter, EndsAProgramThatMakesARefusedCall) {
  const int status = statusOf([] {
    enterAppFilter();
    syscall(SYS_set_robust_list, nullptr, 0);
  });
  EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGSYS) << "status " << status;
}

TEST(AppFilter, EveryOtherTestPassesWithNoCallRefusedPastTheStartUp) {
  if (!WHOTOUCH_TOOL_IS_STATIC) {
    GTEST_SKIP() << "the tool is dynamically linked: its loader makes calls the filter refuses "
                    "(set_robust_list, rseq) before any of its code runs; the static device "
                    "builds, which a terminal app runs, pass this in every test machine";
  }
  EXPECT_EQ(statusOf([] {
              setenv("WHOTOUCH_APP_FILTER", "1", 1);
              execl("/proc/self/exe", "e2e_tests", "--gtest_filter=-AppFilter.*", nullptr);
              _exit(127);
            }),
            0);
}

}  // namespace
