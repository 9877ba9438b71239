// Uploads against the real server: Zentrovane.exe with Loader.exe and
// zvtar.exe beside it in a home of its own, the test MariaDB on
// 127.0.0.1:811 (scripts/testdb.sh start), a database per test. The files
// are the sample files zvclient's trial uploads.
#include <gtest/gtest.h>
#include <signal.h>
#include <sqlite3.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "client/sample_files.h"
#include "db/db_test_util.h"
#include "e2e_util.h"
#include "records/account_file.h"
#include "util/crc.h"

namespace zv::e2e {
namespace {

namespace fs = std::filesystem;

const bool kHomeRegistered = ::zv::testing::RegisterDbTestHome();

constexpr uint32_t kDevice = 0x00A1B2C3;
constexpr char kDate[] = "20101216";

struct ListEntry {
  std::string path;
  std::string table;
  uint32_t crc = 0;
  uint32_t end = 0;
};

std::vector<ListEntry> ReadFileList(const std::string& path) {
  std::vector<ListEntry> entries;
  sqlite3* db = nullptr;
  if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) != SQLITE_OK) {
    sqlite3_close(db);
    return entries;
  }
  sqlite3_stmt* statement = nullptr;
  if (sqlite3_prepare_v2(db, "SELECT path, tablename, crc, end FROM filelist", -1, &statement,
                         nullptr) == SQLITE_OK) {
    while (sqlite3_step(statement) == SQLITE_ROW) {
      ListEntry entry;
      entry.path = reinterpret_cast<const char*>(sqlite3_column_text(statement, 0));
      entry.table = reinterpret_cast<const char*>(sqlite3_column_text(statement, 1));
      entry.crc = static_cast<uint32_t>(sqlite3_column_int64(statement, 2));
      entry.end = static_cast<uint32_t>(sqlite3_column_int64(statement, 3));
      entries.push_back(entry);
    }
  }
  sqlite3_finalize(statement);
  sqlite3_close(db);
  return entries;
}

uint32_t Crc(const std::string& data) { return CCrc().Compute(data.data(), data.size()); }

class UploadE2ETest : public ::testing::Test {
 protected:
  void SetUp() override {
    ZV_REQUIRE_DATABASE();
    storage_ = names_.New();
    ASSERT_EQ(home_.InstallCompanions(), "");
    ASSERT_TRUE(home_.AddAccount("shop", "pw", storage_));
    ASSERT_TRUE(server_.Start()) << server_.Output();
  }

  void TearDown() override {
    if (server_.process() != nullptr && server_.process()->Running()) {
      EXPECT_EQ(server_.Stop(std::chrono::seconds(60)), 0);
    }
  }

  std::string Storage() const { return home_.root() + "/mysql/log_data/" + storage_; }
  std::string Attachments() const { return home_.root() + "/attach/" + storage_; }
  std::string PositionPath() const { return home_.syncpos() + "/shop-00a1b2c3.dat"; }

  SyncAccountRecord Position() const {
    CZvAccountFile file;
    file.SetPath(PositionPath());
    (void)file.Load();
    return file.Records().empty() ? SyncAccountRecord{} : file.Records().front();
  }

  // Logs in; while an earlier session of the device is still ending, the
  // server refuses a second login of it, so that one is tried again.
  void Login(ApplianceClient* client) {
    client->set_timeout_ms(60000);
    LoginAnswer answer;
    EXPECT_TRUE(WaitUntil([&] {
      answer = LoginOnce(client, home_, MakeLogin("shop", "pw", kDevice));
      return !(answer.kind == LoginAnswer::Kind::kRefused && answer.code == kMultipleLogin);
    }));
    ASSERT_EQ(answer.kind, LoginAnswer::Kind::kAccepted)
        << client->last_error() << " code " << answer.code;
  }

  // Uploads content as name and expects the confirm.
  void Upload(ApplianceClient* client, const std::string& name, uint32_t type,
              const std::string& content, Compression method = Compression::kLzo) {
    UploadOptions options;
    options.compression = method;
    options.block_size = 4096;  // several blocks even for the small samples
    UploadResult result = client->UploadMemory(
        name, type,
        std::span<const uint8_t>(reinterpret_cast<const uint8_t*>(content.data()), content.size()),
        options);
    ASSERT_TRUE(result.ok()) << name << ": " << result.error << "\n" << home_.DebugLog();
    EXPECT_EQ(result.crc, Crc(content));
  }

  int64_t Count(const std::string& table) {
    DbRows rows = ::zv::testing::RootQuery("SELECT COUNT(*) AS n FROM `" + table + "`", storage_);
    return rows.empty() || rows[0].count("n") == 0 ? -1 : std::stoll(rows[0].at("n"));
  }
  // The values of column v of a query's rows, sorted.
  std::vector<std::string> Column(const std::string& sql) {
    std::vector<std::string> values;
    for (const DbRow& row : ::zv::testing::RootQuery(sql, storage_)) {
      auto it = row.find("v");
      values.push_back(it == row.end() ? "?" : it->second);
    }
    std::sort(values.begin(), values.end());
    return values;
  }

  ::zv::testing::ScopedDatabaseNames names_;
  std::string storage_;
  ServerHome home_;
  ServerProcess server_{home_};
};

TEST_F(UploadE2ETest, ConfigTableIsLoadedAndRemembered) {
  SampleFiles samples(storage_, kDevice, kDate);
  ApplianceClient client;
  Login(&client);
  Upload(&client, samples.ConfigTableName(), 1, samples.ConfigTable());
  ASSERT_TRUE(client.SendTaskFinished());
  client.Close();

  EXPECT_EQ(Count("users"), 5);
  EXPECT_EQ(Column("SELECT user_name AS v FROM users"),
            (std::vector<std::string>{"alice", "bob", "carol", "李娜", "王伟"}));
  EXPECT_FALSE(fs::exists(Storage() + "/configtable/" + samples.ConfigTableName()));
  // The slot is keyed by the CRC-32 of "users" with its NUL.
  const uint32_t key = CCrc().Compute("users", 6);
  SyncAccountRecord position = Position();
  bool found = false;
  for (const ConfigTableSlot& slot : position.configSlots) {
    if (slot.nameKey != key) continue;
    found = true;
    EXPECT_EQ(std::string(slot.contentToken), samples.ConfigTableName().substr(0, 32));
  }
  EXPECT_TRUE(found);
  EXPECT_TRUE(home_.OpLogHas("开始同步配置表:" + samples.ConfigTableName()));
  EXPECT_TRUE(home_.OpLogHas("已启动导入器导入配置表文件!"));

  // The next login hands the token back to the appliance.
  ApplianceClient again;
  Login(&again);
  bool handed_back = false;
  for (const ConfigTableSlot& slot : again.position_record().configSlots) {
    handed_back =
        handed_back || (slot.nameKey == key &&
                        std::string(slot.contentToken) == samples.ConfigTableName().substr(0, 32));
  }
  EXPECT_TRUE(handed_back);
}

TEST_F(UploadE2ETest, LogTablesOfADayAreStoredListedAndLoaded) {
  // The storage's database exists before its first log table, as the
  // management console leaves it.
  ::zv::testing::RootQuery("CREATE DATABASE IF NOT EXISTS `" + storage_ + "`");
  SampleFiles samples(storage_, kDevice, kDate);
  ApplianceClient client;
  Login(&client);
  Upload(&client, samples.LogTableName("A"), 0, samples.LogTableA(), Compression::kStored);
  Upload(&client, samples.LogTableName("U"), 0, samples.LogTableU(), Compression::kLzma);
  Upload(&client, samples.LogTableName("oprlog"), 0, samples.OprLog(), Compression::kLzo);
  ASSERT_TRUE(client.SendTaskFinished());
  client.Close();

  const std::string day = Storage() + "/logtable/20101216/";
  EXPECT_EQ(::zv::testing::ReadFileBytes(day + samples.LogTableName("A")), samples.LogTableA());
  EXPECT_EQ(::zv::testing::ReadFileBytes(day + samples.LogTableName("U")), samples.LogTableU());
  EXPECT_EQ(::zv::testing::ReadFileBytes(day + samples.LogTableName("oprlog")), samples.OprLog());

  EXPECT_EQ(Column("SELECT name AS v FROM TableInfo"),
            (std::vector<std::string>{"A20101216", "U20101216"}));
  EXPECT_EQ(Column("SELECT table_name AS v FROM AttachInfo"),
            (std::vector<std::string>{"O20101216", "X20101216"}));

  std::vector<ListEntry> list = ReadFileList(Storage() + "/filelist/data.lst2");
  ASSERT_EQ(list.size(), 3u);
  EXPECT_EQ(list[0].path, day + samples.LogTableName("A"));
  EXPECT_EQ(list[0].table, "A20101216");
  EXPECT_EQ(list[0].crc, Crc(samples.LogTableA()));
  EXPECT_EQ(list[0].end, samples.LogTableA().size());
  EXPECT_EQ(list[1].table, "U20101216");
  EXPECT_EQ(list[2].table, "oprlog");

  SyncAccountRecord position = Position();
  const std::pair<int, std::string> slots[] = {
      {0, samples.LogTableA()}, {1, samples.LogTableU()}, {11, samples.OprLog()}};
  for (const auto& [index, content] : slots) {
    const LogTableSlot& slot = position.logSlots[index];
    EXPECT_EQ(slot.storedBytes, content.size()) << index;
    EXPECT_EQ(slot.announcedSize, content.size()) << index;
    EXPECT_EQ(slot.runningCrc, Crc(content)) << index;
  }
  EXPECT_STREQ(position.logSlots[0].name, samples.LogTableName("A").c_str());

  EXPECT_EQ(Count("A20101216"), 200);
  EXPECT_EQ(Count("U20101216"), 120);
  EXPECT_EQ(Count("o20101216"), 30);
  EXPECT_EQ(Column("SELECT MIN(record_time) AS v FROM o20101216"),
            (std::vector<std::string>{"2010-12-16 08:00:00"}));
  EXPECT_TRUE(home_.OpLogHas("已启动导入器导入日志表文件!"));
  EXPECT_TRUE(home_.OpLogHas("同步数据任务已完成!"));
}

TEST_F(UploadE2ETest, AttachmentPackageIsUnpackedAndItsDayCountedAgain) {
  SampleFiles samples(storage_, kDevice, kDate);
  const std::string package = samples.AttachmentPackage();
  ASSERT_FALSE(package.empty());
  // Cached folder sizes: the six of the package's day go, another day's stay.
  const std::vector<std::string> folders = {
      "actrace",           "ips",      "mailproxy/delaysnd", "mailproxy/smtplog",
      "mailproxy/pop3log", "mailproxy"};
  for (const std::string& folder : folders) {
    for (const char* day : {"20101216", "20101215"}) {
      const std::string path = Attachments() + "/" + folder + "/" + day + "/dirstat";
      fs::create_directories(fs::path(path).parent_path());
      ::zv::testing::WriteFileBytes(path, "4096");
    }
  }
  ApplianceClient client;
  Login(&client);
  Upload(&client, samples.PackageName(), 2, package);
  client.Close();

  for (const auto& [path, content] : samples.PackageEntries()) {
    EXPECT_EQ(::zv::testing::ReadFileBytes(Attachments() + "/" + path), content) << path;
  }
  for (const std::string& folder : folders) {
    EXPECT_FALSE(fs::exists(Attachments() + "/" + folder + "/20101216/dirstat")) << folder;
    EXPECT_TRUE(fs::exists(Attachments() + "/" + folder + "/20101215/dirstat")) << folder;
  }
  EXPECT_FALSE(fs::exists(Storage() + "/attachment/" + samples.PackageName()));
  const LogTableSlot& slot = Position().logSlots[13];
  EXPECT_STREQ(slot.name, samples.PackageName().c_str());
  EXPECT_EQ(slot.storedBytes, package.size());
  EXPECT_TRUE(home_.OpLogHas("附件包解压成功!"));
}

// One storage's damaged file list fails the processing of that file with
// the error the appliance knows (it sends the file again later); the server
// goes on, and the upload succeeds once the list is usable again.
TEST_F(UploadE2ETest, DamagedFileListFailsThatFileAndTheServerGoesOn) {
  ::zv::testing::RootQuery("CREATE DATABASE IF NOT EXISTS `" + storage_ + "`");
  fs::create_directories(Storage() + "/filelist");
  ::zv::testing::WriteFileBytes(Storage() + "/filelist/data.lst2", std::string(4096, 'x'));
  SampleFiles samples(storage_, kDevice, kDate);
  const std::string name = samples.LogTableName("A");
  const std::string content = samples.LogTableA();
  const auto bytes =
      std::span<const uint8_t>(reinterpret_cast<const uint8_t*>(content.data()), content.size());
  {
    ApplianceClient client;
    Login(&client);
    UploadResult result = client.UploadMemory(name, 0, bytes, UploadOptions());
    EXPECT_EQ(result.kind, UploadResult::Kind::kRefused) << result.error;
    EXPECT_EQ(result.code, kProcessError);
  }
  EXPECT_TRUE(server_.process()->Running());
  const std::string log = home_.DebugLog();
  EXPECT_NE(log.find("sqlite3_exec() fails,ret=26"), std::string::npos) << log;
  EXPECT_NE(log.find("AppendFileList failed!"), std::string::npos);
  EXPECT_TRUE(home_.OpLogHas("附加文件列表失败!"));

  fs::remove(Storage() + "/filelist/data.lst2");
  ApplianceClient again;
  Login(&again);
  Upload(&again, name, 0, content);
  std::vector<ListEntry> list = ReadFileList(Storage() + "/filelist/data.lst2");
  ASSERT_EQ(list.size(), 1u);
  EXPECT_EQ(list[0].table, "A20101216");
  EXPECT_EQ(Count("A20101216"), 200);
}

// The server is killed with SIGKILL in the middle of a 200 MiB upload,
// three times at random moments; each time it is started again and the
// appliance resumes from the offset the position file recorded. The stored
// file ends up byte for byte the source.
TEST_F(UploadE2ETest, KilledServerResumesFromThePositionFile) {
  ::zv::testing::RootQuery("CREATE DATABASE IF NOT EXISTS `" + storage_ + "`");
  constexpr size_t kSize = 200u << 20;
  std::string data(kSize, '\0');
  std::mt19937_64 random(std::random_device{}());
  for (size_t i = 0; i < kSize; i += 8) {
    uint64_t word = random();
    std::memcpy(&data[i], &word, 8);
  }
  // Not a table the importer would load: it refuses the file quickly.
  std::memcpy(&data[0], "bad column!\n", 12);
  const std::string name = "20101216_1530_00A1B2C3_Q.dat";
  const auto bytes =
      std::span<const uint8_t>(reinterpret_cast<const uint8_t*>(data.data()), data.size());

  uint64_t previous_start = 0;
  for (int kill = 0; kill < 3; ++kill) {
    // 20 MiB after the start or later, within the first third of what is
    // left beyond that: three kills always land before the end.
    const uint64_t left = kSize - previous_start;
    const uint64_t kill_at = previous_start + (20u << 20) + random() % (left / 3);
    ApplianceClient client;
    Login(&client);
    UploadOptions options;
    options.resume = true;
    options.progress = [&](uint64_t sent, uint64_t) {
      if (sent >= kill_at && server_.process()->Running()) server_.process()->Kill(SIGKILL);
      return true;
    };
    UploadResult result = client.UploadMemory(name, 0, bytes, options);
    EXPECT_EQ(result.kind, UploadResult::Kind::kFailed) << "kill " << kill;
    EXPECT_EQ(result.start_offset, previous_start) << "kill " << kill;
    ASSERT_TRUE(server_.WaitExit(std::chrono::seconds(30)).has_value());

    // What the position file holds is what the next session offers.
    const LogTableSlot slot = Position().logSlots[12];
    ASSERT_STREQ(slot.name, name.c_str());
    EXPECT_EQ(slot.announcedSize, kSize);
    EXPECT_GE(slot.storedBytes, previous_start) << "kill " << kill;
    // The block that crossed kill_at was the last one sent.
    EXPECT_LE(slot.storedBytes, kill_at + options.block_size) << "kill " << kill;
    EXPECT_EQ(slot.runningCrc, CCrc().Compute(data.data(), slot.storedBytes)) << "kill " << kill;
    previous_start = slot.storedBytes;
    ASSERT_TRUE(server_.Start()) << server_.Output();
  }
  EXPECT_GT(previous_start, 0u);

  ApplianceClient client;
  Login(&client);
  UploadOptions options;
  options.resume = true;
  UploadResult result = client.UploadMemory(name, 0, bytes, options);
  ASSERT_TRUE(result.ok()) << result.error << "\n" << home_.DebugLog();
  EXPECT_EQ(result.start_offset, previous_start);
  EXPECT_EQ(result.crc, Crc(data));
  client.Close();

  const std::string stored = Storage() + "/logtable/20101216/" + name;
  ASSERT_EQ(fs::file_size(stored), kSize);
  EXPECT_TRUE(::zv::testing::ReadFileBytes(stored) == data);
  const LogTableSlot slot = Position().logSlots[12];
  EXPECT_EQ(slot.storedBytes, kSize);
  EXPECT_EQ(slot.runningCrc, Crc(data));
}

}  // namespace
}  // namespace zv::e2e
