// Retention against the real server: Zentrovane.exe with Loader.exe beside
// it in a home of its own, the test MariaDB on 127.0.0.1:811, databases and
// folders of the test's own storages seeded with days of data relative to
// today. Only the disk monitor's real volume figures are used (no fakes).
#include <gtest/gtest.h>
#include <signal.h>

#include <algorithm>
#include <ctime>
#include <filesystem>
#include <thread>

#include "client/sample_files.h"
#include "db/db_manager.h"
#include "db/db_test_util.h"
#include "e2e_util.h"
#include "monitor/disk_monitor.h"
#include "platform/settings_store.h"
#include "util/file_util.h"

namespace zv::e2e {
namespace {

namespace fs = std::filesystem;

const bool kHomeRegistered = ::zv::testing::RegisterDbTestHome();

constexpr const char* kAttachmentSubFolders[] = {
    "actrace", "ips", "mailproxy/delaysnd", "mailproxy/smtplog", "mailproxy/pop3log", "mailproxy"};

// The local date `days` days before today, as YYYYMMDD.
std::string DaysAgo(int days) {
  time_t now = std::time(nullptr);
  struct tm t {};
  localtime_r(&now, &t);
  t.tm_mday -= days;
  t.tm_hour = 12;
  t.tm_isdst = -1;
  time_t then = mktime(&t);
  localtime_r(&then, &t);
  char text[32];
  std::snprintf(text, sizeof text, "%04d%02d%02d", t.tm_year + 1900, t.tm_mon + 1, t.tm_mday);
  return text;
}

std::string Dashed(const std::string& date) {
  return date.substr(0, 4) + "-" + date.substr(4, 2) + "-" + date.substr(6, 2);
}

// A connection of the test's own as root, kept open (for locks).
std::unique_ptr<CDBManager> RootConnection(const std::string& database) {
  auto db = std::make_unique<CDBManager>();
  db->SetConnection(std::string(kDefaultDbUser), std::string(kDefaultDbPassword), database);
  EXPECT_TRUE(db->Open()) << db->GetLastErrorText();
  return db;
}

void Execute(CDBManager* db, const std::string& sql) {
  EXPECT_TRUE(db->Execute(sql)) << sql << ": " << db->GetLastErrorText();
}

class RetentionE2ETest : public ::testing::Test {
 protected:
  void SetUp() override {
    ZV_REQUIRE_DATABASE();
    today_ = DaysAgo(0);
    ASSERT_EQ(home_.InstallCompanions(), "");
    for (int i = 0; i < 2; ++i) {
      storages_.push_back(names_.New());
      ::zv::testing::RootQuery("CREATE DATABASE `" + storages_.back() + "`");
      ASSERT_TRUE(home_.AddAccount("user" + std::to_string(i), "pw", storages_.back()));
    }
  }

  void TearDown() override {
    if (server_.process() != nullptr && server_.process()->Running()) {
      EXPECT_EQ(server_.Stop(std::chrono::seconds(60)), 0);
    }
  }

  // Skips a test that ran across midnight: its days moved under it.
  bool DateChanged() const { return DaysAgo(0) != today_; }

  void WriteTools(const std::string& lines) {
    ::zv::testing::WriteFileBytes(home_.home() + "/config/zvtools.ini", "[ZV_CONFIG]\r\n" + lines);
  }

  std::string DataFolder(const std::string& storage) const {
    return home_.root() + "/mysql/log_data/" + storage;
  }
  std::string AttachmentFolder(const std::string& storage) const {
    return home_.root() + "/attach/" + storage;
  }

  // A day of a client as the server keeps it: log tables A, U and o, the
  // intermediate tables MIDABCDE and LOGMID, a table D (no log table), its
  // AttachInfo and oprlog rows, its log-table folder and its six
  // attachment day folders.
  void SeedDay(const std::string& storage, const std::string& date) {
    auto db = RootConnection(storage);
    for (const char* sql :
         {"CREATE TABLE IF NOT EXISTS TableInfo (name VARCHAR(64) NOT NULL PRIMARY KEY, "
          "size BIGINT NOT NULL DEFAULT 0)",
          "CREATE TABLE IF NOT EXISTS AttachInfo (table_name VARCHAR(64) NOT NULL PRIMARY KEY, "
          "file_size BIGINT NOT NULL DEFAULT 0, file_del INT NOT NULL DEFAULT 0)",
          "CREATE TABLE IF NOT EXISTS oprlog (record_time VARCHAR(32), action LONGTEXT)",
          "CREATE TABLE IF NOT EXISTS users (name LONGTEXT)"}) {
      Execute(db.get(), sql);
    }
    for (const char* kind : {"A", "U", "o", "MIDABCDE", "LOGMID", "D"}) {
      Execute(db.get(), "CREATE TABLE " + std::string(kind) + date + " (a LONGTEXT)");
    }
    Execute(db.get(), "INSERT INTO TableInfo VALUES ('A" + date + "', 0), ('U" + date + "', 0)");
    Execute(db.get(),
            "INSERT INTO AttachInfo VALUES ('I" + date + "', 0, 0), ('M" + date + "', 0, 0)");
    Execute(db.get(), "INSERT INTO oprlog VALUES ('" + Dashed(date) + " 08:00:00', 'login')");
    ::zv::testing::WriteFileBytes(
        DataFolder(storage) + "/logtable/" + date + "/" + date + "_1530_00A1B2C3_A.dat", "a\n1\n");
    for (const char* sub : kAttachmentSubFolders) {
      ::zv::testing::WriteFileBytes(AttachmentFolder(storage) + "/" + sub + "/" + date + "/f", "x");
    }
  }

  // What is left of a day of a client, each part named.
  std::vector<std::string> DayParts(const std::string& storage, const std::string& date) {
    std::vector<std::string> parts;
    auto db = RootConnection(storage);
    for (const std::string& table : db->ListTables()) {
      if (table.size() >= 8 && table.compare(table.size() - 8, 8, date) == 0) {
        parts.push_back("table " + table);
      }
    }
    DbRows rows;
    EXPECT_TRUE(db->Query(
        "SELECT table_name FROM AttachInfo WHERE SUBSTRING(table_name,2,8)='" + date + "'", &rows));
    for (const DbRow& row : rows) parts.push_back("attachinfo " + row.at("table_name"));
    DbRows count;
    EXPECT_TRUE(db->Query(
        "SELECT COUNT(*) AS n FROM oprlog WHERE record_time LIKE '" + Dashed(date) + "%'", &count));
    if (!count.empty() && count[0].at("n") != "0") parts.push_back("oprlog");
    if (fs::exists(DataFolder(storage) + "/logtable/" + date)) parts.push_back("folder logtable");
    for (const char* sub : kAttachmentSubFolders) {
      if (fs::exists(AttachmentFolder(storage) + "/" + sub + "/" + date)) {
        parts.push_back(std::string("folder ") + sub);
      }
    }
    std::sort(parts.begin(), parts.end());
    return parts;
  }

  std::vector<std::string> WholeDay(const std::string& date) const {
    std::vector<std::string> parts = {"attachinfo I" + date, "attachinfo M" + date,
                                      "folder logtable",     "oprlog",
                                      "table A" + date,      "table D" + date,
                                      "table LOGMID" + date, "table MIDABCDE" + date,
                                      "table U" + date,      "table o" + date};
    for (const char* sub : kAttachmentSubFolders) parts.push_back(std::string("folder ") + sub);
    std::sort(parts.begin(), parts.end());
    return parts;
  }
  // Left after "$ALL$": the table D, which is no log table.
  std::vector<std::string> AllDeleted(const std::string& date) const { return {"table D" + date}; }
  // Left after "$LOGONLY$": D and the intermediate tables.
  std::vector<std::string> LogOnlyDeleted(const std::string& date) const {
    return {"table D" + date, "table LOGMID" + date, "table MIDABCDE" + date};
  }

  std::string Journal() {
    std::unique_ptr<SettingsStore> store = SettingsStore::Open(home_.registry());
    if (!store) return "?";
    return store->ReadString("PendingDeleteDate").value_or("");
  }

  ServerHome home_;
  ServerProcess server_{home_};
  ::zv::testing::ScopedDatabaseNames names_;
  std::vector<std::string> storages_;
  std::string today_;
};

TEST_F(RetentionE2ETest, KeepingTwoDaysDeletesEveryDayUpToTheCutoff) {
  WriteTools("DelMethod=0\r\nDelDay=2\r\nAlarmValue=0\r\nAutoDelOneDay=0\r\n");
  for (const std::string& storage : storages_) {
    for (int day = 0; day <= 4; ++day) SeedDay(storage, DaysAgo(day));
  }
  ASSERT_TRUE(server_.Start()) << server_.Output();
  if (DateChanged()) GTEST_SKIP() << "the date changed during the test";

  for (const std::string& storage : storages_) {
    // Today and yesterday stay; two, three and four days ago go.
    EXPECT_EQ(DayParts(storage, DaysAgo(0)), WholeDay(DaysAgo(0))) << storage;
    EXPECT_EQ(DayParts(storage, DaysAgo(1)), WholeDay(DaysAgo(1))) << storage;
    for (int day = 2; day <= 4; ++day) {
      EXPECT_EQ(DayParts(storage, DaysAgo(day)), AllDeleted(DaysAgo(day))) << storage << day;
    }
  }
  EXPECT_EQ(Journal(), "");
  EXPECT_TRUE(home_.OpLogHas("已删除3天过期日志!"));
  EXPECT_EQ(home_.DebugLogCount("delete 3 days log"), 1u);
}

TEST_F(RetentionE2ETest, AlarmDeletesOneDayPerPassOldestFirstUntilOnlyTodayIsLeft) {
  // No disk has 4 PiB available: every pass is below the alarm.
  WriteTools("DelMethod=2\r\nAlarmValue=4294967295\r\nAutoDelOneDay=1\r\n");
  for (int day = 0; day <= 4; ++day) SeedDay(storages_[0], DaysAgo(day));
  for (int day = 0; day <= 2; ++day) SeedDay(storages_[1], DaysAgo(day));
  ASSERT_TRUE(server_.Start()) << server_.Output();
  if (DateChanged()) GTEST_SKIP() << "the date changed during the test";

  for (const std::string& storage : storages_) {
    EXPECT_EQ(DayParts(storage, DaysAgo(0)), WholeDay(DaysAgo(0))) << storage;
  }
  for (int day = 1; day <= 4; ++day) {
    EXPECT_EQ(DayParts(storages_[0], DaysAgo(day)), AllDeleted(DaysAgo(day))) << day;
  }
  // One day per pass, measured again after each: four deleting passes and
  // a last one that finds only today.
  EXPECT_EQ(home_.DebugLogCount("Begin delete one day log!"), 5u);
  EXPECT_EQ(home_.DebugLogCount("Delete 1 days' log!"), 4u);
  EXPECT_EQ(home_.DebugLogCount("Something has been deleted, rescan now!"), 4u);
  EXPECT_EQ(home_.DebugLogCount("Find nothing to delete!"), 1u);
  EXPECT_TRUE(home_.OpLogHas("数据库所在磁盘已不足4194303GB!\n"));
  EXPECT_TRUE(home_.OpLogHas("日志附件所在磁盘已不足4194303GB!\n"));
  // Oldest first.
  const std::string log = home_.DebugLog();
  size_t previous = 0;
  for (int day = 4; day >= 1; --day) {
    const size_t at = log.find(AttachmentFolder(storages_[0]) + "/actrace/" + DaysAgo(day) + "!");
    ASSERT_NE(at, std::string::npos) << day;
    EXPECT_GT(at, previous) << day;
    previous = at;
  }
  EXPECT_EQ(Journal(), "");
}

TEST_F(RetentionE2ETest, KilledDuringADeletionFinishesExactlyTheJournalAfterRestart) {
  WriteTools("DelMethod=2\r\nAlarmValue=0\r\nAutoDelOneDay=0\r\nDelMid=0\r\n");
  for (const std::string& storage : storages_) {
    for (int day = 0; day <= 4; ++day) SeedDay(storage, DaysAgo(day));
  }
  const std::string first = storages_[0];
  const std::string second = storages_[1];
  // Three days ago of the first client entirely, two days ago of every
  // client's log tables only.
  const std::string journal =
      DaysAgo(3) + " " + first + " $ALL$;" + DaysAgo(2) + " $ALL$ $LOGONLY$;";
  {
    std::unique_ptr<SettingsStore> store = SettingsStore::Open(home_.registry());
    ASSERT_TRUE(store && store->WriteString("PendingDeleteDate", journal));
  }

  // A reader holds a table of the first item open, so the server's DROP of
  // that day waits: the server is killed in the middle of the deletion.
  auto reader = RootConnection(first);
  Execute(reader.get(), "START TRANSACTION");
  DbRows rows;
  ASSERT_TRUE(reader->Query("SELECT * FROM A" + DaysAgo(3), &rows));
  ASSERT_TRUE(server_.Launch({"-app"}));
  std::string blocked_id;
  ASSERT_TRUE(WaitUntil([&] {
    DbRows waiting = ::zv::testing::RootQuery(
        "SELECT id FROM information_schema.processlist WHERE db = '" + first +
        "' AND info LIKE 'DROP TABLE IF EXISTS%' AND state LIKE 'Waiting for table metadata%'");
    if (waiting.empty()) return false;
    blocked_id = waiting[0].at("id");
    return true;
  }));
  server_.process()->Kill(SIGKILL);
  ASSERT_EQ(server_.WaitExit(std::chrono::seconds(30)), 128 + SIGKILL);
  EXPECT_EQ(Journal(), journal);
  // The dead server's statement must not go on once the reader is done.
  {
    auto admin = RootConnection("");
    (void)admin->Execute("KILL " + blocked_id);
  }
  Execute(reader.get(), "COMMIT");
  reader.reset();
  EXPECT_EQ(DayParts(first, DaysAgo(3)), WholeDay(DaysAgo(3)));

  ASSERT_TRUE(server_.Start()) << server_.Output();
  if (DateChanged()) GTEST_SKIP() << "the date changed during the test";
  EXPECT_EQ(Journal(), "");
  EXPECT_EQ(DayParts(first, DaysAgo(3)), AllDeleted(DaysAgo(3)));
  EXPECT_EQ(DayParts(second, DaysAgo(3)), WholeDay(DaysAgo(3)));
  for (const std::string& storage : storages_) {
    EXPECT_EQ(DayParts(storage, DaysAgo(2)), LogOnlyDeleted(DaysAgo(2))) << storage;
    for (int day : {0, 1, 4}) {
      EXPECT_EQ(DayParts(storage, DaysAgo(day)), WholeDay(DaysAgo(day))) << storage << day;
    }
  }
}

TEST_F(RetentionE2ETest, StopWhileASessionHoldsTheProcessingLockEndsTheMonitorWithoutACheck) {
  WriteTools("DelMethod=2\r\nAlarmValue=0\r\nAutoDelOneDay=0\r\n");
  home_.SetDword("DiskSpaceCheckInterval", 5);
  const std::string storage = storages_[0];
  constexpr uint32_t kDevice = 0x00A1B2C3;
  SampleFiles samples(storage, kDevice, "20101216");
  ASSERT_TRUE(server_.Start()) << server_.Output();
  // The importer of the session's log table waits for this lock, so the
  // session holds the processing lock until it is stopped.
  auto locker = RootConnection(storage);
  Execute(locker.get(), "CREATE TABLE A20101216 (a LONGTEXT)");
  Execute(locker.get(), "LOCK TABLES A20101216 WRITE");
  const size_t checks_started = home_.DebugLogCount("Disk Monitor Check Started!");

  std::thread uploader([&] {
    ApplianceClient client;
    client.set_timeout_ms(60000);
    if (LoginOnce(&client, home_, MakeLogin("user0", "pw", kDevice)).kind !=
        LoginAnswer::Kind::kAccepted) {
      return;
    }
    const std::string content = samples.LogTableA();
    UploadOptions options;
    (void)client.UploadMemory(
        samples.LogTableName("A"), 0,
        std::span<const uint8_t>(reinterpret_cast<const uint8_t*>(content.data()), content.size()),
        options);
  });
  // The importer waits for the lock (on the table, or first on its
  // database): the session holds the processing lock meanwhile.
  EXPECT_TRUE(WaitUntil(
      [&] {
        return !::zv::testing::RootQuery(
                    "SELECT id FROM information_schema.processlist WHERE state LIKE "
                    "'Waiting for%metadata lock' AND (db = '" +
                    storage + "' OR info LIKE '%`" + storage + "`%')")
                    .empty();
      },
      std::chrono::seconds(60)));
  // The next check has begun and is trying for the lock.
  EXPECT_TRUE(
      WaitUntil([&] { return home_.DebugLogCount("Disk Monitor Check Started!") > checks_started; },
                std::chrono::seconds(60)));
  EXPECT_EQ(server_.Stop(std::chrono::seconds(60)), 0);
  uploader.join();
  Execute(locker.get(), "UNLOCK TABLES");

  EXPECT_EQ(home_.DebugLogCount("Disk monitor lock acquired!"), 1u);
  EXPECT_EQ(home_.DebugLogCount("Receive stop event while waiting io lock!"), 1u);
  EXPECT_EQ(home_.DebugLogCount("Disk monitor thread is running, ignored!"), 0u);
  const std::string log = home_.DebugLog();
  const size_t stop = log.find("StopDiskMonitor elapsed ");
  ASSERT_NE(stop, std::string::npos);
  EXPECT_LT(std::stoul(log.substr(stop + 24)), DiskMonitor::kStopWaitMs);
}

}  // namespace
}  // namespace zv::e2e
