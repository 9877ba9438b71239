// The watchdog pair as it runs: the real Zentrovane.exe started as the
// service by a fake systemctl (which really starts the program), the
// watchdog it starts, and a fake Timer.exe.
//
// The watchdog finds Timer.exe and MariaDB by image name among all the
// processes it can see, and ends every Timer.exe when it stops. So each
// test runs again as process 1 of a pid namespace of its own (`unshare`):
// tests running side by side do not see each other's processes (nor the
// test database's server), and everything a test started ends with it.
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <string>
#include <vector>

#include "e2e_util.h"
#include "platform/named_object.h"
#include "platform/process.h"
#include "server/sync_srv_dlg.h"
#include "service/watchdog.h"

extern char** environ;

namespace zv::e2e {
namespace {

using std::chrono::seconds;
using ::zv::testing::ReadFileBytes;
using ::zv::testing::WriteFileBytes;

constexpr const char* kInsideVariable = "ZV_E2E_OWN_PID_NAMESPACE";
// How the watchdog starts the service (the test itself starts it without
// --no-block).
const char* const kRestart = "start --no-block Zentrovane.service";

// In the test's first run: runs the test again as process 1 of a new pid
// namespace with /proc of its own, fails when that run fails, and returns
// false. In that second run: returns true.
bool InOwnPidNamespace() {
  if (std::getenv(kInsideVariable) != nullptr) {
    EXPECT_EQ(getpid(), 1);
    return getpid() == 1;
  }
  const ::testing::TestInfo* test = ::testing::UnitTest::GetInstance()->current_test_info();
  std::vector<std::string> args = {"--pid", "--fork", "--mount-proc", "--kill-child"};
  if (geteuid() != 0) args.insert(args.begin(), "--map-root-user");
  args.push_back(ExecutablePath());
  args.push_back(std::string("--gtest_filter=") + test->test_suite_name() + "." + test->name());
  std::vector<std::string> env;
  for (char** entry = environ; *entry != nullptr; ++entry) env.push_back(*entry);
  env.push_back(std::string(kInsideVariable) + "=" + std::to_string(getpid()));
  ::zv::testing::ScopedTempDir scratch;
  auto run = ChildProcess::Start("/usr/bin/unshare", args, env, scratch.Sub("output.txt"));
  if (run == nullptr) {
    ADD_FAILURE() << "cannot run unshare";
  } else {
    EXPECT_EQ(run->Wait(seconds(240)), 0) << ReadFileBytes(scratch.Sub("output.txt"));
  }
  return false;
}

// The process id of the test's first run, in its second run.
std::string FirstRunId() {
  const char* id = std::getenv(kInsideVariable);
  return id != nullptr ? id : "";
}

// The process that owns a named event; 0 when none does.
pid_t OwnerOf(const char* windows_name) {
  const std::string name = NamedObjectAddress(windows_name);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::memcpy(address.sun_path + 1, name.data(), name.size());
  const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  ucred owner{};
  socklen_t size = sizeof owner;
  const bool ok =
      connect(fd, reinterpret_cast<sockaddr*>(&address),
              static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + name.size())) == 0 &&
      getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &owner, &size) == 0;
  close(fd);
  return ok ? owner.pid : 0;
}

std::vector<pid_t> Timers() { return FindProcessesByImageName(kTimerImageName); }

class WatchdogE2ETest : public ::testing::Test {
 protected:
  // Every test's second run is process 1, so the process id in the home's
  // object namespace is the same in all of them; the first run's is not.
  WatchdogE2ETest()
      : object_namespace_(home_.object_namespace() + "_" + FirstRunId()),
        namespace_("ZENTROVANE_OBJECT_NAMESPACE", object_namespace_) {}

  // Installs the units (the server's runs the real program; MariaDB's
  // plays states; the process manager's is missing), puts the fake
  // Timer.exe into the home and starts the service.
  void SetUp() override {
    inside_ = InOwnPidNamespace();
    if (!inside_) return;
    home_.SetDword("DisableWatchDog", 0);
    WriteFileBytes(Sub("units/Zentrovane.service"), "");
    WriteFileBytes(Sub("units/mariadb.service"), "");
    WriteFileBytes(Sub("fake/Zentrovane.service.exec"), ProgramPath("Zentrovane.exe") + "\n");
    ASSERT_EQ(symlink(ZV_FAKE_TIMER, (home_.home() + "/Timer.exe").c_str()), 0);
    ASSERT_EQ(Systemctl("start"), 0);
    ASSERT_TRUE(WaitUntil([&] { return OwnerOf(kWatchDogStopEventName) != 0; })) << Logs();
    service_ = OwnerOf(kStopEventName);
    dog_ = OwnerOf(kWatchDogStopEventName);
  }

  // As process 1 of the namespace, kill(-1) reaches every other process in
  // it and nothing outside; they all end up as children to reap.
  void TearDown() override {
    if (!inside_ || getpid() != 1) return;
    while (kill(-1, SIGKILL) == 0) {
      while (waitpid(-1, nullptr, 0) > 0 || errno == EINTR) {
      }
    }
  }

  std::string Sub(const std::string& path) const { return home_.root() + "/" + path; }
  std::vector<std::string> Environment() const {
    std::vector<std::string> env = home_.Environment();
    for (std::string& entry : env) {
      if (entry.rfind("ZENTROVANE_OBJECT_NAMESPACE=", 0) == 0) {
        entry = "ZENTROVANE_OBJECT_NAMESPACE=" + object_namespace_;
      }
    }
    env.push_back("ZENTROVANE_UNIT_DIR=" + Sub("units"));
    env.push_back(std::string("ZENTROVANE_SYSTEMCTL=") + ZV_FAKE_SYSTEMCTL);
    env.push_back("FAKE_SYSTEMCTL_DIR=" + Sub("fake"));
    return env;
  }
  int Systemctl(const char* command) const {
    return RunToEnd(ZV_FAKE_SYSTEMCTL, {command, "Zentrovane.service"}, Environment());
  }
  size_t CountCalls(const std::string& call) const {
    std::istringstream calls(ReadFileBytes(Sub("fake/calls")));
    size_t n = 0;
    for (std::string line; std::getline(calls, line);) n += line == call ? 1 : 0;
    return n;
  }
  std::string Logs() const {
    return home_.DebugLog() + ReadFileBytes(Sub("fake/Zentrovane.service.out"));
  }

  ServerHome home_;
  const std::string object_namespace_;
  ::zv::testing::ScopedEnv namespace_;
  bool inside_ = false;
  pid_t service_ = 0;
  pid_t dog_ = 0;
};

TEST_F(WatchdogE2ETest, TheServiceStartsItsWatchdogWhichStartsTheCompanions) {
  if (!inside_) return;
  EXPECT_NE(home_.DebugLog().find("Dog is not running!restart dog!"), std::string::npos);
  // No MariaDB server is seen in this namespace: its unit is started.
  EXPECT_TRUE(WaitUntil([&] { return home_.OpLogHas("Timer.exe已被重新启动!"); })) << Logs();
  EXPECT_EQ(Timers().size(), 1u);
  EXPECT_TRUE(home_.OpLogHas("MySQL已被重新启动!"));
  EXPECT_GE(CountCalls("start --no-block mariadb.service"), 1u);
  // The process manager is not installed: said once, not retried.
  EXPECT_TRUE(home_.OpLogHas("启动Zentrovane进程管理器失败!"));
  EXPECT_NE(home_.DebugLog().find("Open Zentrovane service failed!errno=1060"), std::string::npos);
  EXPECT_EQ(CountCalls("show --property=LoadState,ActiveState process-manager.service"), 1u);
}

TEST_F(WatchdogE2ETest, AKilledWatchdogIsReplacedWithinAboutASecond) {
  if (!inside_) return;
  ASSERT_EQ(kill(dog_, SIGKILL), 0);
  const auto killed = std::chrono::steady_clock::now();
  pid_t next = 0;
  ASSERT_TRUE(WaitUntil([&] {
    return (next = OwnerOf(kWatchDogStopEventName)) != 0 && next != dog_;
  })) << Logs();
  // The next one-second tick starts it; generous for a loaded machine.
  EXPECT_LT(std::chrono::steady_clock::now() - killed, seconds(5));
  EXPECT_NE(home_.DebugLog().find("Dog is not running!restart dog!"), std::string::npos);
}

TEST_F(WatchdogE2ETest, AKilledServiceIsStartedAgainByTheWatchdog) {
  if (!inside_) return;
  ASSERT_EQ(kill(service_, SIGKILL), 0);
  pid_t next = 0;
  ASSERT_TRUE(WaitUntil([&] { return (next = OwnerOf(kStopEventName)) != 0 && next != service_; }))
      << Logs();
  // The new service may have its event before the watchdog, back from the
  // start, has written its line.
  EXPECT_TRUE(WaitUntil([&] { return home_.OpLogHas("同步器已被重新启动!"); })) << Logs();
  EXPECT_EQ(CountCalls(kRestart), 1u);
  // The watchdog lived on, though its parent was killed.
  EXPECT_EQ(OwnerOf(kWatchDogStopEventName), dog_);
}

TEST_F(WatchdogE2ETest, TwoTimersBecomeOne) {
  if (!inside_) return;
  ASSERT_TRUE(WaitUntil([] { return Timers().size() == 1; })) << Logs();
  const pid_t first = Timers()[0];
  auto second = ChildProcess::Start(ZV_FAKE_TIMER, {}, {}, Sub("timer.out"));
  ASSERT_NE(second, nullptr);
  ASSERT_TRUE(WaitUntil([] { return Timers().size() == 2; }));
  // The next ten-second check ends both and starts one.
  ASSERT_TRUE(WaitUntil([&] { return home_.OpLogCount("Timer.exe已被重新启动!") == 2; },
                        seconds(30)))
      << Logs();
  EXPECT_TRUE(home_.OpLogHas("已结束多余的Timer.exe进程!"));
  EXPECT_NE(home_.DebugLog().find("Found 2 Timer.exe!"), std::string::npos);
  const std::vector<pid_t> timers = Timers();
  ASSERT_EQ(timers.size(), 1u);
  EXPECT_NE(timers[0], first);
  EXPECT_NE(timers[0], second->pid());
  EXPECT_EQ(second->Wait(seconds(5)), 128 + SIGKILL);
}

TEST_F(WatchdogE2ETest, ASecondWatchdogOrServerLeavesTheRunningOneAlone) {
  if (!inside_) return;
  std::string output;
  EXPECT_EQ(RunToEnd(ProgramPath("Zentrovane.exe"), {"-guard"}, Environment(), &output), 255)
      << output;
  EXPECT_NE(home_.DebugLog().find("Zentrovane WatchDog is already running!"), std::string::npos);

  // A server that cannot start because one runs does not stop that one's
  // watchdog (which would end its Timer.exe on the way out).
  ASSERT_TRUE(WaitUntil([] { return Timers().size() == 1; })) << Logs();
  const std::vector<pid_t> timers = Timers();
  EXPECT_NE(RunToEnd(ProgramPath("Zentrovane.exe"), {"-app"}, Environment(), &output), 0);
  EXPECT_TRUE(home_.OpLogHas("Zentrovane的服务程序已经在运行!"));
  EXPECT_EQ(OwnerOf(kWatchDogStopEventName), dog_);
  EXPECT_EQ(Timers(), timers);
}

TEST_F(WatchdogE2ETest, AnOrderlyStopEndsTheWatchdogAndTheTimersAndNoRestart) {
  if (!inside_) return;
  ASSERT_TRUE(WaitUntil([] { return Timers().size() == 1; })) << Logs();
  ASSERT_EQ(Systemctl("stop"), 0);
  // The watchdog ends its Timer.exe after giving up its event.
  ASSERT_TRUE(WaitUntil([&] { return OwnerOf(kStopEventName) == 0 && Timers().empty(); },
                        seconds(30)))
      << Logs();
  EXPECT_EQ(OwnerOf(kWatchDogStopEventName), 0);
  EXPECT_TRUE(home_.OpLogHas("同步器已停止!"));
  const std::string log = home_.DebugLog();
  EXPECT_NE(log.find("Dog stopped!"), std::string::npos);
  EXPECT_EQ(log.find("Dog is not respoding!"), std::string::npos);
  // The watchdog ended first, so nobody started the service again.
  EXPECT_EQ(CountCalls(kRestart), 0u);
  EXPECT_FALSE(home_.OpLogHas("同步器已被重新启动!"));
}

}  // namespace
}  // namespace zv::e2e
