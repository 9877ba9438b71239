// The watchdog's checks against a fake service manager and a fake process
// list; the service's side against real child processes and named events.
#include "service/watchdog.h"

#include <signal.h>
#include <sys/stat.h>

#include <gtest/gtest.h>

#include <chrono>
#include <map>
#include <thread>

#include "log/log_file.h"
#include "log/sync_log.h"
#include "platform/fake_service_manager.h"
#include "platform/named_object.h"
#include "platform/process.h"
#include "server/sync_srv_dlg.h"
#include "test_util.h"

namespace zv {
namespace {

using ::zv::testing::ReadFolderText;
using ::zv::testing::Utf8ToGbk;

class FakeProcessTable final : public ProcessTable {
 public:
  uint32_t CountByName(const std::string& image_name) override { return count[image_name]; }
  int KillByName(const std::string& image_name) override {
    count[image_name] = left_after_kill;
    return kill_result;
  }
  uint32_t Start(const std::string& program) override {
    started.push_back(program);
    if (start_error == 0) ++count[kTimerImageName];
    return start_error;
  }

  std::map<std::string, uint32_t> count;
  int kill_result = 0;
  uint32_t left_after_kill = 0;
  uint32_t start_error = 0;
  std::vector<std::string> started;
};

class WatchDogTest : public ::testing::Test {
 protected:
  WatchDogTest() : namespace_("ZENTROVANE_OBJECT_NAMESPACE", ::zv::testing::UniqueName("wd")) {
    UseLogFolder(dir_.path());
  }
  ~WatchDogTest() override {
    ZVSyncLog::Instance().SetDirectoryForTesting("");
    CZvLogFile::Instance().SetDirectoryForTesting("");
  }

  void UseLogFolder(const std::string& folder) {
    logs_ = folder;
    ZVSyncLog::Instance().SetDirectoryForTesting(folder + "/debuglog");
    CZvLogFile::Instance().SetDirectoryForTesting(folder + "/log");
  }
  bool DebugLogHas(const std::string& line) {
    ZVSyncLog::Instance().Flush();
    return ReadFolderText(logs_ + "/debuglog").find(line) != std::string::npos;
  }
  bool OpLogHas(const char* message) {
    return ReadFolderText(logs_ + "/log").find(Utf8ToGbk(message)) != std::string::npos;
  }
  // A stand-in watchdog: writes its arguments to <path>.args, then runs body.
  std::string Script(const char* body) {
    const std::string path = dir_.Sub("dog.sh");
    ::zv::testing::WriteFileBytes(
        path, std::string("#!/bin/sh\necho \"$@\" > \"$0.args\"\n") + body + "\n");
    chmod(path.c_str(), 0755);
    return path;
  }

  ::zv::testing::ScopedTempDir dir_;
  std::string logs_;
  ::zv::testing::ScopedEnv namespace_;
  FakeServiceManager manager_;
  FakeProcessTable processes_;
  WatchDogGuard guard_{manager_, processes_, "/opt/zv home"};
};

TEST_F(WatchDogTest, StartServiceByNameTellsWhereItFailed) {
  struct Case {
    const char* what;
    bool installed;
    uint32_t state;
    uint32_t fail_with;
    const char* fail_only;
    bool started;
    std::vector<std::string> calls;
    const char* debug;
  };
  const Case cases[] = {
      {"runs already", true, kServiceRunning, 0, "", true, {"QueryState mariadb"}, ""},
      {"stopped", true, kServiceStopped, 0, "", true, {"QueryState mariadb", "Start mariadb"}, ""},
      {"no such unit", false, 0, 0, "", false, {"QueryState mariadb"},
       "Open Zentrovane service failed!errno=1060"},
      {"no manager", true, kServiceStopped, kErrorServiceManagerFailed, "", false,
       {"QueryState mariadb"}, "Open SCM failed!errno=1065"},
      {"start refused", true, kServiceStopped, kErrorServiceManagerFailed, "Start", false,
       {"QueryState mariadb", "Start mariadb"}, "Start Zentrovane failed!errno=1065"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    FakeServiceManager manager;
    if (c.installed) manager.Add("mariadb", c.state);
    manager.fail_with = c.fail_with;
    manager.fail_only = c.fail_only;
    EXPECT_EQ(StartServiceByName(manager, "mariadb"), c.started);
    EXPECT_EQ(manager.calls, c.calls);
    if (*c.debug != '\0') {
      EXPECT_TRUE(DebugLogHas(c.debug));
    }
  }
}

TEST_F(WatchDogTest, TimerCheckKeepsExactlyOne) {
  struct Case {
    const char* what;
    uint32_t running;
    int kill_result;
    uint32_t left_after_kill;
    uint32_t start_error;
    bool starts;
    bool ended_extra;  // "已结束多余的Timer.exe进程!"
  };
  const Case cases[] = {
      {"one runs", 1, 0, 0, 0, false, false},
      {"none", 0, 0, 0, 0, true, false},
      {"none, start fails", 0, 0, 0, ENOENT, true, false},
      {"two", 2, 2, 0, 0, true, true},
      {"two, not ended within a second", 2, -1, 2, 0, false, true},
      {"two, one ended by itself meanwhile", 2, 1, 0, 0, true, true},
      {"three, one not ours to kill", 3, 2, 1, 0, false, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    ::zv::testing::ScopedTempDir logs;
    UseLogFolder(logs.path());
    processes_ = FakeProcessTable();
    processes_.count[kTimerImageName] = c.running;
    processes_.kill_result = c.kill_result;
    processes_.left_after_kill = c.left_after_kill;
    processes_.start_error = c.start_error;

    guard_.CheckTimer();
    EXPECT_EQ(processes_.started,
              c.starts ? std::vector<std::string>{"/opt/zv home/Timer.exe"}
                       : std::vector<std::string>{});
    EXPECT_EQ(OpLogHas("已结束多余的Timer.exe进程!"), c.ended_extra);
    EXPECT_EQ(OpLogHas("Timer.exe已被重新启动!"), c.starts && c.start_error == 0);
    EXPECT_EQ(OpLogHas("重新启动Timer.exe失败!"), c.start_error != 0);
    EXPECT_EQ(DebugLogHas("Start Timer.exe failed!errno=2\n"), c.start_error != 0);
    EXPECT_EQ(DebugLogHas("Found " + std::to_string(c.running) + " Timer.exe!\n"), c.running > 1);
  }
}

TEST_F(WatchDogTest, MysqlIsStartedOnlyWhenNoServerProcessRuns) {
  struct Case {
    const char* what;
    uint32_t mariadbd;
    uint32_t mysqld;
    bool installed;
    bool asked;
    const char* message;
  };
  const Case cases[] = {
      {"mariadbd runs", 1, 0, true, false, nullptr},
      {"mysqld of an older package runs", 0, 2, true, false, nullptr},
      {"none runs", 0, 0, true, true, "MySQL已被重新启动!"},
      {"none runs, no unit", 0, 0, false, true, "重新启动MySQL失败!"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    ::zv::testing::ScopedTempDir logs;
    UseLogFolder(logs.path());
    manager_ = FakeServiceManager();
    if (c.installed) manager_.Add("mariadb");
    processes_.count = {{"mariadbd", c.mariadbd}, {"mysqld", c.mysqld}};
    guard_.CheckMysql();
    EXPECT_EQ(!manager_.calls.empty(), c.asked);
    EXPECT_EQ(manager_.services["mariadb"].state,
              c.installed && c.asked ? kServiceRunning : kServiceStopped);
    for (const char* message : {"MySQL已被重新启动!", "重新启动MySQL失败!"}) {
      EXPECT_EQ(OpLogHas(message), c.message != nullptr && std::string(c.message) == message);
    }
  }
}

TEST_F(WatchDogTest, ServiceIsStartedOnlyWhenItsStopEventIsGone) {
  manager_.Add("Zentrovane");
  {
    std::unique_ptr<NamedEvent> service = NamedEvent::Create(kStopEventName, true, nullptr);
    ASSERT_NE(service, nullptr);
    guard_.CheckService();
    EXPECT_TRUE(manager_.calls.empty());
  }
  guard_.CheckService();
  EXPECT_EQ(manager_.services["Zentrovane"].state, kServiceRunning);
  EXPECT_TRUE(OpLogHas("同步器已被重新启动!"));
  manager_.services.clear();
  guard_.CheckService();
  EXPECT_TRUE(OpLogHas("重新启动同步器失败!"));
}

TEST_F(WatchDogTest, KeeperStartsTheWatchDogOnlyWhenItShould) {
  struct Case {
    const char* what;
    bool interactive;
    bool disabled;
    bool dog_runs;
    bool starts;
  };
  const Case cases[] = {
      {"interactive", true, false, false, false},
      {"disabled", false, true, false, false},
      {"watchdog runs", false, false, true, false},
      {"watchdog gone", false, false, false, true},
  };
  const std::string program = Script("exit 0");
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::unique_ptr<NamedEvent> dog;
    if (c.dog_runs) dog = NamedEvent::Create(kWatchDogStopEventName, true, nullptr);
    WatchDogKeeper keeper(c.interactive, [&c] { return c.disabled; }, program);
    keeper.CheckWatchDog();
    ASSERT_EQ(keeper.started() != nullptr, c.starts);
  }
  // The one started ran "<program> -guard".
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (!::zv::testing::FileExists(program + ".args") &&
         std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  EXPECT_EQ(::zv::testing::ReadFileBytes(program + ".args"), "-guard\n");
  EXPECT_TRUE(DebugLogHas("Dog is not running!restart dog!\n"));
}

TEST_F(WatchDogTest, StopWaitsForAWatchDogThatHasNotCreatedItsEventYet) {
  // The child stands for a watchdog still starting; the event comes later.
  WatchDogKeeper keeper(false, [] { return false; }, Script("exec sleep 30"));
  keeper.CheckWatchDog();
  ASSERT_NE(keeper.started(), nullptr);
  const pid_t child = keeper.started()->pid();
  std::thread dog([] {
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    std::unique_ptr<NamedEvent> event = NamedEvent::Create(kWatchDogStopEventName, true, nullptr);
    if (event) event->Wait(5000);  // ends with the set, as the guard's loop does
  });
  keeper.StopWatchDog();
  dog.join();
  kill(child, SIGKILL);
  EXPECT_TRUE(DebugLogHas("Dog stopped!"));
  EXPECT_FALSE(DebugLogHas("Dog is not running!\n"));
  EXPECT_FALSE(DebugLogHas("Dog is not respoding!"));
}

TEST_F(WatchDogTest, StopGivesUpOnAWatchDogThatDoesNotEnd) {
  WatchDogKeeper keeper(false, [] { return false; }, "", /*stop_limit_ms=*/300);
  keeper.StopWatchDog();
  EXPECT_TRUE(DebugLogHas("Dog is not running!\n"));

  std::unique_ptr<NamedEvent> deaf = NamedEvent::Create(kWatchDogStopEventName, true, nullptr);
  ASSERT_NE(deaf, nullptr);
  keeper.StopWatchDog();
  EXPECT_TRUE(deaf->Wait(0));
  EXPECT_TRUE(DebugLogHas("Dog is not respoding!\n"));
  EXPECT_TRUE(DebugLogHas("Dog stopped!"));
}

}  // namespace
}  // namespace zv
