#include "server/sync_srv_dlg.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstring>
#include <future>
#include <thread>

#include "config/zv_sync_config.h"
#include "records/account_file.h"
#include "server/console_commands.h"
#include "test_util.h"
#include "util/file_util.h"

namespace zv {
namespace {

using ::zv::testing::FreeTcpUdpPort;
using ::zv::testing::ScopedTempDir;

// One home, registry and object namespace for the whole binary: the
// configuration and the logs are process-wide.
class ControllerEnvironment : public ::testing::Environment {
 public:
  void SetUp() override {
    home_ = std::make_unique<ScopedTempDir>();
    setenv("ZENTROVANE_HOME", home_->path().c_str(), 1);
    setenv("ZENTROVANE_REGISTRY", home_->Sub("config/registry.reg").c_str(), 1);
    setenv("ZENTROVANE_OBJECT_NAMESPACE", ::zv::testing::UniqueName("ctl").c_str(), 1);
  }
  void TearDown() override { home_.reset(); }

 private:
  std::unique_ptr<ScopedTempDir> home_;
};
const auto* const kEnvironment = ::testing::AddGlobalTestEnvironment(new ControllerEnvironment);

SyncAccountRecord MakeAccount(const char* user, const char* password, const char* storage) {
  SyncAccountRecord record;
  std::memset(&record, 0, sizeof(record));
  std::strncpy(record.userName, user, sizeof(record.userName) - 1);
  std::strncpy(record.password, password, sizeof(record.password) - 1);
  std::strncpy(record.storageName, storage, sizeof(record.storageName) - 1);
  return record;
}

void WriteAccounts(const std::vector<SyncAccountRecord>& accounts) {
  ZVSyncConfig& config = ZVSyncConfig::Instance();
  ASSERT_TRUE(CreateDirectoryTree(config.GetHomeDirectory() + "/config"));
  CZvAccountFile file;
  file.SetPath(config.GetAccountFilePath());
  file.Records() = accounts;
  ASSERT_EQ(file.Save(), 0);
}

ClientAuthBlock MakeLogin(const char* user, const char* password, uint32_t device) {
  ClientAuthBlock login;
  std::memset(&login, 0, sizeof(login));
  std::strncpy(login.userName, user, sizeof(login.userName) - 1);
  std::strncpy(login.password, password, sizeof(login.password) - 1);
  login.deviceId = device;
  return login;
}

// A controller running on its own thread with fresh ports.
class ControllerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ZVSyncConfig& config = ZVSyncConfig::Instance();
    ASSERT_TRUE(config.store().WriteDword("SyncPort", FreeTcpUdpPort()));
    ASSERT_TRUE(config.store().WriteDword("UIPort", FreeTcpUdpPort()));
    ASSERT_TRUE(config.store().WriteDword("MinimumRequiredDiskSpace", 0));
    WriteAccounts({MakeAccount("demo", "Secret", "shop1"), MakeAccount("other", "pw", "shop2"),
                   MakeAccount("nostore", "pw", "")});
  }

  void TearDown() override { Stop(); }

  // Starts the controller; returns whether it initialised.
  bool Start(bool interactive = false,
             DiskMonitor::SpaceQuery space = DiskMonitor::SpaceQuery()) {
    const size_t checks_before = MonitorChecksFinished();
    controller_ = std::make_unique<CZVSyncSrvDlg>(interactive);
    if (space) controller_->disk_monitor().SetSpaceQueryForTesting(space);
    std::promise<bool> result;
    run_result_ = result.get_future();
    thread_ = std::thread([this, r = std::move(result)]() mutable {
      r.set_value(controller_->RunModal(false));
    });
    // Runs once Initialize has returned (or while a failed start closes).
    controller_->RunOnLoop([] {});
    if (!controller_->initialized()) return false;
    // The disk monitor holds the processing lock for its first check right
    // after start-up; the tests begin once it has given it back.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (MonitorChecksFinished() == checks_before &&
           std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
  }

  static size_t MonitorChecksFinished() {
    const std::string log = ::zv::testing::ReadFolderText(
        ZVSyncConfig::Instance().GetHomeDirectory() + "/debuglog", ".log");
    size_t count = 0;
    const std::string line = "Disk Monitor Check Finished!";
    for (size_t at = log.find(line); at != std::string::npos; at = log.find(line, at + 1)) {
      ++count;
    }
    return count;
  }

  void Stop() {
    if (!controller_) return;
    controller_->RequestClose();
    thread_.join();
    controller_.reset();
  }

  // Runs fn on the loop thread and returns its result.
  template <typename Fn>
  auto OnLoop(Fn fn) -> decltype(fn()) {
    decltype(fn()) value{};
    EXPECT_TRUE(controller_->RunOnLoop([&] { value = fn(); }));
    return value;
  }

  // Authenticates from a thread of its own, as a session does.
  uint32_t AuthenticateFromSession(const ClientAuthBlock& login, SyncAccountRecord* record) {
    return std::async(std::launch::async, [&] {
             return controller_->Authenticate(login, record);
           }).get();
  }

  std::vector<uint8_t> AccountCommand(uint32_t cmd, const std::string& text) {
    std::vector<uint8_t> datagram(16 + text.size() + 1, 0);
    UiCommandHeader header{kUiCommandFlag, 7, cmd, static_cast<uint32_t>(datagram.size())};
    std::memcpy(datagram.data(), &header, sizeof(header));
    std::memcpy(datagram.data() + 16, text.data(), text.size());
    return datagram;
  }

  std::unique_ptr<CZVSyncSrvDlg> controller_;
  std::thread thread_;
  std::future<bool> run_result_;
};

TEST_F(ControllerTest, StartsAndStopsOnTheStopEvent) {
  ASSERT_TRUE(Start());
  EXPECT_NE(controller_->listening_port(), 0);
  ASSERT_TRUE(SignalNamedEvent(kStopEventName));
  // The one-second tick notices the event and closes the loop.
  thread_.join();
  EXPECT_TRUE(run_result_.get());
  EXPECT_FALSE(NamedObjectExists(kStopEventName));
  EXPECT_FALSE(controller_->RunOnLoop([] {}));
  controller_.reset();
}

TEST_F(ControllerTest, SecondInstanceIsRefused) {
  NamedEvent::CreateResult created;
  auto first = NamedEvent::Create(kStopEventName, true, &created);
  ASSERT_EQ(created, NamedEvent::CreateResult::kCreated);
  EXPECT_FALSE(Start());
  thread_.join();
  EXPECT_FALSE(run_result_.get());
  controller_.reset();
  // The running instance's event is untouched.
  EXPECT_FALSE(first->Wait(0));
  EXPECT_TRUE(NamedObjectExists(kStopEventName));
}

TEST_F(ControllerTest, PortInUseStopsStartAtTheListener) {
  uint16_t port = FreeTcpUdpPort();
  ASSERT_TRUE(ZVSyncConfig::Instance().store().WriteDword("SyncPort", port));
  int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_ANY);
  ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)), 0);
  ASSERT_EQ(::listen(fd, 1), 0);
  EXPECT_FALSE(Start());
  thread_.join();
  EXPECT_FALSE(run_result_.get());
  controller_.reset();
  ::close(fd);
  // The failed start released the stop event.
  EXPECT_FALSE(NamedObjectExists(kStopEventName));
}

TEST_F(ControllerTest, SyncDateDigestIsMd5OfTheScheduleInUpperCaseHex) {
  SyncAccountRecord account = MakeAccount("Digest", "pw", "s");
  const uint8_t schedule[6] = {0x00, 0x17, 0x00, 0x3b, 0x0a, 0x00};
  std::memcpy(account.syncSchedule, schedule, sizeof(schedule));
  WriteAccounts({account});
  ASSERT_TRUE(Start());
  EXPECT_EQ(OnLoop([&] { return controller_->console().GetSyncDateDigest("dIGEST"); }),
            "C6E98FAE76C18179F3EE53E96687EF40");
  EXPECT_EQ(OnLoop([&] { return controller_->console().GetSyncDateDigest("nobody"); }), "");
  // Only the loop thread may read the accounts.
  EXPECT_THROW(controller_->console().GetSyncDateDigest("Digest"), int);
}

TEST_F(ControllerTest, AuthenticateChecksNameWithoutCaseAndPasswordWithCase) {
  ASSERT_TRUE(Start());
  SyncAccountRecord record;
  std::memset(&record, 0xEE, sizeof(record));
  EXPECT_EQ(AuthenticateFromSession(MakeLogin("DEMO", "Secret", 1), &record), kNoError);
  EXPECT_STREQ(record.userName, "demo");
  EXPECT_STREQ(record.storageName, "shop1");
  EXPECT_EQ(AuthenticateFromSession(MakeLogin("demo", "secret", 1), &record), kWrongPassword);
  EXPECT_EQ(AuthenticateFromSession(MakeLogin("nobody", "Secret", 1), &record), kUserNotFound);
}

TEST_F(ControllerTest, AuthenticateOnTheLoopThreadRunsDirectly) {
  ASSERT_TRUE(Start());
  SyncAccountRecord record;
  EXPECT_EQ(OnLoop([&] {
              return controller_->Authenticate(MakeLogin("other", "pw", 2), &record);
            }),
            kNoError);
  EXPECT_STREQ(record.storageName, "shop2");
}

TEST_F(ControllerTest, FullDiskRefusesLoginsWithDiskFull) {
  uint64_t available = 100ull << 20;  // 100 MiB on both disks
  ASSERT_TRUE(Start(false, [&](const std::string&, VolumeSpace* out) {
    out->available_bytes = available;
    out->free_bytes = available;
    out->total_bytes = 1ull << 40;
    return true;
  }));
  ASSERT_TRUE(ZVSyncConfig::Instance().store().WriteDword("MinimumRequiredDiskSpace", 100));
  SyncAccountRecord record;
  EXPECT_EQ(AuthenticateFromSession(MakeLogin("demo", "Secret", 1), &record), kNoError);
  ASSERT_TRUE(ZVSyncConfig::Instance().store().WriteDword("MinimumRequiredDiskSpace", 101));
  EXPECT_EQ(AuthenticateFromSession(MakeLogin("demo", "Secret", 1), &record), kServerDiskFull);
  EXPECT_FALSE(controller_->CheckDiskSpace("demo"));
  ASSERT_TRUE(ZVSyncConfig::Instance().store().WriteDword("MinimumRequiredDiskSpace", 0));
}

TEST_F(ControllerTest, FailingSpaceQueryRefusesLogins) {
  ASSERT_TRUE(Start(false, [](const std::string&, VolumeSpace*) {
    errno = EIO;
    return false;
  }));
  SyncAccountRecord record;
  EXPECT_EQ(AuthenticateFromSession(MakeLogin("demo", "Secret", 1), &record), kServerDiskFull);
}

TEST_F(ControllerTest, BusyLoopAnswersServerBusyAndDiscardsTheLateResult) {
  ASSERT_TRUE(Start());
  std::promise<void> release;
  std::shared_future<void> released = release.get_future().share();
  std::promise<void> blocked;
  // Keep the loop busy until the session has given up.
  std::thread blocker([&] {
    controller_->RunOnLoop([&] {
      blocked.set_value();
      released.wait();
    });
  });
  blocked.get_future().wait();
  SyncAccountRecord record;
  std::memset(&record, 0, sizeof(record));
  EXPECT_EQ(AuthenticateFromSession(MakeLogin("demo", "Secret", 1), &record), kServerBusy);
  release.set_value();
  blocker.join();
  // The admission check queued for the abandoned request finds nothing.
  OnLoop([] { return 0; });
  EXPECT_EQ(record.userName[0], '\0');
  EXPECT_EQ(AuthenticateFromSession(MakeLogin("demo", "Secret", 1), &record), kNoError);
}

TEST_F(ControllerTest, UserCommandPausesAdmissionsUntilUpdateAccount) {
  ASSERT_TRUE(Start());
  SyncAccountRecord record;
  auto pause = AccountCommand(kUiCmdUpdateAccount, "demo");
  EXPECT_EQ(OnLoop([&] {
              return controller_->console().HandleAccountCommand(pause.data(), pause.size(), false);
            }),
            0u);
  EXPECT_EQ(AuthenticateFromSession(MakeLogin("other", "pw", 1), &record), kServerBusy);

  // A new account arrives with the reload.
  WriteAccounts({MakeAccount("demo", "Secret", "shop1"), MakeAccount("fresh", "x", "shop3")});
  auto update = AccountCommand(kUiCmdUpdateAccount, "$UPDATE_ACCOUNT$");
  EXPECT_EQ(OnLoop([&] {
              return controller_->console().HandleAccountCommand(update.data(), update.size(), false);
            }),
            0u);
  EXPECT_EQ(AuthenticateFromSession(MakeLogin("fresh", "x", 1), &record), kNoError);
  EXPECT_EQ(AuthenticateFromSession(MakeLogin("other", "pw", 1), &record), kUserNotFound);
}

TEST_F(ControllerTest, AccountChangePauseEndsByItselfAfterTheLastCommand) {
  ASSERT_TRUE(Start());
  auto pause = AccountCommand(kUiCmdUpdateAccount, "demo");
  ASSERT_EQ(OnLoop([&] {
              return controller_->console().HandleAccountCommand(pause.data(), pause.size(), false);
            }),
            0u);
  SyncAccountRecord record;
  ASSERT_EQ(AuthenticateFromSession(MakeLogin("other", "pw", 1), &record), kServerBusy);
  // Timer 0 reloads the accounts five seconds after the last command;
  // until then every login is refused as busy.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  uint32_t result = kServerBusy;
  while (result == kServerBusy && std::chrono::steady_clock::now() < deadline) {
    result = AuthenticateFromSession(MakeLogin("other", "pw", 1), &record);
    if (result == kServerBusy) std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  EXPECT_EQ(result, kNoError);
}

TEST_F(ControllerTest, AuthenticateAfterTheLoopClosedIsBusy) {
  ASSERT_TRUE(Start());
  controller_->RequestClose();
  thread_.join();
  SyncAccountRecord record;
  EXPECT_EQ(AuthenticateFromSession(MakeLogin("demo", "Secret", 1), &record), kServerBusy);
  controller_.reset();
}

TEST_F(ControllerTest, AccountCommandWithoutTextIsRefused) {
  ASSERT_TRUE(Start());
  std::vector<uint8_t> datagram(16, 0);
  UiCommandHeader header{kUiCommandFlag, 0, kUiCmdUpdateAccountDelete, 16};
  std::memcpy(datagram.data(), &header, sizeof(header));
  EXPECT_EQ(OnLoop([&] {
              return controller_->console().HandleAccountCommand(datagram.data(), datagram.size(), true);
            }),
            87u);
  EXPECT_THROW(controller_->console().HandleAccountCommand(datagram.data(), datagram.size(), true), int);
}

TEST_F(ControllerTest, DeletingCommandRemovesThatUsersPositionFilesOfEveryDevice) {
  const std::string folder = ZVSyncConfig::Instance().GetSyncPosDirectory();
  ASSERT_TRUE(CreateDirectoryTree(folder));
  for (const char* name : {"demo-00000001.dat", "Demo-0000000a.dat", "demo-00000002.tem",
                           "other-00000001.dat", "demo2-00000001.dat"}) {
    ::zv::testing::WriteFileBytes(folder + "/" + name, "x");
  }
  ASSERT_TRUE(Start());
  auto command = AccountCommand(kUiCmdUpdateAccountDelete, "demo");
  EXPECT_EQ(OnLoop([&] {
              return controller_->console().HandleAccountCommand(command.data(), command.size(), true);
            }),
            0u);
  std::vector<std::string> left;
  ListFiles(folder, "*", &left, false);
  std::sort(left.begin(), left.end());
  EXPECT_EQ(left, (std::vector<std::string>{"demo2-00000001.dat", "other-00000001.dat"}));
  DeletePath(folder + "/*");
}

TEST_F(ControllerTest, WildcardUserNameDeletesNoPositionFiles) {
  const std::string folder = ZVSyncConfig::Instance().GetSyncPosDirectory();
  ASSERT_TRUE(CreateDirectoryTree(folder));
  ::zv::testing::WriteFileBytes(folder + "/demo-00000001.dat", "x");
  ::zv::testing::WriteFileBytes(folder + "/other-00000001.dat", "x");
  ASSERT_TRUE(Start());
  for (const char* text : {"*", "../config/*", "?emo"}) {
    auto command = AccountCommand(kUiCmdUpdateAccountDelete, text);
    EXPECT_EQ(OnLoop([&] {
                return controller_->console().HandleAccountCommand(command.data(), command.size(), true);
              }),
              0u);
  }
  std::vector<std::string> left;
  EXPECT_EQ(ListFiles(folder, "*", &left, false), 2u);
  EXPECT_TRUE(::zv::testing::FileExists(ZVSyncConfig::Instance().GetAccountFilePath()));
  DeletePath(folder + "/*");
}

TEST_F(ControllerTest, ProcessingLockIsExclusiveAndMayBeReleasedByAnotherThread) {
  ASSERT_TRUE(Start());
  ProcessingLock& lock = controller_->processing_lock();
  ASSERT_TRUE(lock.Acquire(1000, "Processing file"));
  EXPECT_FALSE(lock.Acquire(0, ""));
  EXPECT_FALSE(std::async(std::launch::async, [&] { return lock.Acquire(50, ""); }).get());
  std::async(std::launch::async, [&] { lock.Release(); }).get();
  EXPECT_TRUE(lock.Acquire(0, ""));
  lock.Release();
}

TEST_F(ControllerTest, WaiterGetsTheProcessingLockWhenReleased) {
  ASSERT_TRUE(Start());
  ProcessingLock& lock = controller_->processing_lock();
  ASSERT_TRUE(lock.Acquire(0, ""));
  auto waiter = std::async(std::launch::async, [&] {
    bool got = lock.Acquire(60000, "");
    if (got) lock.Release();
    return got;
  });
  lock.Release();
  EXPECT_TRUE(waiter.get());
}

TEST_F(ControllerTest, CollectStorageNamesSkipsEmptyNames) {
  ASSERT_TRUE(Start());
  std::set<std::string> names;
  std::async(std::launch::async, [&] { controller_->CollectStorageNames(&names); }).get();
  EXPECT_EQ(names, (std::set<std::string>{"shop1", "shop2"}));
  EXPECT_THROW(controller_->CollectStorageNames(nullptr), int);
}

TEST_F(ControllerTest, StatusUpdatesReachTheInteractiveView) {
  controller_ = std::make_unique<CZVSyncSrvDlg>(true);
  StatusModel seen;
  controller_->SetStatusView([&](const StatusModel& model) { seen = model; });
  std::promise<bool> result;
  run_result_ = result.get_future();
  thread_ = std::thread([this, r = std::move(result)]() mutable {
    r.set_value(controller_->RunModal(false));
  });
  ASSERT_TRUE(controller_->RunOnLoop([] {}));
  controller_->SetStatusText("Processing %s", "a.dat");
  controller_->ShowSpeed(12, 34);
  controller_->ShowClientRow("demo-00000001", 0x7F000001, "User %s logged in!", "demo");
  controller_->ShowClientRow("", 0x7F000001, "ignored");
  Stop();
  EXPECT_EQ(seen.pane(1), "Processing a.dat");
  EXPECT_EQ(seen.pane(2), "T:12KB/s F:34KB/s");
  ASSERT_EQ(seen.rows().size(), 1u);
  EXPECT_EQ(seen.rows()[0].address, "127.0.0.1");
  EXPECT_EQ(seen.rows()[0].message, "User demo logged in!");
}

}  // namespace
}  // namespace zv
