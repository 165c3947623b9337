// Under load and faults: processes start, hold, close and exit while the walk
// reads them, and the kernel's event queue overflows.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <map>
#include <set>
#include <thread>

#include "tool_session.h"

namespace {

const std::string kQueueLimit = "/proc/sys/fs/inotify/max_queued_events";

// A child that opens the files, holds them a moment, closes and reopens them
// closeAndReopen times, then exits or becomes sleep under another name.
pid_t spawn(const std::vector<std::string> &files, char *const *execArgv, int closeAndReopen) {
  const pid_t child = fork();
  if (child != 0) return child;
  const timespec pause{0, 500000};
  int fds[4];
  const size_t count = std::min<size_t>(files.size(), 4);
  for (int round = 0; round <= closeAndReopen; ++round) {
    for (size_t i = 0; i < count; ++i) fds[i] = open(files[i].c_str(), O_RDONLY);
    nanosleep(&pause, nullptr);
    if (round == closeAndReopen) break;
    for (size_t i = 0; i < count; ++i) close(fds[i]);
  }
  if (execArgv != nullptr) execve("/bin/sleep", execArgv, execArgv + 2);
  _exit(0);
}

// Until stop: processes that hold files below the watched directory and exit,
// some after exec'ing under another name, and processes that open and close
// descriptors elsewhere.
int churn(const std::string &sub, const std::atomic<bool> &stop) {
  const std::vector<std::string> held = {sub + "/a", sub + "/b", sub + "/c"};
  const std::vector<std::string> elsewhere = {"/dev/null", "/proc/self/stat"};
  std::string argv0 = "churn-holder", duration = "0.002";
  char *execArgv[] = {argv0.data(), duration.data(), nullptr};
  int started = 0;
  while (!stop) {
    const pid_t batch[] = {spawn(held, nullptr, 3), spawn(held, execArgv, 0),
                           spawn(elsewhere, nullptr, 20), spawn(held, nullptr, 0)};
    for (pid_t pid : batch) waitpid(pid, nullptr, 0);
    started += 4;
  }
  return started;
}

// Splits an event line into its mask digits and name; false for any other line.
bool parseEventLine(const std::string &line, std::string *mask, std::string *name) {
  const std::string label = "检测到事件: ", separator = " 路径: ";
  if (line.rfind(label, 0) != 0) return false;
  const size_t digitsEnd = line.find_first_not_of("0123456789", label.size());
  if (digitsEnd == label.size() || digitsEnd == std::string::npos ||
      line.compare(digitsEnd, separator.size(), separator) != 0) {
    return false;
  }
  *mask = line.substr(label.size(), digitsEnd - label.size());
  *name = line.substr(digitsEnd + separator.size());
  return true;
}

std::string eventLine(unsigned mask, const std::string &name) {
  return "检测到事件: " + std::to_string(mask) + " 路径: " + name;
}

TEST(Stress, EveryEventOnceAndOnlyWellFormedLinesWhileProcessesChurn) {
  const std::string dir = makeTempDir(), sub = dir + "/sub";
  mkdir(sub.c_str(), 0755);
  for (const char *name : {"/a", "/b", "/c"}) close(creat((sub + name).c_str(), 0644));
  // Each name gives two events (creation, open); stay well below the queue.
  const int queueLimit = std::stoi("0" + readFile(kQueueLimit));
  const int names = std::min(1500, (queueLimit - 100) / 2);
  ASSERT_GT(names, 100) << "kernel queue too small for the burst";

  ToolSession tool;
  tool.send(dir + "\n");
  ASSERT_TRUE(tool.waitForLine("请输入要监控的路径: 正在监控路径: " + dir)) << tool.err;
  std::atomic<bool> stop{false};
  int churned = 0;
  std::thread churner([&] { churned = churn(sub, stop); });
  const time_t start = time(nullptr);
  for (int i = 0; i < names; ++i) close(creat((dir + "/ev-" + std::to_string(i)).c_str(), 0644));
  const bool finished = tool.waitForLine(eventLine(32, "ev-" + std::to_string(names - 1)), 50000);
  stop = true;
  churner.join();
  ASSERT_TRUE(finished) << "the last event line never came";
  tool.drain(200);
  EXPECT_TRUE(tool.isRunning());

  const std::string processLabel = "访问路径的进程: ";
  const std::set<std::string> knownNames = {"stress_tests", "churn-holder",
                                            // a process that exits between its descriptor
                                            // and its command line has no name left
                                            ""};
  std::map<std::string, std::vector<std::string>> masksByName;
  int processLines = 0, events = 0;
  const std::vector<std::string> lines = tool.stdoutLines();
  for (size_t i = 1; i < lines.size(); ++i) {
    std::string mask, name;
    if (parseEventLine(lines[i], &mask, &name)) {
      masksByName[name].push_back(mask);
      ++events;
    } else if (lines[i].rfind(processLabel, 0) == 0) {
      EXPECT_EQ(knownNames.count(lines[i].substr(processLabel.size())), 1u) << lines[i];
      ++processLines;
    } else {
      ADD_FAILURE() << "malformed line: " << lines[i];
    }
  }
  EXPECT_EQ(masksByName.size(), static_cast<size_t>(names));
  for (int i = 0; i < names; ++i) {
    const std::vector<std::string> expected = {"256", "32"};
    EXPECT_EQ(masksByName["ev-" + std::to_string(i)], expected) << "ev-" << i;
  }
  EXPECT_EQ(tool.err, "");
  printf(
      "stress: %d events generated, %d event lines, %d process lines, %d processes churned, "
      "%ld s\n",
      names * 2, events, processLines, churned, static_cast<long>(time(nullptr) - start));
  removeTree(dir);
}

TEST(Stress, OverflowIsReportedAndWatchingGoesOn) {
  const std::string saved = readFile(kQueueLimit);
  const int limitFd = open(kQueueLimit.c_str(), O_WRONLY);
  if (saved.empty() || limitFd == -1) GTEST_SKIP() << "needs root to lower " << kQueueLimit;
  const std::string dir = makeTempDir();
  // The kernel reads the limit when the tool makes its inotify instance,
  // which happens before the prompt: restore it as soon as the prompt shows.
  EXPECT_EQ(write(limitFd, "32\n", 3), 3);
  ToolSession tool;
  const bool prompted = tool.waitFor([](const std::string &out) { return !out.empty(); });
  EXPECT_EQ(pwrite(limitFd, saved.data(), saved.size(), 0), static_cast<ssize_t>(saved.size()));
  close(limitFd);
  ASSERT_TRUE(prompted);
  tool.send(dir + "\n");
  ASSERT_TRUE(tool.waitForLine("请输入要监控的路径: 正在监控路径: " + dir)) << tool.err;

  kill(tool.pid, SIGSTOP);
  const int burst = 200;
  for (int i = 0; i < burst; ++i) mkdir((dir + "/burst-" + std::to_string(i)).c_str(), 0755);
  kill(tool.pid, SIGCONT);
  // Once the overflow record is read, the full queue has been drained and new
  // events are queued again.
  ASSERT_TRUE(tool.waitFor([&](const std::string &) {
    return tool.err.find("警告: 事件队列溢出，部分事件已丢失\n") != std::string::npos;
  })) << tool.err;
  mkdir((dir + "/after").c_str(), 0755);
  EXPECT_TRUE(tool.waitForLine(eventLine(1073742080, "after"))) << tool.out;
  const std::vector<std::string> lines = tool.stdoutLines();
  const auto reported = std::count_if(lines.begin(), lines.end(), [](const std::string &line) {
    return line.find("路径: burst-") != std::string::npos;
  });
  EXPECT_LT(reported, burst);
  printf("overflow: %d events made with a queue of 32, %ld reported, warning seen\n", burst,
         static_cast<long>(reported));
  removeTree(dir);
}

}  // namespace
