// Sessions driven end to end over loopback: a real listening socket, a real
// SyncClient with its worker thread, the appliance client on the other side
// and a fake controller in place of the server's.
#include "protocol/sync_client.h"

#include <arpa/inet.h>
#include <poll.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <array>
#include <chrono>
#include <condition_variable>
#include <cstdarg>
#include <cstring>
#include <filesystem>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "client/appliance_client.h"
#include "config/zv_sync_config.h"
#include "db/processing_lock.h"
#include "log/log_file.h"
#include "log/sync_log.h"
#include "platform/thread_priority.h"
#include "protocol/block.h"
#include "protocol/login_set.h"
#include "protocol/session_host.h"
#include "test_util.h"

namespace zv {
namespace {

using ::zv::testing::ScopedTempDir;

// One home for the whole binary: the configuration and the logs are
// process-wide and fix their folders at first use.
class SessionEnvironment : public ::testing::Environment {
 public:
  void SetUp() override {
    home_ = std::make_unique<ScopedTempDir>();
    setenv("ZENTROVANE_HOME", home_->path().c_str(), 1);
    setenv("ZENTROVANE_REGISTRY", home_->Sub("registry.reg").c_str(), 1);
    setenv("ZENTROVANE_OBJECT_NAMESPACE", ::zv::testing::UniqueName("session").c_str(), 1);
    ZVSyncLog::Instance().SetDirectoryForTesting(home_->Sub("debuglog"));
    CZvLogFile::Instance().SetDirectoryForTesting(home_->Sub("log"));
  }
  void TearDown() override { home_.reset(); }

  static std::string Home() { return std::getenv("ZENTROVANE_HOME"); }

 private:
  std::unique_ptr<ScopedTempDir> home_;
};

[[maybe_unused]] ::testing::Environment* const kEnvironment =
    ::testing::AddGlobalTestEnvironment(new SessionEnvironment);

std::string DebugLog() {
  return ::zv::testing::ReadFolderText(SessionEnvironment::Home() + "/debuglog");
}
std::string OperationLog() {
  return ::zv::testing::ReadFolderText(SessionEnvironment::Home() + "/log");
}

size_t Count(const std::string& haystack, const std::string& needle) {
  size_t n = 0;
  for (size_t at = haystack.find(needle); at != std::string::npos;
       at = haystack.find(needle, at + 1)) {
    ++n;
  }
  return n;
}

// The operation log stores its records in GBK.
std::string Gbk(const std::string& utf8) { return ::zv::testing::Utf8ToGbk(utf8); }

SyncAccountRecord DemoAccount() {
  SyncAccountRecord record;
  std::memset(&record, 0, sizeof(record));
  std::strcpy(record.userName, "demo");
  std::strcpy(record.password, "demo");
  std::strcpy(record.storageName, "shop1");
  static const char* const kKinds[] = {"A", "U", "M", "C", "P", "O",      "F",
                                       "S", "I", "W", "T", "oprlog", "Q", "X"};
  for (int i = 0; i < 14; ++i) {
    std::snprintf(record.logSlots[i].name, sizeof(record.logSlots[i].name),
                  "20101216_0000_00000000_%s.dat", kKinds[i]);
    record.logSlots[i].policyValue = 30 + i;
  }
  return record;
}

// A processing lock that is always free (no file is processed here).
class FreeProcessingLock final : public ProcessingLock {
 public:
  bool Acquire(uint32_t, const std::string&) override { return true; }
  void Release() override {}
};

// The server side as the sessions see it, with switches and records.
class FakeController : public SessionHost {
 public:
  uint32_t Authenticate(const ClientAuthBlock& login, SyncAccountRecord* record) override {
    std::lock_guard<std::mutex> lock(mu_);
    ++auth_calls_;
    last_login_ = login;
    auth_nice_ = ThreadNice();
    if (auth_code_ == kNoError) *record = account_;
    return auth_code_;
  }
  bool CheckDiskSpace(const std::string&) override { return true; }
  ProcessingLock& processing_lock() override { return processing_lock_; }
  bool NotifyConnected(std::unique_ptr<SyncClient>) override { return true; }
  bool NotifyDisconnected(SyncClient* session) override {
    std::lock_guard<std::mutex> lock(mu_);
    disconnected_.push_back(session);
    cv_.notify_all();
    return true;
  }
  void ShowSpeed(uint32_t received_kbps, uint32_t file_kbps) override {
    std::lock_guard<std::mutex> lock(mu_);
    speeds_.emplace_back(received_kbps, file_kbps);
  }
  void ShowClientRow(const std::string& key, uint32_t address, const char* format, ...) override {
    char text[512];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof(text), format, args);
    va_end(args);
    std::lock_guard<std::mutex> lock(mu_);
    rows_.push_back(key + "|" + std::to_string(address) + "|" + text);
    row_nice_ = ThreadNice();
  }
  static int ThreadNice() { return getpriority(PRIO_PROCESS, static_cast<id_t>(gettid())); }
  // The calling session thread's nice value at its admission and at its
  // last status row.
  std::pair<int, int> nices() {
    std::lock_guard<std::mutex> lock(mu_);
    return {auth_nice_, row_nice_};
  }
  bool IsInteractive() const override { return interactive_.load(); }

  void set_interactive(bool on) { interactive_.store(on); }
  std::vector<std::pair<uint32_t, uint32_t>> TakeSpeeds() {
    std::lock_guard<std::mutex> lock(mu_);
    return std::exchange(speeds_, {});
  }

  void SetAuthResult(uint32_t code, const SyncAccountRecord& account) {
    std::lock_guard<std::mutex> lock(mu_);
    auth_code_ = code;
    account_ = account;
  }
  // Waits until the session posted its disconnect.
  bool WaitDisconnected(SyncClient* session) {
    std::unique_lock<std::mutex> lock(mu_);
    return cv_.wait_for(lock, std::chrono::seconds(60), [&] {
      return std::find(disconnected_.begin(), disconnected_.end(), session) != disconnected_.end();
    });
  }
  bool HasDisconnected(SyncClient* session) {
    std::lock_guard<std::mutex> lock(mu_);
    return std::find(disconnected_.begin(), disconnected_.end(), session) != disconnected_.end();
  }
  std::vector<std::string> rows() {
    std::lock_guard<std::mutex> lock(mu_);
    return rows_;
  }
  int auth_calls() {
    std::lock_guard<std::mutex> lock(mu_);
    return auth_calls_;
  }
  ClientAuthBlock last_login() {
    std::lock_guard<std::mutex> lock(mu_);
    return last_login_;
  }

 private:
  FreeProcessingLock processing_lock_;
  std::mutex mu_;
  std::condition_variable cv_;
  uint32_t auth_code_ = kNoError;
  SyncAccountRecord account_{};
  int auth_calls_ = 0;
  int auth_nice_ = 0;
  int row_nice_ = 0;
  ClientAuthBlock last_login_{};
  std::vector<SyncClient*> disconnected_;
  std::vector<std::string> rows_;
  std::vector<std::pair<uint32_t, uint32_t>> speeds_;
  std::atomic<bool> interactive_{false};
};

LoginRequest DemoLogin(uint32_t device_id = 0x00A1B2C3) {
  LoginRequest request;
  request.user = "demo";
  request.password = "demo";
  request.device_id = device_id;
  request.client_value1 = 0x11223344;
  request.client_value2 = 0x55667788;
  request.client_address = {192, 168, 7, 9};
  return request;
}

class SyncClientTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ZVSyncConfig& config = ZVSyncConfig::Instance();
    ASSERT_TRUE(config.store().WriteDword("CompressLevel", 9));
    ASSERT_TRUE(config.store().WriteDword("EnableClientIP", 0));
    ASSERT_TRUE(config.store().WriteDword("EnableSystemInfo", 0));
    controller_.SetAuthResult(kNoError, DemoAccount());
    std::error_code ec;
    std::filesystem::remove_all(config.GetSyncPosDirectory(), ec);

    listener_ = ::zv::testing::ListenOnLoopback(&port_);
    ASSERT_GE(listener_, 0);
    log_before_ = DebugLog();
  }

  void TearDown() override {
    for (auto& session : sessions_) session->Stop();
    sessions_.clear();
    if (listener_ >= 0) ::close(listener_);
    EXPECT_EQ(Count(NewLog(), "Socket not closed!"), 0u);
    EXPECT_EQ(LoginSet::Instance().size(), 0u);
  }

  // Connects client to a new session; the session is owned by the fixture.
  SyncClient* Connect(ApplianceClient* client) {
    client->set_timeout_ms(20000);
    EXPECT_TRUE(client->Connect("127.0.0.1", port_)) << client->last_error();
    sockaddr_in peer{};
    socklen_t length = sizeof(peer);
    int fd = ::accept4(listener_, reinterpret_cast<sockaddr*>(&peer), &length, SOCK_CLOEXEC);
    EXPECT_GE(fd, 0);
    SyncClient* session = NewSession();
    EXPECT_TRUE(session->Start(fd, ntohl(peer.sin_addr.s_addr), ntohs(peer.sin_port)));
    return session;
  }

  // A session with the test's options, owned by the fixture.
  SyncClient* NewSession() {
    sessions_.push_back(std::make_unique<SyncClient>(controller_, options_));
    return sessions_.back().get();
  }

  // Destroys a session of the fixture.
  void Forget(SyncClient* session) {
    sessions_.erase(std::find_if(sessions_.begin(), sessions_.end(),
                                 [session](const auto& owned) { return owned.get() == session; }));
  }

  SyncClient* ConnectAndHandshake(ApplianceClient* client) {
    SyncClient* session = Connect(client);
    EXPECT_TRUE(client->Handshake("test appliance")) << client->last_error();
    return session;
  }

  SyncClient* ConnectAndLogin(ApplianceClient* client, const LoginRequest& request) {
    SyncClient* session = ConnectAndHandshake(client);
    LoginAnswer answer = client->Login(request);
    EXPECT_EQ(answer.kind, LoginAnswer::Kind::kAccepted) << client->last_error();
    return session;
  }

  // Waits for the session's own end, then stops and deletes it as the
  // controller does.
  void Finish(SyncClient* session) {
    ASSERT_TRUE(controller_.WaitDisconnected(session));
    session->Stop();
    Forget(session);
  }

  // Whether the session is still serving: a pending marker is echoed.
  static bool Echoes(ApplianceClient* client) {
    if (!client->SendPendingMarker()) return false;
    ReceivedBlock block;
    return client->ReceiveBlock(&block) == IoStatus::kOk && block.command == kCmdPending &&
           block.size == 16 && block.Value() == kPendingEcho;
  }

  std::string NewLog() const { return DebugLog().substr(log_before_.size()); }

  bool HasRow(const std::string& text) {
    for (const std::string& row : controller_.rows()) {
      if (row.find(text) != std::string::npos) return true;
    }
    return false;
  }

  FakeController controller_;
  SyncClient::Options options_;  // of the sessions made from now on
  int listener_ = -1;
  uint16_t port_ = 0;
  std::vector<std::unique_ptr<SyncClient>> sessions_;
  std::string log_before_;
};

TEST_F(SyncClientTest, VersionExchange) {
  ApplianceClient client;
  SyncClient* session = ConnectAndHandshake(&client);
  EXPECT_EQ(client.server_version(), "Korvane ZVSync Server V3.2 Build Dec 16 2010");
  EXPECT_TRUE(Echoes(&client));
  client.Close();
  Finish(session);
  std::string log = NewLog();
  EXPECT_NE(log.find("Client version:Korvane ZVSync Client V3.2test appliance"), std::string::npos);
  EXPECT_NE(log.find("Client Disconnected!"), std::string::npos);
  EXPECT_NE(log.find("Connect from 127.0.0.1:"), std::string::npos);
  // No session key yet: the closing row goes out with an empty key.
  EXPECT_TRUE(HasRow("|2130706433|Disconnect from 127.0.0.1:"));
}

TEST_F(SyncClientTest, VersionWithSystemInfo) {
  ASSERT_TRUE(ZVSyncConfig::Instance().store().WriteDword("EnableSystemInfo", 1));
  ApplianceClient client;
  SyncClient* session = ConnectAndHandshake(&client);
  const std::string prefix = "Korvane ZVSync Server V3.2 Build Dec 16 2010 ";
  EXPECT_EQ(client.server_version().substr(0, prefix.size()), prefix);
  EXPECT_NE(client.server_version().find("MB Memory"), std::string::npos);
  client.Close();
  Finish(session);
}

TEST_F(SyncClientTest, ClientVersionDifferingInLastCharacterIsRefused) {
  ApplianceClient client;
  SyncClient* session = Connect(&client);
  ASSERT_TRUE(client.ReceiveServerVersion());
  std::array<char, kVersionFieldSize> field = FormatClientVersion("x");
  field[25] = '3';  // "... V3.3"
  ASSERT_TRUE(client.SendRaw(field.data(), field.size()));
  EXPECT_EQ(client.WaitForClose(), IoStatus::kClosed);  // no block in reply
  Finish(session);
  EXPECT_NE(NewLog().find("Client string(Korvane ZVSync Client V3.3) unmatched!"),
            std::string::npos);
  EXPECT_NE(OperationLog().find(Gbk("同步客户端版本不匹配,客户端IP:127.0.0.1")), std::string::npos);
  EXPECT_EQ(controller_.auth_calls(), 0);
}

TEST_F(SyncClientTest, LoginAcceptedWithServerConfiguration) {
  ASSERT_TRUE(ZVSyncConfig::Instance().store().WriteDword("CompressLevel", 12));
  ApplianceClient client;
  SyncClient* session = ConnectAndHandshake(&client);
  ASSERT_TRUE(client.SendLogin(DemoLogin()));
  ReceivedBlock block;
  ASSERT_EQ(client.ReceiveBlock(&block), IoStatus::kOk);
  EXPECT_EQ(block.command, 1u);
  EXPECT_EQ(block.size, 5106u);
  ASSERT_EQ(block.content.size(), 5094u);
  const uint8_t* r = block.content.data();
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(r), 5), std::string("demo\0", 5));
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(r + 0x28), 6), std::string("shop1\0", 6));
  const uint8_t device[] = {0xC3, 0xB2, 0xA1, 0x00};
  const uint8_t value1[] = {0x44, 0x33, 0x22, 0x11};
  const uint8_t value2[] = {0x88, 0x77, 0x66, 0x55};
  const uint8_t login_address[] = {127, 0, 0, 1};  // the peer: client addresses are off
  EXPECT_EQ(0, std::memcmp(r + 0x48, device, 4));
  EXPECT_EQ(0, std::memcmp(r + 0x4C, value1, 4));
  EXPECT_EQ(0, std::memcmp(r + 0x50, value2, 4));
  EXPECT_EQ(0, std::memcmp(r + 0x54, login_address, 4));
  EXPECT_EQ(r[0x75], 1);
  EXPECT_EQ(r[0x7E], 9);  // CompressLevel 12 capped
  EXPECT_EQ(r[0x7F], 0);
  // The position file carries the device in its slot names.
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(r + 0xA6)), "20101216_0000_00A1B2C3_A.dat");

  EXPECT_EQ(session->GetSessionKey(), "demo-00A1B2C3");
  SyncAccountRecord record;
  session->GetRecord(&record);
  EXPECT_EQ(record.deviceId, 0x00A1B2C3u);
  EXPECT_EQ(record.inUse, 1);
  const std::string position = ZVSyncConfig::Instance().GetSyncPosDirectory() + "/demo-00a1b2c3.dat";
  EXPECT_TRUE(::zv::testing::FileExists(position));
  ClientAuthBlock login = controller_.last_login();
  EXPECT_STREQ(login.userName, "demo");
  EXPECT_EQ(login.deviceId, 0x00A1B2C3u);

  EXPECT_TRUE(Echoes(&client));
  ASSERT_TRUE(client.SendTaskFinished());
  EXPECT_TRUE(Echoes(&client));
  client.Close();
  Finish(session);
  EXPECT_TRUE(HasRow("demo-00A1B2C3|2130706433|User demo logged in!"));
  EXPECT_TRUE(HasRow("demo-00A1B2C3|2130706433|Disconnect from 127.0.0.1:"));
  std::string oplog = OperationLog();
  EXPECT_NE(oplog.find(Gbk("用户demo登陆成功,IP地址:127.0.0.1!")), std::string::npos);
  EXPECT_NE(oplog.find(Gbk("同步数据任务已完成!")), std::string::npos);
  EXPECT_NE(NewLog().find("Client connected from 127.0.0.1:"), std::string::npos);
}

// A new session runs ahead of the transferring ones until its login is
// answered, then as they do (where the system lets a thread raise itself).
TEST_F(SyncClientTest, ALoginRunsAheadUntilItIsAnswered) {
  bool may_raise = false;
  std::thread([&may_raise] {
    int before = 0;
    may_raise = RaiseThreadPriority(-5, &before) && FakeController::ThreadNice() <= -5;
  }).join();
  if (!may_raise) GTEST_SKIP() << "this process may not raise a thread's priority";
  const int base = FakeController::ThreadNice();
  ApplianceClient client;
  SyncClient* session = ConnectAndHandshake(&client);
  ASSERT_EQ(client.Login(DemoLogin()).kind, LoginAnswer::Kind::kAccepted);
  client.Close();
  Finish(session);
  EXPECT_EQ(controller_.nices(), std::make_pair(-5, base));
}

TEST_F(SyncClientTest, ClientAddressUsedWhenEnabled) {
  ASSERT_TRUE(ZVSyncConfig::Instance().store().WriteDword("EnableClientIP", 1));
  ApplianceClient client;
  SyncClient* session = ConnectAndHandshake(&client);
  LoginAnswer answer = client.Login(DemoLogin());
  ASSERT_EQ(answer.kind, LoginAnswer::Kind::kAccepted);
  const uint8_t expected[] = {192, 168, 7, 9};
  EXPECT_EQ(0, std::memcmp(answer.block.content.data() + 0x54, expected, 4));
  client.Close();
  Finish(session);
  EXPECT_NE(OperationLog().find(Gbk("认证成功(用户名:demo 认证IP:192.168.7.9)!")),
            std::string::npos);
}

TEST_F(SyncClientTest, ZeroClientAddressFallsBackToPeer) {
  ASSERT_TRUE(ZVSyncConfig::Instance().store().WriteDword("EnableClientIP", 1));
  ApplianceClient client;
  SyncClient* session = ConnectAndHandshake(&client);
  LoginRequest request = DemoLogin();
  request.client_address = {0, 0, 0, 0};
  LoginAnswer answer = client.Login(request);
  ASSERT_EQ(answer.kind, LoginAnswer::Kind::kAccepted);
  const uint8_t expected[] = {127, 0, 0, 1};
  EXPECT_EQ(0, std::memcmp(answer.block.content.data() + 0x54, expected, 4));
  client.Close();
  Finish(session);
  EXPECT_NE(OperationLog().find(Gbk("认证成功(用户名:demo 认证IP:0.0.0.0)!")), std::string::npos);
}

TEST_F(SyncClientTest, RefusalCodesArePassedThrough) {
  for (uint32_t code : {kUserNotFound, kWrongPassword, kServerBusy, kServerDiskFull}) {
    SCOPED_TRACE(code);
    controller_.SetAuthResult(code, DemoAccount());
    ApplianceClient client;
    SyncClient* session = ConnectAndHandshake(&client);
    ASSERT_TRUE(client.SendLogin(DemoLogin()));
    ReceivedBlock block;
    ASSERT_EQ(client.ReceiveBlock(&block), IoStatus::kOk);
    EXPECT_EQ(block.command, 7u);
    EXPECT_EQ(block.size, 16u);
    EXPECT_EQ(block.Value(), code);
    EXPECT_EQ(client.WaitForClose(), IoStatus::kClosed);
    Finish(session);
    EXPECT_TRUE(HasRow(std::string("Server error ") + std::to_string(code) + "(" +
                       ResultCodeName(code) + ")!"));
    EXPECT_NE(NewLog().find(std::string("Reply server error:") + ResultCodeName(code)),
              std::string::npos);
  }
  // An error block suppresses the closing row.
  EXPECT_FALSE(HasRow("Disconnect from"));
}

TEST_F(SyncClientTest, SecondLoginOfSameDeviceIsRefusedInAnyLetterCase) {
  ApplianceClient first;
  SyncClient* first_session = ConnectAndLogin(&first, DemoLogin());
  for (const char* user : {"demo", "DEMO", "Demo"}) {
    SCOPED_TRACE(user);
    ApplianceClient second;
    SyncClient* second_session = ConnectAndHandshake(&second);
    LoginRequest request = DemoLogin();
    request.user = user;
    LoginAnswer answer = second.Login(request);
    EXPECT_EQ(answer.kind, LoginAnswer::Kind::kRefused);
    EXPECT_EQ(answer.code, kMultipleLogin);
    EXPECT_EQ(answer.block.size, 16u);
    EXPECT_EQ(second.WaitForClose(), IoStatus::kClosed);
    Finish(second_session);
  }
  EXPECT_EQ(controller_.auth_calls(), 1);
  EXPECT_TRUE(Echoes(&first));  // the first is unaffected
  EXPECT_TRUE(LoginSet::Instance().Contains("demo-00a1b2c3"));
  first.Close();
  Finish(first_session);
  EXPECT_NE(OperationLog().find(Gbk("用户DEMO(devid:00A1B2C3)重复登陆")), std::string::npos);
  EXPECT_NE(NewLog().find("Multiple login detected!"), std::string::npos);
}

TEST_F(SyncClientTest, SameUserWithTwoDevicesBothLogIn) {
  ApplianceClient a, b;
  SyncClient* session_a = ConnectAndLogin(&a, DemoLogin(0x00000001));
  SyncClient* session_b = ConnectAndLogin(&b, DemoLogin(0xFFFFFFFE));
  EXPECT_EQ(session_a->GetSessionKey(), "demo-00000001");
  EXPECT_EQ(session_b->GetSessionKey(), "demo-FFFFFFFE");
  const std::string folder = ZVSyncConfig::Instance().GetSyncPosDirectory();
  EXPECT_TRUE(::zv::testing::FileExists(folder + "/demo-00000001.dat"));
  EXPECT_TRUE(::zv::testing::FileExists(folder + "/demo-fffffffe.dat"));
  EXPECT_TRUE(a.Ping()) << a.last_error();
  EXPECT_TRUE(b.Ping()) << b.last_error();
  a.Close();
  b.Close();
  Finish(session_a);
  Finish(session_b);
}

TEST_F(SyncClientTest, LoginAgainAfterDisconnectIsAccepted) {
  {
    ApplianceClient client;
    SyncClient* session = ConnectAndLogin(&client, DemoLogin());
    client.Close();
    Finish(session);
  }
  ApplianceClient again;
  SyncClient* session = ConnectAndLogin(&again, DemoLogin());
  EXPECT_NE(NewLog().find("Use existing synpos file!"), std::string::npos);
  again.Close();
  Finish(session);
}

TEST_F(SyncClientTest, UserNameInOtherCaseKeepsItsPositionFile) {
  {
    ApplianceClient client;
    SyncClient* session = ConnectAndLogin(&client, DemoLogin());
    client.Close();
    Finish(session);
  }
  ApplianceClient upper;
  LoginRequest request = DemoLogin();
  request.user = "DeMo";
  SyncClient* session = ConnectAndLogin(&upper, request);
  upper.Close();
  Finish(session);
  std::vector<std::string> names;
  for (const auto& entry :
       std::filesystem::directory_iterator(ZVSyncConfig::Instance().GetSyncPosDirectory())) {
    if (entry.path().extension() == ".dat") names.push_back(entry.path().filename().string());
  }
  EXPECT_EQ(names, std::vector<std::string>{"demo-00a1b2c3.dat"});
}

TEST_F(SyncClientTest, SecondLoginBlockInOneSessionIsRefused) {
  ApplianceClient client;
  SyncClient* session = ConnectAndLogin(&client, DemoLogin(1));
  LoginAnswer answer = client.Login(DemoLogin(2));
  EXPECT_EQ(answer.kind, LoginAnswer::Kind::kRefused);
  EXPECT_EQ(answer.code, kMultipleLogin);
  Finish(session);
  // Neither key is left behind: both devices can log in again.
  EXPECT_EQ(LoginSet::Instance().size(), 0u);
  ApplianceClient again;
  SyncClient* again_session = ConnectAndLogin(&again, DemoLogin(2));
  again.Close();
  Finish(again_session);
}

TEST_F(SyncClientTest, UnsafeUserNameNeverReachesThePositionFolder) {
  for (const char* user : {"../../evil", "a/b", "a\\b", "..", "tab\tname", ""}) {
    SCOPED_TRACE(user);
    ApplianceClient client;
    SyncClient* session = ConnectAndHandshake(&client);
    LoginRequest request = DemoLogin();
    request.user = user;
    LoginAnswer answer = client.Login(request);
    EXPECT_EQ(answer.kind, LoginAnswer::Kind::kRefused);
    EXPECT_EQ(answer.code, kUserNotFound);
    Finish(session);
  }
  EXPECT_EQ(controller_.auth_calls(), 0);
  EXPECT_FALSE(::zv::testing::FileExists(SessionEnvironment::Home() + "/evil-00a1b2c3.dat"));
  EXPECT_FALSE(::zv::testing::FileExists(ZVSyncConfig::Instance().GetSyncPosDirectory()));
}

TEST_F(SyncClientTest, PositionFileTroubleEndsWithoutReply) {
  SyncAccountRecord broken = DemoAccount();
  std::strcpy(broken.logSlots[3].name, "not a table name");
  controller_.SetAuthResult(kNoError, broken);
  ApplianceClient client;
  SyncClient* session = ConnectAndHandshake(&client);
  ASSERT_TRUE(client.SendLogin(DemoLogin()));
  EXPECT_EQ(client.WaitForClose(), IoStatus::kClosed);
  Finish(session);
  EXPECT_NE(NewLog().find("LoadSyncPosition from "), std::string::npos);
  EXPECT_TRUE(HasRow("demo-00A1B2C3|2130706433|Disconnect from"));
  EXPECT_FALSE(HasRow("logged in"));
}

TEST_F(SyncClientTest, ShortLoginEndsWithoutReply) {
  ApplianceClient client;
  SyncClient* session = ConnectAndHandshake(&client);
  ClientAuthBlock content = BuildLoginContent(DemoLogin());
  ASSERT_TRUE(client.SendBlock(kCmdLogin, &content, 55));
  EXPECT_EQ(client.WaitForClose(), IoStatus::kClosed);
  Finish(session);
  EXPECT_EQ(controller_.auth_calls(), 0);
  EXPECT_NE(NewLog().find("buffer content size(55) is less than sizeof ClientAuthBlock"),
            std::string::npos);
}

TEST_F(SyncClientTest, LongestBlockIsAcceptedAndOneMoreEndsTheSession) {
  ApplianceClient client;
  SyncClient* session = ConnectAndHandshake(&client);
  std::vector<uint8_t> content(kMaxBlockSize - 12, 0x5A);
  ASSERT_TRUE(client.SendBlock(99, content.data(), content.size()));
  EXPECT_TRUE(Echoes(&client));
  ASSERT_TRUE(client.SendBlockDeclaring(kMaxBlockSize + 1, 99, nullptr, 0));
  EXPECT_EQ(client.WaitForClose(), IoStatus::kClosed);
  Finish(session);
  std::string log = NewLog();
  EXPECT_EQ(Count(log, "Unknown cmd=99"), 1u);
  EXPECT_NE(log.find("m_buffer->size==4195329"), std::string::npos);
}

TEST_F(SyncClientTest, HeaderOnlyBlocksAreDispatchedWithEmptyContent) {
  ApplianceClient client;
  SyncClient* session = ConnectAndLogin(&client, DemoLogin());
  ASSERT_TRUE(client.SendBlock(77, nullptr, 0));                   // unknown command
  ASSERT_TRUE(client.SendBlockDeclaring(5, 78, nullptr, 0));       // size below 12
  ASSERT_TRUE(client.SendBlock(kCmdTaskFinished, nullptr, 0));     // no content needed
  EXPECT_TRUE(Echoes(&client));
  ASSERT_TRUE(client.SendBlock(kCmdPending, nullptr, 0));          // needs 4 bytes
  EXPECT_EQ(client.WaitForClose(), IoStatus::kClosed);
  Finish(session);
  std::string log = NewLog();
  EXPECT_NE(log.find("Unknown cmd=77"), std::string::npos);
  EXPECT_NE(log.find("Unknown cmd=78"), std::string::npos);
  EXPECT_NE(log.find("buffer content size(0) is less than sizeof ServerPendingBlock"),
            std::string::npos);
}

TEST_F(SyncClientTest, PendingMarkerEchoOnlyForJjjj) {
  ApplianceClient client;
  SyncClient* session = ConnectAndLogin(&client, DemoLogin());
  ASSERT_TRUE(client.SendPendingMarker(0x12345678));  // ignored, no reply
  ASSERT_TRUE(client.SendPendingMarker(kPendingEcho));
  ReceivedBlock block;
  ASSERT_EQ(client.ReceiveBlock(&block), IoStatus::kOk);
  EXPECT_EQ(block.command, 3u);
  EXPECT_EQ(block.size, 16u);
  EXPECT_EQ(block.Value(), 0x6A6A6A6Au);
  client.Close();
  Finish(session);
  EXPECT_EQ(Count(NewLog(), "Reply jjjj!"), 1u);
}

TEST_F(SyncClientTest, ClientErrorEndsTheSessionAndIsShown) {
  ApplianceClient client;
  SyncClient* session = ConnectAndLogin(&client, DemoLogin());
  ASSERT_TRUE(client.SendClientError(42, "disk on fire"));
  EXPECT_EQ(client.WaitForClose(), IoStatus::kClosed);
  Finish(session);
  EXPECT_NE(NewLog().find("Client Error size:29 errcode:42 err:disk on fire"), std::string::npos);
  EXPECT_TRUE(HasRow("Client error code:42 msg:disk on fire!"));
  EXPECT_FALSE(HasRow("Disconnect from"));
}

TEST_F(SyncClientTest, ClientErrorWithCodeOnlyKeepsTheCode) {
  ApplianceClient client;
  SyncClient* session = ConnectAndLogin(&client, DemoLogin());
  uint8_t code[4];
  StoreLe32(code, 0x01000002);
  ASSERT_TRUE(client.SendBlock(kCmdClientError, code, sizeof(code)));
  EXPECT_EQ(client.WaitForClose(), IoStatus::kClosed);
  Finish(session);
  EXPECT_NE(NewLog().find("Client Error size:16 errcode:16777218 err:\n"), std::string::npos);
}

TEST_F(SyncClientTest, TransferBlocksBeforeLoginAreUnauthenticated) {
  ClientFileInfoBlock info{};
  std::strcpy(info.fileName, "20101216_0000_00A1B2C3_A.dat");
  info.fileSize = 100;
  ApplianceClient client;
  SyncClient* session = ConnectAndHandshake(&client);
  ASSERT_TRUE(client.SendBlock(kCmdFileInfo, &info, sizeof(info)));
  ReceivedBlock block;
  ASSERT_EQ(client.ReceiveBlock(&block), IoStatus::kOk);
  EXPECT_EQ(block.command, 7u);
  EXPECT_EQ(block.Value(), kUnauthenticated);
  Finish(session);
}

TEST_F(SyncClientTest, TaskFinishedBeforeLoginIsUnauthenticated) {
  const std::string record = Gbk("同步数据任务已完成!");
  const size_t records_before = Count(OperationLog(), record);
  ApplianceClient client;
  SyncClient* session = ConnectAndHandshake(&client);
  ASSERT_TRUE(client.SendTaskFinished());
  ReceivedBlock block;
  ASSERT_EQ(client.ReceiveBlock(&block), IoStatus::kOk);
  EXPECT_EQ(block.command, 7u);
  EXPECT_EQ(block.Value(), kUnauthenticated);
  EXPECT_EQ(client.WaitForClose(), IoStatus::kClosed);
  Finish(session);
  EXPECT_EQ(Count(OperationLog(), record), records_before);
  EXPECT_EQ(controller_.auth_calls(), 0);
}

TEST_F(SyncClientTest, StopEndsASessionBlockedInReceive) {
  // Time-outs far beyond the test's own limit: only the cancel can end it.
  options_.timeouts = SyncClient::TimeOuts{3600000, 3600000, 3600000};
  ApplianceClient client;
  SyncClient* session = ConnectAndLogin(&client, DemoLogin());
  session->Stop();
  EXPECT_TRUE(controller_.HasDisconnected(session));
  EXPECT_EQ(client.WaitForClose(), IoStatus::kClosed);
  session->Stop();  // idempotent
  Forget(session);
  std::string log = NewLog();
  EXPECT_EQ(log.find("Receive timeout"), std::string::npos);
  EXPECT_EQ(log.find("Receive block failed!"), std::string::npos);
  EXPECT_NE(log.find("Disconnect from 127.0.0.1:"), std::string::npos);
}

TEST_F(SyncClientTest, StopBeforeHandshakeEndsTheSession) {
  options_.timeouts = SyncClient::TimeOuts{3600000, 3600000, 3600000};
  ApplianceClient client;
  SyncClient* session = Connect(&client);
  ASSERT_TRUE(client.ReceiveServerVersion());
  session->Stop();
  EXPECT_TRUE(controller_.HasDisconnected(session));
  EXPECT_EQ(client.WaitForClose(), IoStatus::kClosed);
}

TEST_F(SyncClientTest, SilentClientTimesOutAfterLogin) {
  options_.timeouts = SyncClient::TimeOuts{5000, 150, 3600000};
  ApplianceClient client;
  SyncClient* session = ConnectAndLogin(&client, DemoLogin());
  EXPECT_EQ(client.WaitForClose(), IoStatus::kClosed);
  Finish(session);
  std::string log = NewLog();
  EXPECT_NE(log.find("Client Timeout!"), std::string::npos);
  EXPECT_NE(log.find("Receive timeout,timeout=150"), std::string::npos);
  EXPECT_NE(log.find("Receive block failed!"), std::string::npos);
  EXPECT_NE(OperationLog().find(Gbk("数据传输错误,错误原因:数据接收超时(10004)")),
            std::string::npos);
}

TEST_F(SyncClientTest, ConnectionResetIsReportedWithTheSystemText) {
  ApplianceClient client;
  SyncClient* session = ConnectAndLogin(&client, DemoLogin());
  client.Abort();
  Finish(session);
  std::string log = NewLog();
  EXPECT_NE(log.find("Receive error!ret=-1,errno=104"), std::string::npos);
  EXPECT_NE(log.find("Receive block failed!"), std::string::npos);
  EXPECT_NE(OperationLog().find(Gbk("数据传输错误,错误原因:Connection reset by peer")),
            std::string::npos);
}

TEST_F(SyncClientTest, BeforeLoginTheShortTimeOutApplies) {
  options_.timeouts = SyncClient::TimeOuts{5000, 3600000, 150};
  ApplianceClient client;
  SyncClient* session = ConnectAndHandshake(&client);
  EXPECT_EQ(client.WaitForClose(), IoStatus::kClosed);
  Finish(session);
  EXPECT_NE(NewLog().find("Receive timeout,timeout=150"), std::string::npos);
}

TEST_F(SyncClientTest, TimeOutBeforeHandshakeIsNotReported) {
  options_.timeouts = SyncClient::TimeOuts{5000, 3600000, 150};
  ApplianceClient client;
  SyncClient* session = Connect(&client);
  ASSERT_TRUE(client.ReceiveServerVersion());
  EXPECT_EQ(client.WaitForClose(), IoStatus::kClosed);
  Finish(session);
  std::string log = NewLog();
  EXPECT_NE(log.find("Client Timeout!"), std::string::npos);
  EXPECT_EQ(log.find("Receive timeout"), std::string::npos);
  EXPECT_NE(log.find("Receive header error!"), std::string::npos);
}

// A peer that sends one byte at a time, each well within the time-out,
// is cut once the time-out has passed for the whole version text, block
// header or rest of a block, as a silent peer is: a time-out bounds a
// receipt, not each system call.
TEST_F(SyncClientTest, TricklingPeerIsCutWithinTheTimeOut) {
  constexpr uint32_t kTimeOutMs = 1000;
  options_.timeouts = SyncClient::TimeOuts{5000, kTimeOutMs, kTimeOutMs};
  const std::array<char, kVersionFieldSize> version = FormatClientVersion("slow appliance");
  std::vector<uint8_t> header = BuildValueBlock(kCmdPending, kPendingEcho);
  MaskBlock(header.data(), header.size());
  const std::vector<uint8_t> payload(64, 0x5A);
  std::vector<uint8_t> block = BuildBlock(99, payload.data(), payload.size());
  MaskBlock(block.data(), block.size());
  struct Case {
    const char* what;
    bool log_in;
    std::vector<uint8_t> at_once;  // sent whole first
    std::vector<uint8_t> trickled;
    std::chrono::milliseconds gap;  // between two trickled bytes
  };
  const Case cases[] = {
      {"version text", false, {}, std::vector<uint8_t>(version.begin(), version.end()),
       std::chrono::milliseconds(100)},
      {"block header", true, {}, header, std::chrono::milliseconds(300)},
      {"rest of a block", true,
       std::vector<uint8_t>(block.begin(), block.begin() + kBlockHeaderSize),
       std::vector<uint8_t>(block.begin() + kBlockHeaderSize, block.end()),
       std::chrono::milliseconds(100)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    ApplianceClient client;
    SyncClient* session =
        c.log_in ? ConnectAndLogin(&client, DemoLogin()) : Connect(&client);
    if (!c.log_in) {
      ASSERT_TRUE(client.ReceiveServerVersion());
    }
    if (!c.at_once.empty()) {
      ASSERT_TRUE(client.SendRaw(c.at_once.data(), c.at_once.size()));
    }
    // Sent byte by byte until a send fails: the session has closed.
    const auto start = std::chrono::steady_clock::now();
    size_t sent = 0;
    while (sent < c.trickled.size() && client.SendRaw(&c.trickled[sent], 1)) {
      ++sent;
      std::this_thread::sleep_for(c.gap);
    }
    const auto elapsed = std::chrono::steady_clock::now() - start;
    EXPECT_LT(sent, c.trickled.size()) << "the whole text or block got through";
    // The time-out, the two sends it takes to see the close, and a little.
    EXPECT_LT(elapsed, std::chrono::milliseconds(kTimeOutMs) + 3 * c.gap + std::chrono::seconds(1));
    Finish(session);
    EXPECT_NE(NewLog().find("Client Timeout!"), std::string::npos);
  }
  EXPECT_NE(NewLog().find("Receive timeout,timeout=1000"), std::string::npos);
}

TEST_F(SyncClientTest, SecondStartIsAProgrammingError) {
  ApplianceClient client;
  SyncClient* session = Connect(&client);
  int spare = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  EXPECT_THROW(session->Start(spare, 0, 0), int);
  ::close(spare);
  client.Close();
  Finish(session);
}

// The zvclient tool against a session: its words and its exit code.
class ZvclientToolTest : public SyncClientTest {
 protected:
  struct Run {
    int exit_code = -1;
    std::string out;
  };

  Run RunLogin(std::vector<std::string> extra) {
    std::vector<std::string> args = {::zv::testing::ProgramDirectory() + "/zvclient", "login",
                                     "--host", "127.0.0.1", "--port", std::to_string(port_),
                                     "--timeout", "20000"};
    args.insert(args.end(), extra.begin(), extra.end());
    ::zv::testing::ProgramRun program(std::move(args));

    Run run;
    pollfd ready{listener_, POLLIN, 0};
    if (::poll(&ready, 1, 20000) == 1) {
      sockaddr_in peer{};
      socklen_t length = sizeof(peer);
      int fd = ::accept4(listener_, reinterpret_cast<sockaddr*>(&peer), &length, SOCK_CLOEXEC);
      SyncClient* session = NewSession();
      EXPECT_TRUE(session->Start(fd, ntohl(peer.sin_addr.s_addr), ntohs(peer.sin_port)));
    }
    run.exit_code = program.Finish(&run.out);
    return run;
  }
};

TEST_F(ZvclientToolTest, AcceptedLoginInPlainWords) {
  Run run = RunLogin({"--user", "demo", "--password", "demo", "--device", "a1b2c3",
                      "--client-ip", "10.0.0.5"});
  EXPECT_EQ(run.exit_code, 0);
  EXPECT_EQ(run.out,
            "login accepted: user demo, device 00A1B2C3, storage shop1, compression level 9\n");
  ClientAuthBlock login = controller_.last_login();
  EXPECT_EQ(login.deviceId, 0x00A1B2C3u);
  const uint8_t address[] = {10, 0, 0, 5};
  EXPECT_EQ(0, std::memcmp(login.clientAddress, address, 4));
  Finish(sessions_.back().get());
}

TEST_F(ZvclientToolTest, RefusedLoginInPlainWords) {
  controller_.SetAuthResult(kWrongPassword, DemoAccount());
  Run run = RunLogin({"--user", "demo", "--password", "nope", "--device", "1"});
  EXPECT_NE(run.exit_code, 0);
  EXPECT_EQ(run.out, "login refused: 2 WrongPassword\n");
  Finish(sessions_.back().get());
}

TEST_F(SyncClientTest, ConcurrentLoginsOfOneDeviceAdmitExactlyOne) {
  constexpr int kClients = 8;
  std::vector<std::unique_ptr<ApplianceClient>> clients;
  std::vector<SyncClient*> sessions;
  for (int i = 0; i < kClients; ++i) {
    clients.push_back(std::make_unique<ApplianceClient>());
    sessions.push_back(ConnectAndHandshake(clients.back().get()));
  }
  // All logins are on the wire before any answer is read.
  for (int i = 0; i < kClients; ++i) {
    LoginRequest request = DemoLogin();
    request.user = i % 2 ? "DEMO" : "demo";
    ASSERT_TRUE(clients[i]->SendLogin(request));
  }
  int accepted = 0, refused = 0;
  for (int i = 0; i < kClients; ++i) {
    LoginAnswer answer = clients[i]->ReadLoginAnswer();
    if (answer.kind == LoginAnswer::Kind::kAccepted) ++accepted;
    if (answer.kind == LoginAnswer::Kind::kRefused && answer.code == kMultipleLogin) ++refused;
  }
  EXPECT_EQ(accepted, 1);
  EXPECT_EQ(refused, kClients - 1);
  EXPECT_EQ(controller_.auth_calls(), 1);
  for (int i = 0; i < kClients; ++i) clients[i]->Close();
  for (SyncClient* session : sessions) Finish(session);
}

TEST_F(SyncClientTest, PeerThatStopsReadingTimesOutTheSend) {
  options_.timeouts = SyncClient::TimeOuts{100, 3600000, 3600000};
  ApplianceClient client;
  client.set_timeout_ms(20000);
  client.set_receive_buffer_bytes(1024);
  ASSERT_TRUE(client.Connect("127.0.0.1", port_));
  int fd = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
  ASSERT_GE(fd, 0);
  int small = 4096;
  ASSERT_EQ(0, ::setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &small, sizeof(small)));
  SyncClient* session = NewSession();
  ASSERT_TRUE(session->Start(fd, 0x7F000001, 1));
  ASSERT_TRUE(client.Handshake());
  ASSERT_EQ(client.Login(DemoLogin()).kind, LoginAnswer::Kind::kAccepted);
  // Echo requests by the thousand, and never a read: the echoes fill the
  // buffers until the session's send can no longer proceed.
  std::vector<uint8_t> markers;
  std::vector<uint8_t> one = BuildValueBlock(kCmdPending, kPendingEcho);
  MaskBlock(one.data(), one.size());
  for (int i = 0; i < 20000; ++i) markers.insert(markers.end(), one.begin(), one.end());
  const uint32_t level = ZVSyncLog::Instance().GetLevel();
  ZVSyncLog::Instance().SetLevel(level & ~kLogProgress);  // not a line per echo
  (void)client.SendRaw(markers.data(), markers.size());  // fails once the session closes
  Finish(session);
  ZVSyncLog::Instance().SetLevel(level);
  EXPECT_NE(NewLog().find("Send timeout,timeout=100"), std::string::npos);
  EXPECT_NE(OperationLog().find(Gbk("数据传输错误,错误原因:数据发送超时(10004)")),
            std::string::npos);
}

std::atomic<uint32_t> g_fake_tick{0};
uint32_t FakeTick() { return g_fake_tick.load(); }

TEST_F(SyncClientTest, TransferSpeedReportedOncePerSecondWhenInteractive) {
  // Each run starts far beyond the last one's clock, so an earlier report
  // never lies in this run's future.
  static uint32_t base = 1000000;
  base += 1000000;
  g_fake_tick.store(base);
  SyncClient::SetTickSourceForTesting(&FakeTick);
  controller_.set_interactive(true);
  ApplianceClient client;
  SyncClient* session = ConnectAndLogin(&client, DemoLogin());
  g_fake_tick.store(base + 5000);
  EXPECT_TRUE(Echoes(&client));  // its header closes the interval begun above
  controller_.TakeSpeeds();

  // Still at base + 5000: counted, not reported.
  std::vector<uint8_t> content(1024000, 1);
  ASSERT_TRUE(client.SendBlock(99, content.data(), content.size()));
  SyncClient::AddDecodedBytes(4096000);
  EXPECT_TRUE(Echoes(&client));
  EXPECT_TRUE(controller_.TakeSpeeds().empty());

  g_fake_tick.store(base + 7000);
  EXPECT_TRUE(Echoes(&client));
  // Received since the last report: 4 (marker content) + 12 + 1024000
  // (block) + 12 + 4 (marker) + 12 (this header) = 1024044 bytes in 2000 ms.
  std::vector<std::pair<uint32_t, uint32_t>> speeds = controller_.TakeSpeeds();
  ASSERT_EQ(speeds.size(), 1u);
  EXPECT_EQ(speeds[0].first, 1024044ull * 1000 / 1024 / 2000);
  EXPECT_EQ(speeds[0].second, 4096000ull * 1000 / 1024 / 2000);

  controller_.set_interactive(false);
  g_fake_tick.store(base + 9000);
  EXPECT_TRUE(Echoes(&client));
  EXPECT_TRUE(controller_.TakeSpeeds().empty());
  SyncClient::SetTickSourceForTesting(nullptr);
  client.Close();
  Finish(session);
}

TEST_F(SyncClientTest, DestroyingANeverStartedSessionIsQuiet) {
  std::make_unique<SyncClient>(controller_).reset();
  SyncClient stopped(controller_);
  stopped.Stop();
}

}  // namespace
}  // namespace zv
