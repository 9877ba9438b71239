#include "platform/process.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <signal.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <thread>

#include <gtest/gtest.h>

#include "test_util.h"

namespace zv {
namespace {

using testing::ScopedTempDir;
using testing::UniqueName;
using Args = std::vector<std::string>;

// ---- command-line splitting ----

TEST(DescriptorLimitTest, TheSoftLimitIsRaisedToTheHardOne) {
  struct rlimit before;
  ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &before), 0);
  if (before.rlim_max < 64) GTEST_SKIP() << "hard limit too low to lower the soft one";
  struct rlimit lowered = before;
  lowered.rlim_cur = 32;
  ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &lowered), 0);
  EXPECT_EQ(RaiseDescriptorLimit(), static_cast<uint64_t>(before.rlim_max));
  struct rlimit after;
  ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &after), 0);
  EXPECT_EQ(after.rlim_cur, before.rlim_max);
  EXPECT_EQ(after.rlim_max, before.rlim_max);
  setrlimit(RLIMIT_NOFILE, &before);
}

TEST(SplitCommandLineTest, QuotedProgramPathAndArguments) {
  EXPECT_EQ(SplitCommandLine("\"/opt/zv dir/Loader.exe\" LoadConfigTable \"shop1.users\" \"/a b/c.dat\""),
            (Args{"/opt/zv dir/Loader.exe", "LoadConfigTable", "shop1.users", "/a b/c.dat"}));
}

TEST(SplitCommandLineTest, ProgramNameKeepsBackslashes) {
  EXPECT_EQ(SplitCommandLine("\"C:\\Program Files\\zv\\\" x"),
            (Args{"C:\\Program Files\\zv\\", "x"}));
  EXPECT_EQ(SplitCommandLine("C:\\zv\\a.exe"), (Args{"C:\\zv\\a.exe"}));
  EXPECT_EQ(SplitCommandLine("\"a b\"c d"), (Args{"a bc", "d"}));
}

TEST(SplitCommandLineTest, BackslashesBeforeQuotes) {
  // Argument rules: 2n backslashes + quote give n backslashes and a
  // grouping quote, 2n+1 give n backslashes and a literal quote,
  // backslashes elsewhere are plain.
  EXPECT_EQ(SplitCommandLine("p \"abc\" d e"), (Args{"p", "abc", "d", "e"}));
  EXPECT_EQ(SplitCommandLine("p a\\\\\\b d\"e f\"g h"), (Args{"p", "a\\\\\\b", "de fg", "h"}));
  EXPECT_EQ(SplitCommandLine("p a\\\\\\\"b c d"), (Args{"p", "a\\\"b", "c", "d"}));
  EXPECT_EQ(SplitCommandLine("p a\\\\\\\\\"b c\" d e"), (Args{"p", "a\\\\b c", "d", "e"}));
  EXPECT_EQ(SplitCommandLine("p \"ends with\\\\\""), (Args{"p", "ends with\\"}));
}

TEST(SplitCommandLineTest, DoubledQuoteInsideQuotes) {
  EXPECT_EQ(SplitCommandLine("p a\"b\"\" c d"), (Args{"p", "ab\" c d"}));
}

TEST(SplitCommandLineTest, BlanksEmptiesAndTabs) {
  EXPECT_EQ(SplitCommandLine(""), Args{});
  EXPECT_EQ(SplitCommandLine(" \t "), Args{});
  EXPECT_EQ(SplitCommandLine("  p\t\"\"  x  "), (Args{"p", "", "x"}));
  EXPECT_EQ(SplitCommandLine("p \"unterminated arg"), (Args{"p", "unterminated arg"}));
}

// ---- processes ----

// A FIFO the child blocks on until the test releases it, so that "still
// running" is certain without any timing.
class Gate {
 public:
  explicit Gate(const ScopedTempDir& dir) : path_(dir.Sub(UniqueName("gate"))) {
    EXPECT_EQ(mkfifo(path_.c_str(), 0600), 0);
  }
  const std::string& path() const { return path_; }
  void Open() {
    int fd = open(path_.c_str(), O_WRONLY | O_CLOEXEC);  // blocks until the child reads
    ASSERT_GE(fd, 0);
    ASSERT_EQ(write(fd, "go\n", 3), 3);
    close(fd);
  }

 private:
  std::string path_;
};

TEST(ProcessHandleTest, ExitCodeOfAnEndedChild) {
  auto child = ProcessHandle::Spawn({"/bin/sh", "-c", "exit 7"});
  ASSERT_NE(child, nullptr);
  EXPECT_GT(child->pid(), 0);
  EXPECT_EQ(child->Wait(-1), ProcessHandle::WaitResult::kExited);
  uint32_t code = 0;
  ASSERT_TRUE(child->GetExitCode(&code));
  EXPECT_EQ(code, 7u);
  // Waiting again is harmless.
  EXPECT_EQ(child->Wait(0), ProcessHandle::WaitResult::kExited);
}

TEST(ProcessHandleTest, WaitInStepsUntilTheChildEnds) {
  ScopedTempDir dir;
  Gate gate(dir);
  auto child = ProcessHandle::Spawn({"/bin/sh", "-c", "read x < \"$0\"; exit 5", gate.path()});
  ASSERT_NE(child, nullptr);
  EXPECT_EQ(child->Wait(100), ProcessHandle::WaitResult::kTimedOut);
  uint32_t code = 0;
  EXPECT_FALSE(child->GetExitCode(&code));
  EXPECT_EQ(child->Wait(100), ProcessHandle::WaitResult::kTimedOut);
  gate.Open();
  int steps = 0;
  ProcessHandle::WaitResult result;
  while ((result = child->Wait(100)) == ProcessHandle::WaitResult::kTimedOut && steps < 600) {
    ++steps;
  }
  ASSERT_EQ(result, ProcessHandle::WaitResult::kExited);
  ASSERT_TRUE(child->GetExitCode(&code));
  EXPECT_EQ(code, 5u);
}

TEST(ProcessHandleTest, TerminateReportsTheRequestedCode) {
  auto child = ProcessHandle::Spawn({"/bin/sleep", "1000"});
  ASSERT_NE(child, nullptr);
  ASSERT_TRUE(child->Terminate(995));
  EXPECT_EQ(child->Wait(-1), ProcessHandle::WaitResult::kExited);
  uint32_t code = 0;
  ASSERT_TRUE(child->GetExitCode(&code));
  EXPECT_EQ(code, 995u);
  errno = 0;
  EXPECT_FALSE(child->Terminate(1));
  EXPECT_EQ(errno, ESRCH);
}

TEST(ProcessHandleTest, KilledBySomeoneElseReports128PlusSignal) {
  auto child = ProcessHandle::Spawn({"/bin/sleep", "1000"});
  ASSERT_NE(child, nullptr);
  ASSERT_EQ(kill(child->pid(), SIGTERM), 0);
  EXPECT_EQ(child->Wait(-1), ProcessHandle::WaitResult::kExited);
  uint32_t code = 0;
  ASSERT_TRUE(child->GetExitCode(&code));
  EXPECT_EQ(code, 128u + SIGTERM);
}

TEST(ProcessHandleTest, StartFailuresSetErrno) {
  ScopedTempDir dir;
  errno = 0;
  EXPECT_EQ(ProcessHandle::Spawn({dir.Sub("no-such-program")}), nullptr);
  EXPECT_EQ(errno, ENOENT);
  testing::WriteFileBytes(dir.Sub("not-executable"), "#!/bin/sh\nexit 0\n");
  errno = 0;
  EXPECT_EQ(ProcessHandle::Spawn({dir.Sub("not-executable")}), nullptr);
  EXPECT_EQ(errno, EACCES);
  errno = 0;
  EXPECT_EQ(ProcessHandle::Spawn({}), nullptr);
  EXPECT_EQ(errno, EINVAL);
  errno = 0;
  EXPECT_EQ(ProcessHandle::Spawn({"zv-surely-not-on-the-path-" + UniqueName("x")}), nullptr);
  EXPECT_EQ(errno, ENOENT);
}

TEST(ProcessHandleTest, ProgramWithoutSlashIsFoundOnPath) {
  auto child = ProcessHandle::Spawn({"sh", "-c", "exit 3"});
  ASSERT_NE(child, nullptr);
  ASSERT_EQ(child->Wait(-1), ProcessHandle::WaitResult::kExited);
  uint32_t code = 0;
  ASSERT_TRUE(child->GetExitCode(&code));
  EXPECT_EQ(code, 3u);
}

TEST(ProcessHandleTest, ChildGetsDevNullAndNoInheritedDescriptors) {
  int leaked = open("/dev/zero", O_RDONLY);  // deliberately without O_CLOEXEC
  ASSERT_GE(leaked, 3);
  std::string script =
      "[ \"$(readlink /proc/self/fd/0)\" = /dev/null ] || exit 10; "
      "[ -e /proc/self/fd/" + std::to_string(leaked) + " ] && exit 11; exit 0";
  auto child = ProcessHandle::Spawn({"/bin/sh", "-c", script});
  close(leaked);
  ASSERT_NE(child, nullptr);
  ASSERT_EQ(child->Wait(-1), ProcessHandle::WaitResult::kExited);
  uint32_t code = 99;
  ASSERT_TRUE(child->GetExitCode(&code));
  EXPECT_EQ(code, 0u);
}

TEST(ProcessHandleTest, ChildStartsWithDefaultSignals) {
  // This process ignores SIGTERM; the child must not inherit that.
  struct sigaction old_action;
  struct sigaction ignore = {};
  ignore.sa_handler = SIG_IGN;
  ASSERT_EQ(sigaction(SIGTERM, &ignore, &old_action), 0);
  auto child = ProcessHandle::Spawn({"/bin/sleep", "1000"});
  sigaction(SIGTERM, &old_action, nullptr);
  ASSERT_NE(child, nullptr);
  ASSERT_EQ(kill(child->pid(), SIGTERM), 0);
  ASSERT_EQ(child->Wait(-1), ProcessHandle::WaitResult::kExited);
  uint32_t code = 0;
  ASSERT_TRUE(child->GetExitCode(&code));
  EXPECT_EQ(code, 128u + SIGTERM);
}

bool IsZombieOrGone(pid_t pid) {
  std::string stat = testing::ReadFileBytes("/proc/" + std::to_string(pid) + "/stat");
  size_t paren = stat.rfind(')');
  return paren == std::string::npos || stat[paren + 2] == 'Z';
}

bool IsGone(pid_t pid) {
  return testing::ReadFileBytes("/proc/" + std::to_string(pid) + "/stat").empty();
}

TEST(ProcessHandleTest, ClosedHandleLeavesNoZombie) {
  ScopedTempDir dir;
  Gate gate(dir);
  auto child = ProcessHandle::Spawn({"/bin/sh", "-c", "read x < \"$0\"", gate.path()});
  ASSERT_NE(child, nullptr);
  pid_t pid = child->pid();
  child.reset();  // still running: the child is handed to the background reaper
  EXPECT_FALSE(IsZombieOrGone(pid));
  gate.Open();
  // Reaping happens on the reaper's thread and has no event to await here;
  // poll /proc for a bounded while.
  for (int i = 0; i < 1000 && !IsGone(pid); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  EXPECT_TRUE(IsGone(pid));
}

TEST(FindProcessesByImageNameTest, FindsACopyOfSleepByItsNameInAnyCase) {
  ScopedTempDir dir;
  std::string name = UniqueName("ZvNap") + ".exe";
  std::filesystem::copy_file("/bin/sleep", dir.Sub(name));
  auto child = ProcessHandle::Spawn({dir.Sub(name), "1000"});
  ASSERT_NE(child, nullptr);
  std::string upper = name;
  std::transform(upper.begin(), upper.end(), upper.begin(), ::toupper);
  std::vector<pid_t> found = FindProcessesByImageName(upper);
  EXPECT_EQ(found, std::vector<pid_t>{child->pid()});
  EXPECT_TRUE(FindProcessesByImageName(name.substr(1)).empty());
  EXPECT_TRUE(FindProcessesByImageName("").empty());
  ASSERT_TRUE(child->Terminate(0));
  // Await the end through a pidfd of our own, which does not reap: the
  // ended but unreaped child is no longer counted.
  int pidfd = static_cast<int>(syscall(SYS_pidfd_open, child->pid(), 0));
  ASSERT_GE(pidfd, 0);
  pollfd pfd{pidfd, POLLIN, 0};
  ASSERT_EQ(poll(&pfd, 1, -1), 1);
  close(pidfd);
  EXPECT_TRUE(IsZombieOrGone(child->pid()));
  EXPECT_TRUE(FindProcessesByImageName(name).empty());
  EXPECT_EQ(child->Wait(-1), ProcessHandle::WaitResult::kExited);
}

TEST(ExecutableDirectoryTest, IsTheFolderOfThisProgram) {
  char resolved[PATH_MAX];
  ASSERT_NE(realpath(testing::ProgramDirectory().c_str(), resolved), nullptr);
  EXPECT_EQ(ExecutableDirectory(), std::string(resolved));
}

}  // namespace
}  // namespace zv
