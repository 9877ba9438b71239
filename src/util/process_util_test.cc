#include "util/process_util.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>

#include <gtest/gtest.h>

#include "test_util.h"

namespace zv {
namespace {

using testing::ScopedEnv;
using testing::ScopedTempDir;
using testing::UniqueName;

TEST(RunProcessTest, WaitReturnsTheExitCode) {
  EXPECT_EQ(RunProcess({"/bin/sh", "-c", "exit 42"}, true), 42u);
  EXPECT_EQ(RunProcess({"/bin/sh", "-c", "exit 0"}, true), 0u);
}

TEST(RunProcessTest, ArgumentsArriveAsGiven) {
  ScopedTempDir dir;
  std::string out = dir.Sub("args.txt");
  ASSERT_EQ(RunProcess({"/bin/sh", "-c", "printf '%s|' \"$@\" > \"$0\"", out, "a b", "c", "d\"e"},
                       true),
            0u);
  EXPECT_EQ(testing::ReadFileBytes(out), "a b|c|d\"e|");
}

TEST(RunProcessTest, WithoutWaitReturnsZeroOnceStarted) {
  ScopedTempDir dir;
  std::string fifo = dir.Sub("gate");
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  // The child cannot end before the gate opens below, so a 0 here was
  // returned without waiting.
  EXPECT_EQ(RunProcess({"/bin/sh", "-c", "read x < \"$0\"; exit 9", fifo}, false), 0u);
  int fd = open(fifo.c_str(), O_WRONLY | O_CLOEXEC);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(write(fd, "x\n", 2), 2);
  close(fd);
}

TEST(RunProcessTest, StartFailureReturnsTheError) {
  ScopedTempDir dir;
  EXPECT_EQ(RunProcess({dir.Sub("Loader.exe"), "LoadLogTable"}, true),
            static_cast<uint32_t>(ENOENT));
  EXPECT_EQ(RunProcess({}, false), static_cast<uint32_t>(EINVAL));
}

TEST(StartProcessTest, EmptyLineIsInvalid) {
  errno = 0;
  EXPECT_EQ(StartProcess({}), nullptr);
  EXPECT_EQ(errno, EINVAL);
}

TEST(StartProcessTest, ArgumentWithANulIsInvalid) {
  // exec takes C strings: the argument would arrive cut at the NUL.
  errno = 0;
  EXPECT_EQ(StartProcess({"/bin/true", std::string("a\0b", 3)}), nullptr);
  EXPECT_EQ(errno, EINVAL);
}

// Copies of /bin/sleep under a name no other process has.
class ByNameTest : public ::testing::Test {
 protected:
  void SetUp() override {
    name_ = UniqueName("ZvTimer") + ".exe";
    std::filesystem::copy_file("/bin/sleep", dir_.Sub(name_));
  }
  std::unique_ptr<ProcessHandle> StartSleeper() {
    return StartProcess({dir_.Sub(name_), "1000"});
  }

  ScopedTempDir dir_;
  std::string name_;
};

TEST_F(ByNameTest, CountAndKill) {
  auto first = StartSleeper();
  auto second = StartSleeper();
  ASSERT_NE(first, nullptr);
  ASSERT_NE(second, nullptr);
  std::string upper = name_;
  std::transform(upper.begin(), upper.end(), upper.begin(), ::toupper);
  EXPECT_EQ(CountProcessesByName(name_), 2u);
  EXPECT_EQ(CountProcessesByName(upper), 2u);
  EXPECT_EQ(KillProcessesByName(upper), 2);
  // Killed and ended (not yet reaped): no longer counted.
  EXPECT_EQ(CountProcessesByName(name_), 0u);
  for (auto* child : {first.get(), second.get()}) {
    ASSERT_EQ(child->Wait(-1), ProcessHandle::WaitResult::kExited);
    uint32_t code = 0;
    ASSERT_TRUE(child->GetExitCode(&code));
    EXPECT_EQ(code, 128u + 9u);
  }
}

TEST_F(ByNameTest, KillOfAnUnknownNameIsZero) {
  EXPECT_EQ(CountProcessesByName(name_), 0u);
  EXPECT_EQ(KillProcessesByName(name_), 0);
}

// Run inside a renamed copy of this test program (see the next test): kills
// every process of its own image name, which must spare the caller.
TEST(KillSelfHelper, KillOwnName) {
  if (std::getenv("ZV_KILL_OWN_NAME_HELPER") == nullptr) GTEST_SKIP() << "helper only";
  std::string exe = std::filesystem::read_symlink("/proc/self/exe").filename().string();
  int killed = KillProcessesByName(exe);
  _exit(killed == 0 ? 0 : 10 + killed);
}

TEST(KillProcessesByNameTest, NeverKillsTheCaller) {
  ScopedTempDir dir;
  std::string copy = dir.Sub(UniqueName("ZvSelf"));
  std::filesystem::copy_file("/proc/self/exe", copy);
  ASSERT_EQ(chmod(copy.c_str(), 0755), 0);
  ScopedEnv helper("ZV_KILL_OWN_NAME_HELPER", "1");
  uint32_t code =
      RunProcess({copy, "--gtest_filter=KillSelfHelper.KillOwnName"}, true);
  EXPECT_EQ(code, 0u);
}

}  // namespace
}  // namespace zv
