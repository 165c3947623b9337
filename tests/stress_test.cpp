// Under load and faults: processes start, hold, close and exit while the walk
// reads them, and the kernel's event queue overflows.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <map>
#include <thread>

#include "tool_session.h"

namespace {

bool writeFile(const std::string &path, const std::string &text) {
  std::ofstream file(path);
  return static_cast<bool>(file << text << std::flush);
}

// Puts a kernel limit under /proc/sys back however the test ends.
struct KernelLimitGuard {
  std::string file, saved = readFile(file);
  ~KernelLimitGuard() { writeFile(file, saved); }
};

// A child that opens the files, holds them a moment, closes them and does it
// again `rounds` times, then exits or, given argv, becomes sleep under it.
pid_t spawn(const std::vector<std::string> &files, int rounds, char *const *argv = nullptr) {
  const pid_t child = fork();
  if (child != 0) return child;
  const timespec pause{0, 500000};
  int fds[4] = {-1, -1, -1, -1};
  for (int round = 0; round < rounds; ++round) {
    for (size_t i = 0; i < files.size() && i < 4; ++i) fds[i] = open(files[i].c_str(), O_RDONLY);
    nanosleep(&pause, nullptr);
    for (size_t i = 0; i < files.size() && i < 4 && round + 1 < rounds; ++i) close(fds[i]);
  }
  char *const noEnvironment[] = {nullptr};
  if (argv != nullptr) execve("/bin/sleep", argv, noEnvironment);
  _exit(0);
}

// Until stop: holders below the watched directory that exit, some after an
// exec under another name, and processes busy with descriptors elsewhere.
int churn(const std::string &sub, const std::atomic<bool> &stop) {
  const std::vector<std::string> held = {sub + "/a", sub + "/b", sub + "/c"};
  std::string argv0 = "churn-holder", seconds = "0.002";
  char *argv[] = {argv0.data(), seconds.data(), nullptr};
  int started = 0;
  for (; !stop; started += 4) {
    const pid_t batch[] = {spawn(held, 4), spawn(held, 1, argv), spawn(held, 1),
                           spawn({"/dev/null", "/proc/self/stat"}, 20)};
    for (pid_t pid : batch) waitpid(pid, nullptr, 0);
  }
  return started;
}

long descriptorCount(pid_t pid) {
  const std::filesystem::directory_iterator descriptors("/proc/" + std::to_string(pid) + "/fd");
  return std::distance(begin(descriptors), end(descriptors));
}

// kill() returns before a stop takes effect.
void stopAndWait(pid_t pid) {
  kill(pid, SIGSTOP);
  for (int tries = 0; tries < 5000 && processState(pid) != 'T'; ++tries) usleep(1000);
}

TEST(Stress, EveryEventOnceAndOnlyWellFormedLinesWhileProcessesChurn) {
  const std::string dir = makeTempDir(), sub = dir + "/sub";
  mkdir(sub.c_str(), 0755);
  for (const char *name : {"/a", "/b", "/c"}) close(creat((sub + name).c_str(), 0644));
  // Each name gives two events (creation, open); stay well below the queue.
  const int queueLimit = std::stoi("0" + readFile("/proc/sys/fs/inotify/max_queued_events"));
  const int names = std::min(1500, (queueLimit - 100) / 2);
  ASSERT_GT(names, 100) << "kernel queue too small for the burst";

  ToolSession tool;
  ASSERT_TRUE(tool.watch(dir)) << tool.err;
  const long descriptorsBefore = descriptorCount(tool.pid);
  std::atomic<bool> stop{false};
  int churned = 0;
  std::thread churner([&] { churned = churn(sub, stop); });
  const time_t start = time(nullptr);
  for (int i = 0; i < names; ++i) close(creat((dir + "/ev-" + std::to_string(i)).c_str(), 0644));
  const bool finished = tool.waitForLine("检测到事件: 32 路径: ev-" + std::to_string(names - 1));
  stop = true;
  churner.join();
  ASSERT_TRUE(finished) << "no new line for " << kIdleLimitMs << " ms before the last event line";
  tool.drain(200);
  EXPECT_TRUE(tool.isRunning());
  // A leak would reach the descriptor limit and silently end every process
  // line. Under load the last event's walk may still hold /proc and a
  // descriptor directory open: a leak is what stays.
  long descriptorsAfter = descriptorCount(tool.pid);
  for (int tries = 0; tries < 3000 && descriptorsAfter != descriptorsBefore; ++tries) {
    usleep(10000);
    descriptorsAfter = descriptorCount(tool.pid);
  }
  EXPECT_EQ(descriptorsAfter, descriptorsBefore);

  const std::string eventLabel = "检测到事件: ", processLabel = "访问路径的进程: ";
  std::map<std::string, std::string> masksByName;
  int processLines = 0, events = 0;
  const std::vector<std::string> lines = tool.stdoutLines();
  for (size_t i = 1; i < lines.size(); ++i) {
    const std::string &line = lines[i];
    const std::string separatorText = " 路径: ";
    const size_t separator = line.find(separatorText);
    if (line.rfind(eventLabel, 0) == 0 && separator != std::string::npos) {
      const size_t maskStart = eventLabel.size();
      masksByName[line.substr(separator + separatorText.size())] +=
          line.substr(maskStart, separator - maskStart) + " ";
      ++events;
    } else if (line.rfind(processLabel, 0) == 0) {
      // Empty: the process exited between its descriptor and its command line.
      const std::string name = line.substr(processLabel.size());
      EXPECT_TRUE(name == "stress_tests" || name == "churn-holder" || name.empty()) << line;
      ++processLines;
    } else {
      ADD_FAILURE() << "malformed line: " << line;
    }
  }
  EXPECT_EQ(masksByName.size(), static_cast<size_t>(names));
  for (int i = 0; i < names; ++i) EXPECT_EQ(masksByName["ev-" + std::to_string(i)], "256 32 ");
  EXPECT_EQ(tool.err, "");
  printf(
      "stress: %d events generated, %d event lines, %d process lines, %d processes churned, "
      "%ld s\n",
      names * 2, events, processLines, churned, static_cast<long>(time(nullptr) - start));
  removeTree(dir);
}

TEST(Stress, OverflowIsReportedAndWatchingGoesOn) {
  const std::string dir = makeTempDir();
  // The kernel reads the limit when the tool makes its inotify instance,
  // before the prompt: it is restored as soon as the prompt shows.
  const KernelLimitGuard queueLimit{"/proc/sys/fs/inotify/max_queued_events"};
  if (!writeFile(queueLimit.file, "32\n")) {
    GTEST_SKIP() << "needs root, to lower fs.inotify.max_queued_events for a moment";
  }
  ToolSession tool;
  tool.waitFor([](const std::string &out) { return !out.empty(); });
  ASSERT_TRUE(writeFile(queueLimit.file, queueLimit.saved));
  ASSERT_TRUE(tool.watch(dir)) << tool.err;

  stopAndWait(tool.pid);
  const int burst = 200;
  for (int i = 0; i < burst; ++i) mkdir((dir + "/burst-" + std::to_string(i)).c_str(), 0755);
  kill(tool.pid, SIGCONT);
  // Once the overflow record is read, the full queue has been drained and new
  // events are queued again.
  ASSERT_TRUE(tool.waitFor([&](const std::string &) {
    return tool.err == "警告: 事件队列溢出，部分事件已丢失\n";
  })) << tool.err;
  mkdir((dir + "/after").c_str(), 0755);
  EXPECT_TRUE(tool.waitForLine("检测到事件: 1073742080 路径: after")) << tool.out;
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

// As root the tool walks every process it may read: in a PID namespace of
// this test's own, with its own /proc, those are the test's processes alone,
// so the test costs as much on a busy machine as on a quiet one.
void enterAPidNamespaceOfItsOwn() {
  if (unshare(CLONE_NEWPID) != 0) {
    perror("no PID namespace of the test's own: the walks cover the machine's processes");
    return;
  }
  const pid_t child = fork();
  if (child == 0) {
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    mountOverProc("proc", "proc", MS_NOSUID | MS_NODEV | MS_NOEXEC);
    return;
  }
  int status = 0;
  waitpid(child, &status, 0);
  // Not exit(): a leak check at exit would fork into the namespace, whose
  // first process has ended.
  _exit(WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status));
}

int main(int argc, char **argv) {
  if (geteuid() == 0) enterAPidNamespaceOfItsOwn();
  testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
