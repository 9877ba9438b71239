// What the end-to-end tests cannot reach: the watchdog's checks against a
// fake service manager and a fake process list, and the service's side
// against a stand-in watchdog.
#include "service/watchdog.h"

#include <signal.h>
#include <sys/stat.h>

#include <gtest/gtest.h>

#include <map>
#include <thread>

#include "log/log_file.h"
#include "log/sync_log.h"
#include "platform/fake_service_manager.h"
#include "platform/named_object.h"
#include "platform/process.h"
#include "test_util.h"

namespace zv {
namespace {

using ::zv::testing::ReadFolderText;

class FakeProcessTable final : public ProcessTable {
 public:
  uint32_t CountByName(const std::string& image_name) override { return count[image_name]; }
  int KillByName(const std::string& image_name) override {
    count[image_name] = left_after_kill;
    return kill_result;
  }
  uint32_t Start(const std::string& program) override {
    started.push_back(program);
    return start_error;
  }

  std::map<std::string, uint32_t> count;
  int kill_result = 0;
  uint32_t left_after_kill = 0;
  uint32_t start_error = 0;
  std::vector<std::string> started;
};

// Each test (and each case) logs into a folder of its own.
class WatchDogTest : public ::testing::Test {
 protected:
  WatchDogTest() : namespace_("ZENTROVANE_OBJECT_NAMESPACE", ::zv::testing::UniqueName("wd")) {}
  ~WatchDogTest() override { UseLogFolder(""); }

  void UseLogFolder(const std::string& folder) {
    logs_ = folder;
    ZVSyncLog::Instance().SetDirectoryForTesting(folder.empty() ? "" : folder + "/debuglog");
    CZvLogFile::Instance().SetDirectoryForTesting(folder.empty() ? "" : folder + "/log");
  }
  bool Logged(const std::string& text) {
    ZVSyncLog::Instance().Flush();
    return ReadFolderText(logs_ + "/debuglog").find(text) != std::string::npos ||
           ReadFolderText(logs_ + "/log").find(::zv::testing::Utf8ToGbk(text)) != std::string::npos;
  }

  ::zv::testing::ScopedEnv namespace_;
  std::string logs_;
};

TEST_F(WatchDogTest, TimerCheckKeepsExactlyOne) {
  struct Case {
    const char* what;
    uint32_t running;
    int kill_result;
    uint32_t left_after_kill;
    uint32_t start_error;
    bool starts;
  };
  const Case cases[] = {
      {"one runs", 1, 0, 0, 0, false},
      {"none", 0, 0, 0, 0, true},
      {"none, start fails", 0, 0, 0, ENOENT, true},
      {"two", 2, 2, 0, 0, true},
      {"two, not ended within a second", 2, -1, 2, 0, false},
      {"two, one ended by itself meanwhile", 2, 1, 0, 0, true},
      {"three, one not ours to kill", 3, 2, 1, 0, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    ::zv::testing::ScopedTempDir logs;
    UseLogFolder(logs.path());
    FakeServiceManager manager;
    FakeProcessTable processes;
    processes.count[kTimerImageName] = c.running;
    processes.kill_result = c.kill_result;
    processes.left_after_kill = c.left_after_kill;
    processes.start_error = c.start_error;
    WatchDogGuard(manager, processes, "/opt/zv home").CheckTimer();

    EXPECT_EQ(processes.started, c.starts ? std::vector<std::string>{"/opt/zv home/Timer.exe"}
                                           : std::vector<std::string>{});
    EXPECT_EQ(Logged("Found " + std::to_string(c.running) + " Timer.exe!\n"), c.running > 1);
    EXPECT_EQ(Logged("已结束多余的Timer.exe进程!"), c.running > 1);
    EXPECT_EQ(Logged("Timer.exe已被重新启动!"), c.starts && c.start_error == 0);
    EXPECT_EQ(Logged("重新启动Timer.exe失败!"), c.start_error != 0);
    EXPECT_EQ(Logged("Start Timer.exe failed!errno=2\n"), c.start_error != 0);
  }
}

TEST_F(WatchDogTest, KeeperStartsNoWatchDogInTheForegroundOrWhenDisabled) {
  struct Case {
    bool interactive;
    bool disabled;
    bool starts;
  };
  for (const Case& c :
       {Case{true, false, false}, Case{false, true, false}, Case{false, false, true}}) {
    ::zv::testing::ScopedTempDir logs;
    UseLogFolder(logs.path());
    WatchDogKeeper keeper(c.interactive, [&c] { return c.disabled; }, "/bin/true");
    keeper.CheckWatchDog();
    EXPECT_EQ(keeper.started() != nullptr, c.starts) << c.interactive << c.disabled;
  }
}

// A watchdog started at the last tick is still starting up when the
// service closes: it is waited for, and killed when it never gets going.
TEST_F(WatchDogTest, StopWaitsForAWatchDogStillStartingUp) {
  struct Case {
    bool event_comes;
    int limit_ms;
    const char* logged;
  };
  for (const Case& c : {Case{true, 10000, "Dog stopped!"}, Case{false, 300, "respoding!\n"}}) {
    ::zv::testing::ScopedTempDir dir;
    UseLogFolder(dir.path());
    const std::string program = dir.Sub("dog.sh");
    ::zv::testing::WriteFileBytes(program, "#!/bin/sh\nexec sleep 30\n");
    chmod(program.c_str(), 0755);
    WatchDogKeeper keeper(false, [] { return false; }, program, c.limit_ms);
    keeper.CheckWatchDog();
    ASSERT_NE(keeper.started(), nullptr);
    const pid_t child = keeper.started()->pid();
    std::thread dog([&c] {
      if (!c.event_comes) return;
      std::this_thread::sleep_for(std::chrono::milliseconds(200));
      auto event = NamedEvent::Create(kWatchDogStopEventName, true, nullptr);
      if (event) event->Wait(5000);  // the guard's loop ends when it is set
    });
    keeper.StopWatchDog();
    dog.join();
    EXPECT_TRUE(Logged(c.logged)) << c.logged;
    EXPECT_FALSE(Logged("Dog is not running!\n"));
    if (c.event_comes) {
      EXPECT_EQ(kill(child, SIGKILL), 0);
    } else {  // killed, and reaped in the background
      const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
      while (kill(child, 0) == 0 && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
      }
      EXPECT_NE(kill(child, 0), 0);
    }
  }
}

}  // namespace
}  // namespace zv
