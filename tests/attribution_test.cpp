// The process lines: which descriptors match the watched path and how their
// processes are named.

#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <pthread.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <functional>

#include "tool_session.h"

namespace {

// The user adb shell runs as on Android: uid and gid 2000, with the
// supplementary group 3009 that may see every process under /proc.
constexpr uid_t kShellUser = 2000;
constexpr gid_t kReadProcGroup = 3009;

// startHolder runs this program again under the holder's name: it then only
// keeps the descriptors it inherited, before any test starts, until killed.
const bool kRunsAsHolder = [] {
  if (getenv("WHOTOUCH_HOLDER") == nullptr) return false;
  for (;;) pause();
}();

// Makes this process (a child about to exec, or a holder) the shell user,
// still dumpable as a program it started would be; ends it on failure.
void becomeShellUser() {
  // A change of user makes a process undumpable, and so its descriptors
  // unreadable to that very user, until it execs a program.
  if (setgroups(1, &kReadProcGroup) != 0 || setgid(kShellUser) != 0 || setuid(kShellUser) != 0 ||
      prctl(PR_SET_DUMPABLE, 1) != 0) {
    perror("becoming the shell user");
    _exit(125);
  }
}

void stopHolder(pid_t pid) {
  if (pid == -1) return;
  kill(pid, SIGKILL);
  waitpid(pid, nullptr, 0);
}

// Waits until ready() holds for a holder; one that ends first, or is not
// ready within the idle limit, fails the test and gives -1.
pid_t awaitHolder(pid_t child, const std::function<bool()> &ready) {
  for (int waited = 0; waited < kIdleLimitMs; ++waited, usleep(1000)) {
    const bool isReady = ready();
    int status = 0;
    if (waitpid(child, &status, WNOHANG) == child) {
      ADD_FAILURE() << "a holder ended before it was ready, exit status " << WEXITSTATUS(status)
                    << " (125: no shell user, 126: a file not opened, 127: no exec)";
      return -1;
    }
    if (isReady) return child;
  }
  stopHolder(child);
  ADD_FAILURE() << "a holder was not ready within " << kIdleLimitMs << " ms";
  return -1;
}

// Holders may keep more descriptors than a default soft limit allows.
void becomeHolderOf(const std::vector<std::string> &files, bool asShellUser) {
  rlimit limit{};
  getrlimit(RLIMIT_NOFILE, &limit);
  limit.rlim_cur = limit.rlim_max;
  setrlimit(RLIMIT_NOFILE, &limit);
  if (asShellUser) becomeShellUser();
  // Opened without O_CLOEXEC, so that an exec'd holder keeps them.
  for (const auto &file : files) {
    if (open(file.c_str(), O_RDONLY) == -1) _exit(126);
  }
}

// Copies the tool into directory, made for it, where any user may run it:
// the tree the tool was built in may be private (a clone in /root).
std::string copyToolForEveryone(const std::string &directory) {
  namespace fs = std::filesystem;
  std::string copy = directory + "/whotouch";
  fs::create_directory(directory);
  fs::copy_file(toolPath(), copy);
  const auto everyone = fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                        fs::perms::others_read | fs::perms::others_exec;
  fs::permissions(directory, everyone);
  fs::permissions(copy, everyone);
  return copy;
}

// Starts a holder with the command line {argv0, "600"}, holding each file
// open (the same file may be given twice), as this user or the shell user;
// returns once it runs under that name. A holder that ends first fails the
// test and gives -1.
pid_t startHolder(const std::string &argv0, const std::vector<std::string> &files,
                  bool asShellUser = false) {
  std::string name = argv0, seconds = "600";
  char *argv[] = {name.data(), seconds.data(), nullptr};
  const pid_t child = fork();
  if (child == 0) {
    becomeHolderOf(files, asShellUser);
    // Not /bin/sleep: busybox's and toybox's pick their applet by argv[0].
    char holderMark[] = "WHOTOUCH_HOLDER=1";
    char *const environment[] = {holderMark, nullptr};
    execve("/proc/self/exe", argv, environment);
    _exit(127);
  }
  // The new command line is published a moment after the exec.
  const std::string expected = argv0 + '\0' + "600" + '\0';
  const std::string cmdline = "/proc/" + std::to_string(child) + "/cmdline";
  return awaitHolder(child, [&] { return readFile(cmdline) == expected; });
}

// Forks a holder of the files, under this program's command line, whose first
// thread then ends while two others keep it running; returns once it has.
pid_t startHolderWithoutMainThread(const std::vector<std::string> &files, bool asShellUser) {
  const pid_t child = fork();
  if (child == 0) {
    becomeHolderOf(files, asShellUser);
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
  // The ended first thread is a zombie while the process lives on; a
  // process that ended whole is a zombie too, but one that can be reaped.
  return awaitHolder(child, [&] { return processState(child) == 'Z'; });
}

const std::string kProcessLabel = "访问路径的进程: ";

// The lines that lie strictly between two given lines.
std::vector<std::string> linesBetween(const std::vector<std::string> &lines,
                                      const std::string &first, const std::string &last) {
  const auto begin = std::find(lines.begin(), lines.end(), first);
  return {begin == lines.end() ? begin : begin + 1, std::find(begin, lines.end(), last)};
}

struct Holder {
  std::string argv0;
  std::vector<std::string> files;
  std::vector<std::string> expectedLines;
  // Started from this program instead, under its name, with its first
  // thread ended.
  bool withoutMainThread = false;
  // The shell user's; the others are this test's user's (root's).
  bool asShellUser = false;
};

// How the tool is started and read for one event.
struct Session {
  // A descriptor the tool inherits, closed here once it has started.
  int descriptorForTheTool = -1;
  // The watched directory, when not the fixture's.
  std::string watched;
  std::function<void()> beforeExec;
  // The tool's copy to run, when not the tool itself.
  std::string program;
  // How long the events wait for a reader.
  int readAfterMs = 0;
};

class AttributionTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir = makeTempDir();
    // The shell user's holders and the tool run as the shell user reach it.
    chmod(dir.c_str(), 0755);
    held = dir + "/held.txt";
    close(open(held.c_str(), O_CREAT | O_WRONLY, 0644));
  }
  void TearDown() override {
    for (pid_t pid : holders) stopHolder(pid);
    for (const char *suffix : {"", "-sibling", "-tool"}) removeTree(dir + suffix);
  }

  // Watches the directory, makes one event, and returns the lines that
  // follow its event line.
  std::vector<std::string> processLinesForOneEvent(const Session &session = {}) {
    const std::string watched = session.watched.empty() ? dir : session.watched;
    ToolSession tool(session.beforeExec, session.program.empty() ? toolPath() : session.program);
    if (session.descriptorForTheTool != -1) close(session.descriptorForTheTool);
    EXPECT_TRUE(tool.watch(watched)) << tool.err;
    const std::string event = "检测到事件: 1073742080 路径: event";
    const std::string end = "检测到事件: 1073742080 路径: zz-end";
    mkdir((watched + "/event").c_str(), 0755);
    mkdir((watched + "/zz-end").c_str(), 0755);
    usleep(session.readAfterMs * 1000);
    EXPECT_TRUE(tool.waitForLine(end)) << tool.out;
    // Processes it may not read are passed over without a word.
    EXPECT_EQ(tool.err, "");
    return linesBetween(tool.stdoutLines(), event, end);
  }

  // Starts the holders of the table below; returns the process lines expected
  // of the tool run as this user (all of them, as root) and as the shell user.
  std::pair<std::vector<std::string>, std::vector<std::string>> startHolders();

  std::string dir, held;
  std::vector<pid_t> holders;
};

std::pair<std::vector<std::string>, std::vector<std::string>> AttributionTest::startHolders() {
  const std::string sibling = dir + "-sibling", siblingFile = sibling + "/f";
  mkdir(sibling.c_str(), 0755);
  close(open(siblingFile.c_str(), O_CREAT | O_WRONLY, 0644));

  const std::vector<Holder> cases = {
      // argv is {argv0, "600"}: the name is the last component of the first
      // argument, escaped like every value.
      {"/data/local/tmp/tab\tand\x1b[31mcolour", {held}, {"tab\\x09and\\x1b[31mcolour"}},
      {"twice", {held, held}, {"twice", "twice"}},
      // A substring match: dir is a prefix of the sibling directory's path.
      {"prefix-match", {siblingFile}, {"prefix-match"}},
      // More descriptors than one read of a directory listing returns.
      {"many", std::vector<std::string>(2000, held), std::vector<std::string>(2000, "many")},
      // Seen through its other threads, and still once per descriptor.
      {"", {held, held}, {"e2e_tests", "e2e_tests"}, true},
      {"shell-holder", {held}, {"shell-holder"}, false, true},
      // Its own user is refused PID/fd once the first thread has ended.
      {"", {held, held, held}, {"e2e_tests", "e2e_tests", "e2e_tests"}, true, true},
  };
  std::vector<std::string> asThisUser, asShellUser;
  const bool root = geteuid() == 0;
  for (const auto &c : cases) {
    if (c.asShellUser && !root) continue;
    holders.push_back(c.withoutMainThread ? startHolderWithoutMainThread(c.files, c.asShellUser)
                                          : startHolder(c.argv0, c.files, c.asShellUser));
    for (const auto &name : c.expectedLines) {
      asThisUser.push_back(kProcessLabel + name);
      if (c.asShellUser) asShellUser.push_back(kProcessLabel + name);
    }
  }
  std::sort(asThisUser.begin(), asThisUser.end());
  std::sort(asShellUser.begin(), asShellUser.end());
  return {asThisUser, asShellUser};
}

TEST_F(AttributionTest, NamesEveryHolderOncePerMatchingDescriptor) {
  const std::vector<std::string> expected = startHolders().first;
  std::vector<std::string> lines = processLinesForOneEvent();
  std::sort(lines.begin(), lines.end());
  EXPECT_EQ(lines, expected);
}

// adb shell on Android: it sees every event and every process, but may read
// only its own processes' descriptors.
TEST_F(AttributionTest, AsTheShellUserNamesOnlyItsOwnHolders) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root, to run the tool as uid " << kShellUser;
  const std::vector<std::string> expected = startHolders().second;
  Session asShellUser;
  asShellUser.beforeExec = becomeShellUser;
  asShellUser.program = copyToolForEveryone(dir + "-tool");
  std::vector<std::string> lines = processLinesForOneEvent(asShellUser);
  std::sort(lines.begin(), lines.end());
  EXPECT_EQ(lines, expected);
}

TEST_F(AttributionTest, LongTargetsAreSearchedWhole) {
  // The held directory's target is the whole watched path of almost 4000
  // bytes: a read cut short of its end never matches.
  std::string deep = dir;
  while (deep.size() < 3800) {
    deep += "/" + std::string(200, 'd');
    ASSERT_EQ(mkdir(deep.c_str(), 0755), 0);
  }
  holders.push_back(startHolder("deep-holder", {deep}));
  Session watchingDeep;
  watchingDeep.watched = deep;
  EXPECT_EQ(processLinesForOneEvent(watchingDeep),
            std::vector<std::string>{kProcessLabel + "deep-holder"});
}

TEST_F(AttributionTest, TheToolsOwnDescriptorsAreScannedToo) {
  // Opened without O_CLOEXEC: the tool inherits it, and this process closes
  // its own copy as soon as the tool has started.
  const int inherited = open(held.c_str(), O_RDONLY);
  ASSERT_NE(inherited, -1);
  const std::string name = toolPath().substr(toolPath().rfind('/') + 1);
  Session inheriting;
  inheriting.descriptorForTheTool = inherited;
  EXPECT_EQ(processLinesForOneEvent(inheriting), std::vector<std::string>{kProcessLabel + name});
}

TEST_F(AttributionTest, ASlowReaderOfANonBlockingOutputGetsEveryLine) {
  holders.push_back(startHolder("many", std::vector<std::string>(2000, held)));
  Session slowReader;
  slowReader.beforeExec = [] {
    fcntl(STDOUT_FILENO, F_SETFL, fcntl(STDOUT_FILENO, F_GETFL) | O_NONBLOCK);
    fcntl(STDOUT_FILENO, F_SETPIPE_SZ, 4096);
  };
  slowReader.readAfterMs = 300;
  EXPECT_EQ(processLinesForOneEvent(slowReader),
            std::vector<std::string>(2000, kProcessLabel + "many"));
}

}  // namespace
