// File transfer through a real session over loopback: announcements, data
// blocks of every method, file ends, the processing lock shared by two
// sessions and the pending blocks, with a fake controller.
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdarg>
#include <cstring>
#include <filesystem>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "client/appliance_client.h"
#include "client/block_encoder.h"
#include "config/zv_sync_config.h"
#include "db/processing_lock.h"
#include "log/log_file.h"
#include "log/sync_log.h"
#include "protocol/block.h"
#include "protocol/decode_pool.h"
#include "protocol/login_set.h"
#include "protocol/session_host.h"
#include "protocol/sync_client.h"
#include "records/account_file.h"
#include "test_util.h"
#include "util/crc.h"

namespace zv {
namespace {

using ::zv::testing::ScopedTempDir;

class TransferEnvironment : public ::testing::Environment {
 public:
  void SetUp() override {
    root_ = std::make_unique<ScopedTempDir>();
    std::filesystem::create_directories(root_->Sub("home/config"));
    setenv("ZENTROVANE_HOME", root_->Sub("home").c_str(), 1);
    setenv("ZENTROVANE_REGISTRY", root_->Sub("home/config/registry.reg").c_str(), 1);
    setenv("ZENTROVANE_OBJECT_NAMESPACE", ::zv::testing::UniqueName("transfer").c_str(), 1);
    ::zv::testing::WriteFileBytes(root_->Sub("mysql_path.ini"),
                                  "[mysql]\r\npath=" + root_->Sub("mysql") + "\r\n");
    ZVSyncLog::Instance().SetDirectoryForTesting(root_->Sub("home/debuglog"));
    CZvLogFile::Instance().SetDirectoryForTesting(root_->Sub("home/log"));
    ASSERT_TRUE(ZVSyncConfig::Instance().LoadMysqlPath());
  }
  void TearDown() override { root_.reset(); }

  static std::string Root() {
    return std::filesystem::path(std::getenv("ZENTROVANE_HOME")).parent_path();
  }
  static std::string DataDirectory() { return ZVSyncConfig::Instance().GetMysqlDataPath(); }

 private:
  std::unique_ptr<ScopedTempDir> root_;
};

[[maybe_unused]] ::testing::Environment* const kEnvironment =
    ::testing::AddGlobalTestEnvironment(new TransferEnvironment);

std::string DebugLog() {
  return ::zv::testing::ReadFolderText(std::string(std::getenv("ZENTROVANE_HOME")) + "/debuglog");
}

SyncAccountRecord DemoAccount() {
  SyncAccountRecord record;
  std::memset(&record, 0, sizeof(record));
  std::strcpy(record.userName, "demo");
  std::strcpy(record.password, "demo");
  std::strcpy(record.storageName, "shop1");
  static const char* const kKinds[] = {"A", "U", "M", "C", "P",      "O", "F",
                                       "S", "I", "W", "T", "oprlog", "Q", "X"};
  for (int i = 0; i < 14; ++i) {
    std::snprintf(record.logSlots[i].name, sizeof(record.logSlots[i].name),
                  "20101216_0000_00000000_%s.dat", kKinds[i]);
  }
  return record;
}

// The controller as sessions see it; its processing lock is a real timed
// mutex, and it records who held it when.
class FakeController : public SessionHost {
 public:
  uint32_t Authenticate(const ClientAuthBlock&, SyncAccountRecord* record) override {
    *record = DemoAccount();
    return kNoError;
  }
  bool CheckDiskSpace(const std::string&) override { return true; }
  ProcessingLock& processing_lock() override { return lock_; }
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
  std::vector<std::pair<uint32_t, uint32_t>> TakeSpeeds() {
    std::lock_guard<std::mutex> lock(mu_);
    return std::exchange(speeds_, {});
  }
  void ShowClientRow(const std::string&, uint32_t, const char* format, ...) override {
    char text[512];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof(text), format, args);
    va_end(args);
    std::lock_guard<std::mutex> lock(mu_);
    rows_.push_back(text);
  }
  bool IsInteractive() const override { return true; }

  bool WaitDisconnected(SyncClient* session) {
    std::unique_lock<std::mutex> lock(mu_);
    return cv_.wait_for(lock, std::chrono::seconds(60), [&] {
      return std::find(disconnected_.begin(), disconnected_.end(), session) != disconnected_.end();
    });
  }
  bool WaitHolding(bool holding) {
    std::unique_lock<std::mutex> lock(mu_);
    return cv_.wait_for(lock, std::chrono::seconds(60), [&] { return holding_ == holding; });
  }
  std::vector<std::string> events() {
    std::lock_guard<std::mutex> lock(mu_);
    return events_;
  }
  std::vector<std::string> rows() {
    std::lock_guard<std::mutex> lock(mu_);
    return rows_;
  }
  int failed_attempts() {
    std::lock_guard<std::mutex> lock(mu_);
    return failed_attempts_;
  }

 private:
  // The processing lock the sessions take: the controller's own timed mutex.
  class Lock final : public ProcessingLock {
   public:
    explicit Lock(FakeController* owner) : owner_(owner) {}
    bool Acquire(uint32_t timeout_ms, const std::string& activity) override {
      return owner_->Acquire(timeout_ms, activity);
    }
    void Release() override { owner_->Release(); }

   private:
    FakeController* const owner_;
  };

  bool Acquire(uint32_t timeout_ms, const std::string& activity) {
    if (!processing_.try_lock_for(std::chrono::milliseconds(timeout_ms))) {
      std::lock_guard<std::mutex> lock(mu_);
      ++failed_attempts_;
      return false;
    }
    std::lock_guard<std::mutex> lock(mu_);
    events_.push_back("acquire " + activity);
    holding_ = true;
    cv_.notify_all();
    return true;
  }
  void Release() {
    {
      std::lock_guard<std::mutex> lock(mu_);
      events_.push_back("release");
      holding_ = false;
      cv_.notify_all();
    }
    processing_.unlock();
  }

  Lock lock_{this};
  std::timed_mutex processing_;
  std::mutex mu_;
  std::condition_variable cv_;
  bool holding_ = false;
  int failed_attempts_ = 0;
  std::vector<SyncClient*> disconnected_;
  std::vector<std::string> events_;
  std::vector<std::string> rows_;
  std::vector<std::pair<uint32_t, uint32_t>> speeds_;
};

// A gate the processing of TestDataFile waits at, calling KeepGoing as a
// real file's processing does while its importer runs.
struct ProcessGate {
  std::mutex mu;
  std::condition_variable cv;
  int open_count = 0;  // processings allowed to finish
  bool result = true;
  int started = 0;
  void Open() {
    std::lock_guard<std::mutex> lock(mu);
    ++open_count;
    cv.notify_all();
  }
};
ProcessGate* g_gate = nullptr;
std::string* g_test_folder = nullptr;

// A data file stored in the test's folder whose processing waits at the
// gate (or finishes at once without one).
class TestDataFile final : public SyncDataFile {
 public:
  using SyncDataFile::SyncDataFile;
  std::string GetFilePath(const std::string& name) override { return *g_test_folder + "/" + name; }
  bool ProcessFile() override {
    if (g_gate == nullptr) return true;
    std::unique_lock<std::mutex> lock(g_gate->mu);
    ++g_gate->started;
    unsigned n = 0;
    while (g_gate->open_count == 0) {
      // The rhythm of a processing that waits for a child process.
      g_gate->cv.wait_for(lock, std::chrono::milliseconds(10));
      lock.unlock();
      bool go_on = KeepGoing(++n);
      lock.lock();
      if (!go_on) return false;
    }
    --g_gate->open_count;
    return g_gate->result;
  }
};

std::unique_ptr<SyncDataFile> MakeTestDataFile(FileType, CZvAccountFile* position_file) {
  return std::make_unique<TestDataFile>(position_file);
}

std::vector<uint8_t> Pattern(size_t size, uint32_t seed) {
  std::vector<uint8_t> data(size);
  std::mt19937 random(seed);
  // Text-like bytes so that the compressors have something to do.
  for (size_t i = 0; i < size; ++i) data[i] = static_cast<uint8_t>('a' + random() % 8);
  return data;
}

uint32_t Crc(const std::vector<uint8_t>& data) { return CCrc().Compute(data.data(), data.size()); }

constexpr char kLogName[] = "20101216_1530_00A1B2C3_A.dat";

class TransferTest : public ::testing::Test {
 protected:
  void SetUp() override {
    options_ = SyncClient::Options();
    options_.timeouts.processing_attempt_ms = 100;
    options_.timeouts.pending_interval_ms = 100;
    std::error_code ec;
    std::filesystem::remove_all(ZVSyncConfig::Instance().GetSyncPosDirectory(), ec);
    std::filesystem::remove_all(TransferEnvironment::DataDirectory(), ec);
    folder_ = std::make_unique<ScopedTempDir>();
    test_folder_ = folder_->path();
    g_test_folder = &test_folder_;
    g_gate = nullptr;

    listener_ = ::zv::testing::ListenOnLoopback(&port_);
    ASSERT_GE(listener_, 0);
    log_before_ = DebugLog().size();
  }

  void TearDown() override {
    if (g_gate != nullptr) {
      // Let every processing still waiting finish.
      for (int i = 0; i < 8; ++i) g_gate->Open();
    }
    for (auto& session : sessions_) session->Stop();
    sessions_.clear();
    ::close(listener_);
    g_gate = nullptr;
    SyncClient::SetTickSourceForTesting(nullptr);
    EXPECT_EQ(LoginSet::Instance().size(), 0u);
  }

  SyncClient* ConnectAndLogin(ApplianceClient* client, uint32_t device = 0x00A1B2C3) {
    client->set_timeout_ms(20000);
    EXPECT_TRUE(client->Connect("127.0.0.1", port_)) << client->last_error();
    int fd = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
    EXPECT_GE(fd, 0);
    SyncClient* session = NewSession();
    EXPECT_TRUE(session->Start(fd, 0x7F000001, 1));
    EXPECT_TRUE(client->Handshake("transfer test"));
    LoginRequest request;
    request.user = "demo";
    request.password = "demo";
    request.device_id = device;
    LoginAnswer answer = client->Login(request);
    EXPECT_EQ(answer.kind, LoginAnswer::Kind::kAccepted) << client->last_error();
    return session;
  }

  // A session with the test's options, owned by the fixture.
  SyncClient* NewSession() {
    sessions_.push_back(std::make_unique<SyncClient>(controller_, options_));
    return sessions_.back().get();
  }

  // Waits for the session's own end, then stops and destroys it as the
  // server does.
  void Finish(SyncClient* session) {
    ASSERT_TRUE(controller_.WaitDisconnected(session));
    session->Stop();
    sessions_.erase(std::find_if(sessions_.begin(), sessions_.end(),
                                 [session](const auto& owned) { return owned.get() == session; }));
  }

  // Reads the next block: the error code of an error block, or ~0u.
  static uint32_t ErrorCode(ApplianceClient* client) {
    ReceivedBlock block;
    if (client->ReceiveBlock(&block) != IoStatus::kOk || block.command != kCmdError) return ~0u;
    return block.Value();
  }

  // Announces kLogName of size and expects the file request.
  static void Announce(ApplianceClient* client, uint32_t size, const std::string& name = kLogName) {
    ASSERT_TRUE(client->SendFileInfo(name, 0, size, 0));
    uint32_t code = 0;
    ASSERT_TRUE(client->ReadFileRequest(&code)) << code << " " << client->last_error();
  }

  std::string NewLog() const { return DebugLog().substr(log_before_); }
  std::string StoredPath(const std::string& name = kLogName) const {
    return TransferEnvironment::DataDirectory() + "/shop1/logtable/20101216/" + name;
  }

  // The position record saved for the demo device.
  SyncAccountRecord SavedPosition() {
    CZvAccountFile file;
    file.SetPath(ZVSyncConfig::Instance().GetSyncPosDirectory() + "/demo-00a1b2c3.dat");
    (void)file.Load();
    EXPECT_EQ(file.Records().size(), 1u);
    return file.Records().empty() ? SyncAccountRecord{} : file.Records().front();
  }

  FakeController controller_;
  std::unique_ptr<ScopedTempDir> folder_;
  std::string test_folder_;
  int listener_ = -1;
  uint16_t port_ = 0;
  SyncClient::Options options_;  // of the sessions made from now on
  std::vector<std::unique_ptr<SyncClient>> sessions_;
  size_t log_before_ = 0;
};

TEST_F(TransferTest, AnnouncedSizeZeroIsUnknownFileInfo) {
  ApplianceClient client;
  SyncClient* session = ConnectAndLogin(&client);
  ASSERT_TRUE(client.SendFileInfo(kLogName, 0, 0, 0));
  EXPECT_EQ(ErrorCode(&client), kUnknownFileInfo);
  Finish(session);
  EXPECT_NE(NewLog().find("ClientFileInfo size=0\n"), std::string::npos);
}

TEST_F(TransferTest, FileTypeThreeIsUnknownFileType) {
  ApplianceClient client;
  SyncClient* session = ConnectAndLogin(&client);
  ASSERT_TRUE(client.SendFileInfo(kLogName, 3, 100, 0));
  EXPECT_EQ(ErrorCode(&client), kUnknownFileType);
  Finish(session);
  EXPECT_NE(NewLog().find("Unknown file type 3\n"), std::string::npos);
}

TEST_F(TransferTest, ShortAnnouncementEndsWithoutReply) {
  ApplianceClient client;
  SyncClient* session = ConnectAndLogin(&client);
  uint8_t content[79] = {};
  ASSERT_TRUE(client.SendBlock(kCmdFileInfo, content, sizeof(content)));
  EXPECT_EQ(client.WaitForClose(), IoStatus::kClosed);
  Finish(session);
  EXPECT_NE(NewLog().find("buffer content size(79) is less than sizeof ClientFileInfoBlock"),
            std::string::npos);
}

TEST_F(TransferTest, HostileFileNamesAreFileErrorsAndTouchNothing) {
  for (const std::string name :
       {"../../../../tmp/20101216_1530_00A1B2C3_A.dat", "20101216_1530_00A1B2C3_A.dat/../../x",
        "20101216_1530_00A1B2C3_A'; drop table x;.dat", "20101216_1530_00A1B2C3_A\".dat"}) {
    ApplianceClient client;
    SyncClient* session = ConnectAndLogin(&client);
    ASSERT_TRUE(client.SendFileInfo(name, 0, 100, 0));
    EXPECT_EQ(ErrorCode(&client), kFileError) << name;
    Finish(session);
  }
  EXPECT_NE(NewLog().find("Refused unsafe file name"), std::string::npos);
  // Nothing was created anywhere below the data directory or beside it.
  std::error_code ec;
  EXPECT_FALSE(
      std::filesystem::exists(TransferEnvironment::DataDirectory() + "/shop1/logtable", ec));
  EXPECT_FALSE(std::filesystem::exists("/tmp/20101216_1530_00A1B2C3_A.dat", ec));
}

TEST_F(TransferTest, ConfigTablesNamedLikeTheServersOwnAreFileErrorsAndStoreNothing) {
  for (const std::string table : {"TableInfo", "attachinfo", "TABLEINFO", "LoadedFiles"}) {
    const std::string name = std::string(32, 'a') + "_00A1B2C3_" + table + ".dat";
    ApplianceClient client;
    SyncClient* session = ConnectAndLogin(&client);
    ASSERT_TRUE(client.SendFileInfo(name, 1, 100, 0));
    EXPECT_EQ(ErrorCode(&client), kFileError) << table;
    Finish(session);
    std::error_code ec;
    EXPECT_FALSE(std::filesystem::exists(
        TransferEnvironment::DataDirectory() + "/shop1/configtable/" + name, ec))
        << table;
  }
  EXPECT_NE(NewLog().find("the name belongs to the server"), std::string::npos);
}

TEST_F(TransferTest, UnknownKindIsFileError) {
  ApplianceClient client;
  SyncClient* session = ConnectAndLogin(&client);
  ASSERT_TRUE(client.SendFileInfo("20101216_1530_00A1B2C3_Z.dat", 0, 100, 0));
  EXPECT_EQ(ErrorCode(&client), kFileError);
  Finish(session);
}

TEST_F(TransferTest, TransferBlocksBeforeLoginAreUnauthenticated) {
  std::vector<uint8_t> data = Pattern(10, 1);
  std::vector<uint8_t> block = BuildDataBlockContent(0, 10, 0, data);
  for (int which = 0; which < 2; ++which) {
    ApplianceClient client;
    client.set_timeout_ms(20000);
    ASSERT_TRUE(client.Connect("127.0.0.1", port_));
    int fd = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
    SyncClient* session = NewSession();
    ASSERT_TRUE(session->Start(fd, 0x7F000001, 1));
    ASSERT_TRUE(client.Handshake());
    if (which == 0) {
      ASSERT_TRUE(client.SendDataBlockContent(block));
    } else {
      ASSERT_TRUE(client.SendFileEnd(0));
    }
    EXPECT_EQ(ErrorCode(&client), kUnauthenticated);
    Finish(session);
  }
}

TEST_F(TransferTest, DataOrEndWithoutAnnouncementIsUnknownFileInfo) {
  std::vector<uint8_t> data = Pattern(10, 1);
  {
    ApplianceClient client;
    SyncClient* session = ConnectAndLogin(&client);
    ASSERT_TRUE(client.SendDataBlockContent(BuildDataBlockContent(0, 10, 0, data)));
    EXPECT_EQ(ErrorCode(&client), kUnknownFileInfo);
    Finish(session);
  }
  ApplianceClient client;
  SyncClient* session = ConnectAndLogin(&client);
  ASSERT_TRUE(client.SendFileEnd(0));
  EXPECT_EQ(ErrorCode(&client), kUnknownFileInfo);
  Finish(session);
}

TEST_F(TransferTest, MethodThreeIsDataErrorAndMethod128UncompressError) {
  std::vector<uint8_t> data = Pattern(100, 2);
  {
    ApplianceClient client;
    SyncClient* session = ConnectAndLogin(&client);
    Announce(&client, 1000);
    ASSERT_TRUE(client.SendDataBlockContent(BuildDataBlockContent(0, 100, 3, data)));
    EXPECT_EQ(ErrorCode(&client), kDataError);
    Finish(session);
  }
  ApplianceClient client;
  SyncClient* session = ConnectAndLogin(&client);
  Announce(&client, 1000);
  ASSERT_TRUE(client.SendDataBlockContent(BuildDataBlockContent(0, 100, 128, data)));
  EXPECT_EQ(ErrorCode(&client), kUncompressError);
  Finish(session);
  std::string log = NewLog();
  EXPECT_NE(log.find("Unknown compress method 128!\n"), std::string::npos);
  EXPECT_NE(log.find("Uncompress data failed!\n"), std::string::npos);
}

TEST_F(TransferTest, OriginSizeZeroIsDataError) {
  ApplianceClient client;
  SyncClient* session = ConnectAndLogin(&client);
  Announce(&client, 1000);
  std::vector<uint8_t> data = Pattern(10, 3);
  ASSERT_TRUE(client.SendDataBlockContent(BuildDataBlockContent(0, 0, 0, data)));
  EXPECT_EQ(ErrorCode(&client), kDataError);
  Finish(session);
}

TEST_F(TransferTest, LzoStreamOneByteShortIsUncompressError) {
  std::vector<uint8_t> data = Pattern(5000, 4);
  BlockEncoder encoder;
  std::vector<uint8_t> stream;
  ASSERT_TRUE(encoder.CompressLzo1b(data, &stream));
  ApplianceClient client;
  SyncClient* session = ConnectAndLogin(&client);
  Announce(&client, 10000);
  // The stream decodes to 5000 bytes; the block claims 5001.
  ASSERT_TRUE(client.SendDataBlockContent(BuildDataBlockContent(0, 5001, 1, stream)));
  EXPECT_EQ(ErrorCode(&client), kUncompressError);
  Finish(session);
  EXPECT_NE(NewLog().find("Data size unmatched!origin:5001 uncompressed:5000\n"),
            std::string::npos);
}

TEST_F(TransferTest, LzmaWithTwoTrailingBytesIsUncompressError) {
  std::vector<uint8_t> data = Pattern(5000, 5);
  BlockEncoder encoder;
  std::vector<uint8_t> stream;
  ASSERT_TRUE(encoder.CompressLzma(data, &stream));
  stream.push_back(0);
  stream.push_back(0);
  ApplianceClient client;
  SyncClient* session = ConnectAndLogin(&client);
  Announce(&client, 10000);
  ASSERT_TRUE(client.SendDataBlockContent(BuildDataBlockContent(0, 5000, 2, stream)));
  EXPECT_EQ(ErrorCode(&client), kUncompressError);
  Finish(session);
}

TEST_F(TransferTest, StoredBlockShorterThanItsOriginSizeIsDataError) {
  ApplianceClient client;
  SyncClient* session = ConnectAndLogin(&client);
  Announce(&client, 1000);
  std::vector<uint8_t> data = Pattern(99, 6);
  ASSERT_TRUE(client.SendDataBlockContent(BuildDataBlockContent(0, 100, 0, data)));
  EXPECT_EQ(ErrorCode(&client), kDataError);
  Finish(session);
  // Nothing of the block reached the file.
  EXPECT_EQ(std::filesystem::file_size(StoredPath()), 0u);
}

TEST_F(TransferTest, BlockAtTheWrongOffsetIsFileError) {
  ApplianceClient client;
  SyncClient* session = ConnectAndLogin(&client);
  Announce(&client, 1000);
  std::vector<uint8_t> data = Pattern(100, 7);
  ASSERT_TRUE(client.SendFileData(data, 0, Compression::kStored));
  ASSERT_TRUE(client.SendFileData(data, 96, Compression::kStored));
  EXPECT_EQ(ErrorCode(&client), kFileError);
  Finish(session);
  EXPECT_NE(NewLog().find("File offset unmatched!current:100 offered:96\n"), std::string::npos);
}

TEST_F(TransferTest, EveryMethodStoresTheSameBytes) {
  for (Compression method : {Compression::kStored, Compression::kLzo, Compression::kLzma}) {
    std::vector<uint8_t> data = Pattern(300000, 8);
    ApplianceClient client;
    SyncClient* session = ConnectAndLogin(&client);
    Announce(&client, static_cast<uint32_t>(data.size()));
    for (size_t at = 0; at < data.size(); at += 65536) {
      size_t n = std::min<size_t>(65536, data.size() - at);
      ASSERT_TRUE(client.SendFileData(std::span<const uint8_t>(data.data() + at, n),
                                      static_cast<uint32_t>(at), method));
    }
    // The file is complete: one more block is refused as such.
    ASSERT_TRUE(client.SendFileData(std::span<const uint8_t>(data.data(), 10),
                                    static_cast<uint32_t>(data.size()), method));
    EXPECT_EQ(ErrorCode(&client), kFileCompleted);
    Finish(session);
    std::string stored = ::zv::testing::ReadFileBytes(StoredPath());
    EXPECT_EQ(stored, std::string(data.begin(), data.end())) << static_cast<int>(method);
  }
}

TEST_F(TransferTest, FileEndBeforeTheLastByteIsFileUnCompleted) {
  std::vector<uint8_t> data = Pattern(1000, 9);
  ApplianceClient client;
  SyncClient* session = ConnectAndLogin(&client);
  Announce(&client, 1000);
  ASSERT_TRUE(
      client.SendFileData(std::span<const uint8_t>(data.data(), 999), 0, Compression::kStored));
  ASSERT_TRUE(client.SendFileEnd(Crc(data)));
  EXPECT_EQ(ErrorCode(&client), kFileUnCompleted);
  Finish(session);
  // The session's end saved the 999 bytes for a resume.
  SyncAccountRecord saved = SavedPosition();
  EXPECT_STREQ(saved.logSlots[0].name, kLogName);
  EXPECT_EQ(saved.logSlots[0].storedBytes, 999u);
  EXPECT_EQ(saved.logSlots[0].announcedSize, 1000u);
  EXPECT_EQ(saved.logSlots[0].runningCrc, CCrc().Compute(data.data(), 999));
}

TEST_F(TransferTest, WrongCrcIsRefusedAndTheSlotStartsAgain) {
  std::vector<uint8_t> data = Pattern(1000, 10);
  ApplianceClient client;
  SyncClient* session = ConnectAndLogin(&client);
  Announce(&client, 1000);
  ASSERT_TRUE(client.SendFileData(data, 0, Compression::kStored));
  ASSERT_TRUE(client.SendFileEnd(Crc(data) ^ 1));
  EXPECT_EQ(ErrorCode(&client), kFileCrcUnmatched);
  Finish(session);
  SyncAccountRecord saved = SavedPosition();
  EXPECT_STREQ(saved.logSlots[0].name, kLogName);
  EXPECT_EQ(saved.logSlots[0].storedBytes, 0u);
  EXPECT_EQ(saved.logSlots[0].runningCrc, 0u);
  EXPECT_FALSE(std::filesystem::exists(StoredPath()));
}

TEST_F(TransferTest, SecondAnnouncementWhileAFileIsOpenIsFileUnCompleted) {
  ApplianceClient client;
  SyncClient* session = ConnectAndLogin(&client);
  Announce(&client, 1000);
  ASSERT_TRUE(client.SendFileInfo("20101216_1530_00A1B2C3_U.dat", 0, 100, 0));
  EXPECT_EQ(ErrorCode(&client), kFileUnCompleted);
  Finish(session);
}

TEST_F(TransferTest, ConfirmedUploadRemovesLeftoversAndKeepsTheSession) {
  options_.data_file_factory = &MakeTestDataFile;
  // Leftovers of this device, and files of another device that stay.
  const std::string storage = TransferEnvironment::DataDirectory() + "/shop1";
  const std::string token(32, 'f');
  const std::vector<std::string> leftovers = {
      storage + "/attachment/20101215_1200_00A1B2C3_X.dat",
      storage + "/attachment/20101215_1300_00a1b2c3_x.dat",
      storage + "/configtable/" + token + "_00A1B2C3_users.dat"};
  const std::vector<std::string> others = {
      storage + "/attachment/20101215_1200_00A1B2C4_X.dat",
      storage + "/attachment/20101215_1200_00A1B2C3_A.dat",
      storage + "/configtable/" + token + "_00A1B2C4_users.dat",
      storage + "/configtable/short_00A1B2C3_users.dat"};
  std::filesystem::create_directories(storage + "/attachment");
  std::filesystem::create_directories(storage + "/configtable");
  for (const std::string& path : leftovers) ::zv::testing::WriteFileBytes(path, "x");
  for (const std::string& path : others) ::zv::testing::WriteFileBytes(path, "x");

  std::vector<uint8_t> data = Pattern(200000, 11);
  ApplianceClient client;
  SyncClient* session = ConnectAndLogin(&client);
  UploadOptions options;
  options.compression = Compression::kLzo;
  options.block_size = 50000;
  UploadResult result = client.UploadMemory(kLogName, 0, data, options);
  ASSERT_TRUE(result.ok()) << result.error;
  EXPECT_EQ(result.crc, Crc(data));
  // The session goes on with the next file.
  result = client.UploadMemory("20101216_1530_00A1B2C3_U.dat", 0, data, options);
  ASSERT_TRUE(result.ok()) << result.error;
  ASSERT_TRUE(client.SendTaskFinished());
  client.Close();
  Finish(session);
  for (const std::string& path : leftovers) EXPECT_FALSE(std::filesystem::exists(path)) << path;
  for (const std::string& path : others) EXPECT_TRUE(std::filesystem::exists(path)) << path;
  const std::vector<std::string> events = controller_.events();
  ASSERT_EQ(events.size(), 4u);
  EXPECT_EQ(events[0],
            "acquire demo-00A1B2C3(127.0.0.1):Processing " + std::string(kLogName) + "!");
  EXPECT_EQ(events[1], "release");
  const std::vector<std::string> rows = controller_.rows();
  auto has = [&](const std::string& text) {
    return std::find(rows.begin(), rows.end(), text) != rows.end();
  };
  EXPECT_TRUE(has("Transfering 20101216_1530_00A1B2C3_A.dat(195KB)!"));
  EXPECT_TRUE(has("Transfering 20101216_1530_00A1B2C3_A.dat(195KB,50%)"));
  EXPECT_TRUE(has("Wait for Processing 20101216_1530_00A1B2C3_A.dat(195KB)!"));
  EXPECT_TRUE(has("Processing 20101216_1530_00A1B2C3_A.dat(195KB)!"));
  EXPECT_TRUE(has("Complete 20101216_1530_00A1B2C3_A.dat(195KB)!"));
}

// Small blocks move the progress row only when its percentage changes:
// the same text again would only wake the controller's thread.
TEST_F(TransferTest, ProgressRowChangesOncePerPercent) {
  options_.data_file_factory = &MakeTestDataFile;
  std::vector<uint8_t> data = Pattern(200000, 13);
  ApplianceClient client;
  SyncClient* session = ConnectAndLogin(&client);
  UploadOptions options;
  options.block_size = 500;  // 400 blocks, 4 per percent
  UploadResult result = client.UploadMemory(kLogName, 0, data, options);
  ASSERT_TRUE(result.ok()) << result.error;
  client.Close();
  Finish(session);
  const std::string prefix = std::string("Transfering ") + kLogName + "(195KB,";
  std::vector<std::string> progress;
  for (const std::string& row : controller_.rows()) {
    if (row.rfind(prefix, 0) == 0) progress.push_back(row.substr(prefix.size()));
  }
  ASSERT_EQ(progress.size(), 101u);  // 0% to 100%, each once
  EXPECT_EQ(progress.front(), "0%)");
  EXPECT_EQ(progress[50], "50%)");
  EXPECT_EQ(progress.back(), "100%)");
}

TEST_F(TransferTest, LzmaBlockMadeByTheXzToolIsAccepted) {
  options_.data_file_factory = &MakeTestDataFile;
  std::vector<uint8_t> data = Pattern(100000, 12);
  ScopedTempDir scratch;
  ::zv::testing::WriteFileBytes(scratch.Sub("in"), std::string(data.begin(), data.end()));
  const std::string command =
      "xz --format=lzma -c " + scratch.Sub("in") + " > " + scratch.Sub("out");
  ASSERT_EQ(std::system(command.c_str()), 0);
  std::string alone = ::zv::testing::ReadFileBytes(scratch.Sub("out"));
  ASSERT_GT(alone.size(), 13u);
  // The .lzma header: 5 property bytes, then the 8-byte size the block
  // does not carry.
  std::vector<uint8_t> stream(alone.begin(), alone.begin() + 5);
  stream.insert(stream.end(), alone.begin() + 13, alone.end());

  ApplianceClient client;
  SyncClient* session = ConnectAndLogin(&client);
  Announce(&client, static_cast<uint32_t>(data.size()));
  ASSERT_TRUE(client.SendDataBlockContent(
      BuildDataBlockContent(0, static_cast<uint32_t>(data.size()), 2, stream)));
  ASSERT_TRUE(client.SendFileEnd(Crc(data)));
  UploadResult result;
  client.ReadFileOutcome(&result, UploadOptions());
  EXPECT_TRUE(result.ok()) << result.error;
  client.Close();
  Finish(session);
}

TEST_F(TransferTest, FailedProcessingIsProcessErrorAndReleasesTheLock) {
  options_.data_file_factory = &MakeTestDataFile;
  ProcessGate gate;
  gate.result = false;
  gate.open_count = 1;
  g_gate = &gate;
  std::vector<uint8_t> data = Pattern(1000, 13);
  ApplianceClient client;
  SyncClient* session = ConnectAndLogin(&client);
  UploadResult result = client.UploadMemory(kLogName, 0, data, UploadOptions());
  EXPECT_EQ(result.kind, UploadResult::Kind::kRefused);
  EXPECT_EQ(result.code, kProcessError);
  Finish(session);
  EXPECT_TRUE(controller_.WaitHolding(false));
  EXPECT_NE(NewLog().find("Process failed!"), std::string::npos);
}

TEST_F(TransferTest, PendingBlocksCarryOneWhileProcessing) {
  options_.data_file_factory = &MakeTestDataFile;
  ProcessGate gate;
  g_gate = &gate;
  std::vector<uint8_t> data = Pattern(1000, 14);
  ApplianceClient client;
  SyncClient* session = ConnectAndLogin(&client);
  UploadOptions options;
  int seen = 0;
  // The processing ends once the client has heard three keep-alives.
  options.pending = [&](uint32_t value) {
    EXPECT_EQ(value, kPendingProcessing);
    if (++seen == 3) gate.Open();
  };
  UploadResult result = client.UploadMemory(kLogName, 0, data, options);
  EXPECT_TRUE(result.ok()) << result.error;
  EXPECT_EQ(result.pending_processing, 3u);
  EXPECT_EQ(result.pending_waiting, 0u);
  client.Close();
  Finish(session);
}

TEST_F(TransferTest, TwoSessionsShareTheProcessingLock) {
  options_.data_file_factory = &MakeTestDataFile;
  ProcessGate gate;
  g_gate = &gate;
  std::vector<uint8_t> data = Pattern(1000, 15);
  ApplianceClient first, second;
  SyncClient* first_session = ConnectAndLogin(&first, 0x00A1B2C3);
  SyncClient* second_session = ConnectAndLogin(&second, 0x00A1B2C4);

  UploadResult first_result;
  std::thread first_upload(
      [&] { first_result = first.UploadMemory(kLogName, 0, data, UploadOptions()); });
  ASSERT_TRUE(controller_.WaitHolding(true));

  // The second waits: pending blocks with value 0 after each failed
  // attempt, until the first is let go.
  UploadOptions options;
  int waiting = 0;
  options.pending = [&](uint32_t value) {
    if (value == kPendingWaiting && ++waiting == 3) gate.Open();
  };
  UploadResult second_result;
  std::thread second_upload([&] {
    second_result = second.UploadMemory("20101216_1530_00A1B2C4_A.dat", 0, data, options);
  });
  first_upload.join();
  gate.Open();
  second_upload.join();
  EXPECT_TRUE(first_result.ok()) << first_result.error;
  EXPECT_TRUE(second_result.ok()) << second_result.error;
  EXPECT_GE(second_result.pending_waiting, 3u);
  EXPECT_GE(controller_.failed_attempts(), 3);
  first.Close();
  second.Close();
  Finish(first_session);
  Finish(second_session);
  // The confirm goes out before the lock is released: the order is read
  // once both sessions ended.
  const std::vector<std::string> events = controller_.events();
  ASSERT_EQ(events.size(), 4u);
  EXPECT_NE(events[0].find("demo-00A1B2C3"), std::string::npos);
  EXPECT_EQ(events[1], "release");
  EXPECT_NE(events[2].find("demo-00A1B2C4"), std::string::npos);
  EXPECT_EQ(events[3], "release");
}

TEST_F(TransferTest, ClientGoneDuringProcessingReleasesTheLock) {
  options_.data_file_factory = &MakeTestDataFile;
  ProcessGate gate;
  g_gate = &gate;
  std::vector<uint8_t> data = Pattern(1000, 16);
  ApplianceClient client;
  SyncClient* session = ConnectAndLogin(&client);
  ASSERT_TRUE(client.SendFileInfo(kLogName, 0, 1000, 0));
  uint32_t code = 0;
  ASSERT_TRUE(client.ReadFileRequest(&code));
  ASSERT_TRUE(client.SendFileData(data, 0, Compression::kStored));
  ASSERT_TRUE(client.SendFileEnd(Crc(data)));
  ASSERT_TRUE(controller_.WaitHolding(true));
  client.Abort();
  Finish(session);
  EXPECT_TRUE(controller_.WaitHolding(false));
}

TEST_F(TransferTest, InterruptedUploadResumesFromTheSavedOffset) {
  options_.data_file_factory = &MakeTestDataFile;
  std::vector<uint8_t> data = Pattern(3000000, 17);
  {
    ApplianceClient client;
    SyncClient* session = ConnectAndLogin(&client);
    UploadOptions options;
    options.block_size = 100000;
    // Abandon after 1.2 MB: the session's end saves what reached the disk.
    options.progress = [](uint64_t sent, uint64_t) { return sent < 1200000; };
    UploadResult result = client.UploadMemory(kLogName, 0, data, options);
    EXPECT_EQ(result.kind, UploadResult::Kind::kAbandoned);
    Finish(session);
  }
  SyncAccountRecord saved = SavedPosition();
  EXPECT_EQ(saved.logSlots[0].storedBytes, 1200000u);

  ApplianceClient client;
  SyncClient* session = ConnectAndLogin(&client);
  UploadOptions options;
  options.resume = true;
  options.block_size = 100000;
  options.compression = Compression::kLzma;
  UploadResult result = client.UploadMemory(kLogName, 0, data, options);
  ASSERT_TRUE(result.ok()) << result.error;
  EXPECT_EQ(result.start_offset, 1200000u);
  EXPECT_EQ(result.crc, Crc(data));
  client.Close();
  Finish(session);
  EXPECT_EQ(::zv::testing::ReadFileBytes(test_folder_ + "/" + kLogName),
            std::string(data.begin(), data.end()));
}

// Blocks streamed back to back decode two at a time (one in the pool);
// each still takes effect in turn. A fault in the middle of the stream is
// answered for that block, after every block before it reached the file
// and the position, and nothing after it does.
TEST_F(TransferTest, StreamedBlocksDecodeAheadAndTakeEffectInTurn) {
  options_.data_file_factory = &MakeTestDataFile;
  constexpr uint32_t kPiece = 50000;
  constexpr int kBlocks = 12;
  constexpr int kFaulty = 7;
  const std::vector<uint8_t> data = Pattern(kPiece * kBlocks, 23);
  struct Fault {
    const char* what;
    uint32_t code;
  };
  for (const Fault fault : {Fault{"broken stream", kUncompressError},
                            Fault{"wrong offset", kFileError}}) {
    SCOPED_TRACE(fault.what);
    const uint64_t pooled_before = DecodePool::Instance().blocks_decoded();
    ApplianceClient client;
    SyncClient* session = ConnectAndLogin(&client);
    Announce(&client, static_cast<uint32_t>(data.size()));
    // Encoded before sending, so that the blocks follow each other closely.
    BlockEncoder encoder;
    std::vector<std::vector<uint8_t>> contents(kBlocks);
    for (int i = 0; i < kBlocks; ++i) {
      const std::span<const uint8_t> piece(data.data() + kPiece * i, kPiece);
      uint32_t offset = kPiece * i;
      if (i == kFaulty && fault.code == kFileError) offset -= 1000;
      ASSERT_TRUE(encoder.Encode(piece, offset, i % 2 == 0 ? Compression::kLzo : Compression::kLzma,
                                 &contents[i]));
      if (i == kFaulty && fault.code == kUncompressError) contents[i].pop_back();
    }
    for (const auto& content : contents) ASSERT_TRUE(client.SendDataBlockContent(content));
    EXPECT_EQ(ErrorCode(&client), fault.code);
    Finish(session);
    EXPECT_EQ(::zv::testing::ReadFileBytes(test_folder_ + "/" + kLogName),
              std::string(data.begin(), data.begin() + kPiece * kFaulty));
    const SyncAccountRecord saved = SavedPosition();
    EXPECT_EQ(saved.logSlots[0].storedBytes, kPiece * kFaulty);
    EXPECT_EQ(saved.logSlots[0].runningCrc, CCrc().Compute(data.data(), kPiece * kFaulty));
    EXPECT_GT(DecodePool::Instance().blocks_decoded(), pooled_before);
  }
}

// A compressed block received in full is written also when the connection
// ends right behind it, in the middle of the next block.
TEST_F(TransferTest, BlockDecodingAheadIsWrittenWhenTheClientLeaves) {
  options_.data_file_factory = &MakeTestDataFile;
  constexpr uint32_t kPiece = 60000;
  // Odd: blocks go ahead and are decoded here in pairs, the last one ahead.
  constexpr int kBlocks = 7;
  const std::vector<uint8_t> data = Pattern(kPiece * kBlocks, 24);
  const uint64_t pooled_before = DecodePool::Instance().blocks_decoded();
  ApplianceClient client;
  SyncClient* session = ConnectAndLogin(&client);
  Announce(&client, static_cast<uint32_t>(data.size() + kPiece));
  BlockEncoder encoder;
  std::vector<std::vector<uint8_t>> contents(kBlocks);
  for (int i = 0; i < kBlocks; ++i) {
    ASSERT_TRUE(encoder.Encode(std::span<const uint8_t>(data.data() + kPiece * i, kPiece),
                               kPiece * i, Compression::kLzma, &contents[i]));
  }
  for (const auto& content : contents) ASSERT_TRUE(client.SendDataBlockContent(content));
  // The next block's header and the first bytes of its content.
  const uint8_t first_bytes[10] = {};
  ASSERT_TRUE(client.SendBlockDeclaring(100000, kCmdFileData, first_bytes, sizeof first_bytes));
  client.Close();
  Finish(session);
  EXPECT_EQ(::zv::testing::ReadFileBytes(test_folder_ + "/" + kLogName),
            std::string(data.begin(), data.end()));
  EXPECT_EQ(SavedPosition().logSlots[0].storedBytes, kPiece * kBlocks);
  EXPECT_GT(DecodePool::Instance().blocks_decoded(), pooled_before);
}

std::atomic<uint32_t> g_tick{0};
uint32_t ManualTick() { return g_tick.load(); }

TEST_F(TransferTest, DecodedBytesMakeTheFileSpeed) {
  options_.data_file_factory = &MakeTestDataFile;
  SyncClient::SetTickSourceForTesting(&ManualTick);
  ApplianceClient client;
  SyncClient* session = ConnectAndLogin(&client);
  // Two reports at ticks far apart leave the statistics empty at a known tick.
  g_tick.store(1000000);
  ASSERT_TRUE(client.Ping());
  g_tick.store(1002000);
  ASSERT_TRUE(client.Ping());
  controller_.TakeSpeeds();

  // 2 MiB of file data in LZO1B blocks within the same millisecond: no report.
  std::vector<uint8_t> data = Pattern(2u << 20, 22);
  UploadOptions options;
  options.compression = Compression::kLzo;
  options.block_size = 256 * 1024;
  UploadResult result = client.UploadMemory(kLogName, 0, data, options);
  ASSERT_TRUE(result.ok()) << result.error;
  EXPECT_TRUE(controller_.TakeSpeeds().empty());
  // One second later the next block reports 2048 KB/s of file data.
  g_tick.store(1003000);
  ASSERT_TRUE(client.Ping());
  std::vector<std::pair<uint32_t, uint32_t>> speeds = controller_.TakeSpeeds();
  ASSERT_EQ(speeds.size(), 1u);
  EXPECT_EQ(speeds[0].second, 2048u);
  // Compressed text crosses the wire in fewer bytes than it decodes to.
  EXPECT_LT(speeds[0].first, speeds[0].second);
  client.Close();
  Finish(session);
}

// The zvclient tool uploads files named on its command line.
class ZvclientUploadTest : public TransferTest {
 protected:
  struct Run {
    int exit_code = -1;
    std::string out;
  };

  Run RunUpload(std::vector<std::string> extra) {
    std::vector<std::string> args = {::zv::testing::ProgramDirectory() + "/zvclient",
                                     "upload",
                                     "--host",
                                     "127.0.0.1",
                                     "--port",
                                     std::to_string(port_),
                                     "--user",
                                     "demo",
                                     "--password",
                                     "demo",
                                     "--device",
                                     "00A1B2C3",
                                     "--timeout",
                                     "20000"};
    args.insert(args.end(), extra.begin(), extra.end());
    ::zv::testing::ProgramRun program(std::move(args));
    Run run;
    SyncClient* session = nullptr;
    pollfd ready{listener_, POLLIN, 0};
    if (::poll(&ready, 1, 20000) == 1) {
      int fd = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
      session = NewSession();
      EXPECT_TRUE(session->Start(fd, 0x7F000001, 1));
    }
    run.exit_code = program.Finish(&run.out);
    if (session != nullptr) Finish(session);
    return run;
  }
};

TEST_F(ZvclientUploadTest, UploadsFilesAndReportsEachConfirm) {
  options_.data_file_factory = &MakeTestDataFile;
  ScopedTempDir dir;
  std::vector<uint8_t> a = Pattern(300000, 20);
  std::vector<uint8_t> u = Pattern(1000, 21);
  ::zv::testing::WriteFileBytes(dir.Sub(kLogName), std::string(a.begin(), a.end()));
  ::zv::testing::WriteFileBytes(dir.Sub("20101216_1530_00A1B2C3_U.dat"),
                                std::string(u.begin(), u.end()));
  Run run = RunUpload({"--compress", "lzma", "--block-size", "65536", dir.Sub(kLogName),
                       dir.Sub("20101216_1530_00A1B2C3_U.dat")});
  EXPECT_EQ(run.exit_code, 0) << run.out;
  EXPECT_NE(run.out.find(std::string(kLogName) + ": confirmed (type 0, sent from byte 0, crc "),
            std::string::npos)
      << run.out;
  EXPECT_NE(run.out.find("20101216_1530_00A1B2C3_U.dat: confirmed"), std::string::npos);
  EXPECT_EQ(::zv::testing::ReadFileBytes(test_folder_ + "/" + kLogName),
            std::string(a.begin(), a.end()));
}

TEST_F(ZvclientUploadTest, RefusedFileEndsWithExitCodeOne) {
  ScopedTempDir dir;
  ::zv::testing::WriteFileBytes(dir.Sub("20101216_1530_00A1B2C3_Z.dat"), "abc");
  Run run = RunUpload({dir.Sub("20101216_1530_00A1B2C3_Z.dat")});
  EXPECT_EQ(run.exit_code, 1);
  EXPECT_NE(run.out.find("20101216_1530_00A1B2C3_Z.dat: refused: 15 FileError"), std::string::npos)
      << run.out;
}

}  // namespace
}  // namespace zv
