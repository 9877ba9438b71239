#include "monitor/retention.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <map>
#include <optional>

#include "config/zv_sync_config.h"
#include "db/db_test_util.h"
#include "db/sql_text.h"
#include "monitor/disk_monitor.h"
#include "monitor/monitor_test_util.h"
#include "test_util.h"
#include "util/file_util.h"

namespace zv {
namespace {

using ::zv::testing::FileExists;
using ::zv::testing::LogWatch;
using ::zv::testing::RootQuery;

const bool kHomeRegistered = ::zv::testing::RegisterDbTestHome();

// ---------------------------------------------------------------------------
// Names, dates and the journal text (no database)

TEST(GetTableDateTest, ReadsTheDateWhereEachKindKeepsIt) {
  struct Case {
    const char* name;
    unsigned kinds;
    const char* expected;
  } cases[] = {
      {"A20101216", kLogTables, "20101216"},
      {"a20101216", kLogTables, "20101216"},
      {"O20101216", kLogTables, "20101216"},
      {"X20101216", kLogTables, "20101216"},
      {"A20101216_tmp", kLogTables, "20101216"},
      {"A20101216", kMidTables, ""},
      {"D20101216", kLogTables | kMidTables, ""},
      {"E20101216", kLogTables, ""},
      {"V20101216", kLogTables, ""},
      {"Y20101216", kLogTables, ""},
      {"A2010121", kLogTables, ""},
      {"A2010121x", kLogTables, ""},
      {"TableInfo", kLogTables | kMidTables, ""},
      {"AttachInfo", kLogTables | kMidTables, ""},
      {"", kLogTables | kMidTables, ""},
      {"MIDABCDE20101216", kMidTables, "20101216"},
      {"midabcde20101216", kMidTables, "20101216"},
      {"MIDABCDE20101216", kLogTables, ""},
      {"MIDAGA4H20101216", kLogTables | kMidTables, ""},
      {"midfga4h20101216", kMidTables, ""},
      {"MIDUUU4H20101216", kMidTables, ""},
      {"MIDUGU4H20101216", kMidTables, ""},
      {"MIDABCDE2010", kMidTables, ""},
      {"MID", kMidTables, ""},
      {"LOGMID20101216", kMidTables, "20101216"},
      {"LOGMID20101216xyz", kMidTables, "20101216"},
      {"LOGMID_12345678920101216", kMidTables, "20101216"},
      {"logmid_abcdefghi20101216", kMidTables, "20101216"},
      {"LOGMID_20101216", kMidTables, ""},
      {"LOGMID_", kMidTables, ""},
      {"LOGMID20101216", kLogTables, ""},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(GetTableDate(c.name, c.kinds), c.expected) << c.name << " kinds " << c.kinds;
  }
}

TEST(RetentionNamesTest, OnlyPlainStorageNamesAndAbsoluteRootsAreUsed) {
  struct Case {
    const char* storage;
    bool retained;
  } storages[] = {
      {"shop1", true},  {"zvt_1-2.x", true}, {"", false},     {"..", false},
      {"a/b", false},   {"a b", false},      {"a;b", false},  {"$ALL$", false},
      {"mysql", false}, {"SYS", false},      {"a\\b", false}, {".", false},
  };
  for (const auto& c : storages) EXPECT_EQ(IsRetainedStorage(c.storage), c.retained) << c.storage;

  struct RootCase {
    const char* root;
    const char* expected;
  } roots[] = {
      {"", ""},
      {"/", ""},
      {"//", ""},
      {"\\", ""},
      {"/a/..", ""},
      {"/a/b/../..", ""},
      {"relative/dir", ""},
      {"./x", ""},
      {"/data/attach/", "/data/attach"},
      {"/data", "/data"},
  };
  for (const auto& c : roots) EXPECT_EQ(DeletionRoot(c.root), c.expected) << c.root;
}

time_t LocalTime(int year, int month, int day, int hour = 12) {
  struct tm t {};
  t.tm_year = year - 1900;
  t.tm_mon = month - 1;
  t.tm_mday = day;
  t.tm_hour = hour;
  t.tm_isdst = -1;
  return mktime(&t);
}

TEST(RetentionDatesTest, DaysBeforeAreCalendarDays) {
  struct Case {
    time_t now;
    uint32_t days;
    const char* expected;
  } cases[] = {
      {LocalTime(2010, 12, 16), 0, "20101216"},
      {LocalTime(2010, 12, 16), 30, "20101116"},
      {LocalTime(2010, 12, 16, 0), 30, "20101116"},
      {LocalTime(2010, 12, 16, 23), 30, "20101116"},
      {LocalTime(2012, 3, 1), 1, "20120229"},
      {LocalTime(2011, 1, 1), 1, "20101231"},
      {LocalTime(2010, 12, 16), 4294967295u, "00000000"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(LocalDateDaysBefore(c.now, c.days), c.expected) << c.days;
  }
  EXPECT_EQ(LocalDate(LocalTime(2010, 12, 16, 0)), "20101216");
}

TEST(JournalTextTest, ParsesValidEntriesAndDropsTheRest) {
  struct Case {
    const char* text;
    size_t valid;
    std::vector<DeleteItem> items;
    std::vector<std::string> bad;
  } cases[] = {
      {"20101115 $ALL$ $ALL$;", 1, {{"20101115", "$ALL$", "$ALL$"}}, {}},
      {";;20101115 shop1 $LOGONLY$;;", 1, {{"20101115", "shop1", "$LOGONLY$"}}, {}},
      {"20101115  shop1  $ALL$", 1, {{"20101115", "shop1", "$ALL$"}}, {}},
      {"20101115 $ALL$;", 0, {}, {"20101115 $ALL$"}},
      {"2010111 $ALL$ $ALL$;", 0, {}, {"2010111 $ALL$ $ALL$"}},
      {"20101115 a b c;", 0, {}, {"20101115 a b c"}},
      {"20101115 ../etc $ALL$;20101115 mysql $ALL$;",
       0,
       {},
       {"20101115 ../etc $ALL$", "20101115 mysql $ALL$"}},
      {"20101116 s $ALL$;20101115 s $ALL$;20101116 s $ALL$;",
       3,
       {{"20101115", "s", "$ALL$"}, {"20101116", "s", "$ALL$"}},
       {}},
      {"", 0, {}, {}},
  };
  for (const Case& c : cases) {
    DeleteItems items{{"19990101", "old", "$ALL$"}};
    std::vector<std::string> bad;
    EXPECT_EQ(ParseDeleteItems(c.text, &items, &bad), c.valid) << c.text;
    EXPECT_EQ(std::vector<DeleteItem>(items.begin(), items.end()), c.items) << c.text;
    EXPECT_EQ(bad, c.bad) << c.text;
  }
}

TEST(JournalTextTest, WritesItemsInDateStorageMethodOrder) {
  const DeleteItems items = {{"20101116", "a", "$ALL$"},     {"20101115", "b", "$ALL$"},
                             {"20101115", "a", "$LOGONLY$"}, {"20101115", "a", "$ALL$"},
                             {"20101115", "$ALL$", "$ALL$"}, {"20101115", "a;b", "$ALL$"},
                             {"2010111", "a", "$ALL$"},      {"20101115", "a", ""}};
  std::vector<DeleteItem> bad;
  EXPECT_EQ(FormatDeleteItems(items, &bad),
            "20101115 $ALL$ $ALL$;20101115 a $ALL$;20101115 a $LOGONLY$;20101115 b $ALL$;"
            "20101116 a $ALL$;");
  EXPECT_EQ(bad.size(), 3u);
}

// ---------------------------------------------------------------------------
// Against the test database and real folders

class RetentionTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ZV_REQUIRE_DATABASE();
    env_ = std::make_unique<::zv::testing::RetentionEnvironment>();
    storage_ = env_->NewStorage();
    names_ = {storage_};
    disks_.SetSpaceQueryForTesting([this](const std::string& path, VolumeSpace* out) {
      return space_ ? space_(path, out) : GetVolumeSpace(path, out);
    });
    retention_ = std::make_unique<Retention>(
        disks_, [this] { return names_; }, [this] { return now_; });
  }

  std::vector<std::string> Tables(const std::string& storage) {
    return ::zv::testing::TablesOf(storage);
  }
  std::vector<std::string> Journal() {
    DeleteItems items;
    retention_->LoadPendingDeleteItems(&items);
    std::vector<std::string> out;
    for (const DeleteItem& i : items) out.push_back(i.date + " " + i.storage + " " + i.method);
    return out;
  }

  std::unique_ptr<::zv::testing::RetentionEnvironment> env_;
  std::string storage_;
  std::set<std::string> names_;
  time_t now_ = LocalTime(2010, 12, 16);
  DiskMonitor::SpaceQuery space_;
  DiskMonitor disks_;
  std::unique_ptr<Retention> retention_;
};

TEST_F(RetentionTest, JournalIsStoredAsTheSettingsValueText) {
  ASSERT_TRUE(retention_->SavePendingDeleteItems(
      {{"20101115", "$ALL$", "$ALL$"}, {"20101114", storage_, "$LOGONLY$"}}));
  const std::string file = ::zv::testing::ReadFileBytes(ZVSyncConfig::Instance().store().path());
  EXPECT_NE(file.find("\"PendingDeleteDate\"=\"20101114 " + storage_ +
                      " $LOGONLY$;20101115 $ALL$ $ALL$;\""),
            std::string::npos)
      << file;
  DeleteItems back;
  EXPECT_EQ(retention_->LoadPendingDeleteItems(&back), 2u);
}

TEST_F(RetentionTest, DropsTablesInBatchesOfAHundredAndStopsAtAFailedOne) {
  // 250 tables; the 151st name is too long for the server, so the second
  // batch fails as a whole and the third is never sent.
  std::vector<std::string> tables;
  for (int i = 0; i < 250; ++i) tables.push_back("A20101216_" + std::to_string(1000 + i));
  tables[150] = std::string(70, 'Z');
  std::vector<std::string> create;
  for (const std::string& t : tables) {
    if (t.size() > 64) continue;
    create.push_back("CREATE TABLE " + QuoteIdentifier(t) + " (a INT) ENGINE=MEMORY");
  }
  env_->Run(storage_, create);
  LogWatch log;
  EXPECT_FALSE(retention_->DeleteTables(storage_, tables));
  const std::vector<std::string> left = Tables(storage_);
  std::set<std::string> remaining(left.begin(), left.end());
  for (int i = 0; i < 250; ++i) {
    if (i == 150) continue;
    EXPECT_EQ(remaining.count(tables[i]), i < 100 ? 0u : 1u) << tables[i];
  }
  EXPECT_TRUE(log.SawDebug("Execute DROP TABLE IF EXISTS `A20101216_1100`,"));
  EXPECT_FALSE(log.SawDebug("`A20101216_1200`"));
}

TEST_F(RetentionTest, TableNamesAreQuotedAsIdentifiers) {
  const std::string odd = "A20101216`; DROP TABLE keep; --";
  env_->Run(storage_,
            {"CREATE TABLE " + QuoteIdentifier(odd) + " (a INT)", "CREATE TABLE keep (a INT)"});
  ASSERT_TRUE(retention_->DeleteTables(storage_, {odd}));
  EXPECT_EQ(Tables(storage_), (std::vector<std::string>{"keep"}));
  EXPECT_FALSE(retention_->DeleteTables("", {"keep"}));
  EXPECT_FALSE(retention_->DeleteTables(storage_, {}));
  EXPECT_FALSE(retention_->DeleteTables("../x", {"keep"}));
}

TEST_F(RetentionTest, DeleteDayDataDropsTheTablesOfItsMethodAndTheDaysRows) {
  struct Case {
    const char* method;
    std::vector<std::string> kept;
  } cases[] = {
      {"$LOGONLY$",
       {"A20101215", "AttachInfo", "D20101216", "LOGMID20101216", "LOGMID_12345678920101216",
        "MIDABCDE20101216", "MIDAGA4H20101216", "TableInfo", "oprlog", "users"}},
      {"$ALL$",
       {"A20101215", "AttachInfo", "D20101216", "MIDAGA4H20101216", "TableInfo", "oprlog",
        "users"}},
      {"$SOMETHING$",
       {"A20101215", "A20101216", "AttachInfo", "D20101216", "LOGMID20101216",
        "LOGMID_12345678920101216", "MIDABCDE20101216", "MIDAGA4H20101216", "TableInfo",
        "U20101216", "o20101216", "oprlog", "users"}},
  };
  for (const Case& c : cases) {
    env_->SeedDayTables(storage_, "20101216");
    env_->SeedDayTables(storage_, "20101215", /*all_kinds=*/false);
    EXPECT_TRUE(retention_->DeleteDayData({"20101216", storage_, c.method})) << c.method;
    std::vector<std::string> kept = Tables(storage_);
    EXPECT_EQ(kept, c.kept) << c.method;
    // The rows of the day go whatever the method; the other day's stay.
    EXPECT_EQ(env_->Column(storage_, "SELECT name AS v FROM TableInfo"),
              (std::vector<std::string>{"A20101215"}))
        << c.method;
    EXPECT_EQ(env_->Column(storage_, "SELECT table_name AS v FROM AttachInfo"),
              (std::vector<std::string>{"I20101215"}))
        << c.method;
    EXPECT_EQ(env_->Column(storage_, "SELECT record_time AS v FROM oprlog"),
              (std::vector<std::string>{"2010-12-15 00:00:00", "2010-12-15 23:59:59"}))
        << c.method;
    env_->DropAllTables(storage_);
  }
}

TEST_F(RetentionTest, RowDeletionsRefuseBadArguments) {
  LogWatch log;
  EXPECT_FALSE(retention_->DeleteOprlog("", "20101216"));
  EXPECT_FALSE(retention_->DeleteTableInfo(storage_, "2010121"));
  EXPECT_FALSE(retention_->DeleteAttachInfo(storage_, "2010-1216"));
  EXPECT_FALSE(retention_->DeleteTableInfo("a/../b", "20101216"));
  EXPECT_TRUE(log.SawDebug("DeleteOprlog failed!dbname is empty!"));
  EXPECT_TRUE(log.SawDebug("DeleteTableInfo failed!bad date format 2010121"));
  EXPECT_TRUE(log.SawDebug("DeleteAttachInfo failed!bad date format 2010-1216"));
  // A database without the statistics tables has no rows of the day.
  EXPECT_TRUE(retention_->DeleteTableInfo(storage_, "20101216"));
  EXPECT_TRUE(retention_->DeleteOprlog(storage_, "20101216"));
}

TEST_F(RetentionTest, DayFoldersAreDeletedBelowTheDataRootsOnly) {
  env_->SeedDayFolders(storage_, "20101216");
  env_->SeedDayFolders(storage_, "20101215");
  EXPECT_TRUE(retention_->DeleteAttachmentFolders({"20101216", storage_, "$ALL$"}));
  EXPECT_TRUE(retention_->DeleteLogTableFolder({"20101216", storage_, "$ALL$"}));
  EXPECT_EQ(env_->DayFolders(storage_),
            (std::vector<std::string>{"actrace/20101215", "ips/20101215", "logtable/20101215",
                                      "mailproxy/20101215", "mailproxy/delaysnd/20101215",
                                      "mailproxy/pop3log/20101215", "mailproxy/smtplog/20101215"}));
  // A storage name or date that is not plain never reaches a path.
  EXPECT_FALSE(retention_->DeleteLogTableFolder({"20101215", "..", "$ALL$"}));
  EXPECT_FALSE(retention_->DeleteLogTableFolder({"../../x", storage_, "$ALL$"}));
  EXPECT_EQ(env_->DayFolders(storage_).size(), 7u);
}

TEST_F(RetentionTest, UnusableRootsSkipFolderDeletionWithAWarning) {
  // The same layout below relative folders of the working directory, and
  // roots that are empty, relative or the file-system root.
  ::zv::testing::ScopedTempDir cwd;
  ::zv::testing::ScopedCurrentDirectory in(cwd.path());
  ASSERT_TRUE(CreateDirectoryTree(cwd.Sub("rel/" + storage_ + "/ips/20101216")));
  ASSERT_TRUE(CreateDirectoryTree(cwd.Sub("rel/log_data/" + storage_ + "/logtable/20101216")));
  struct Case {
    std::string file_path;
    std::optional<std::string> mysql_path;  // none: no mysql_path.ini
    bool attachment_unusable;
    bool data_unusable;
  };
  const Case cases[] = {
      {"", std::nullopt, true, true},
      {"rel", "rel", true, true},
      {"/", cwd.path(), true, false},
      {"/tmp/..", cwd.path(), true, false},
  };
  for (const Case& c : cases) {
    env_->SetRoots(c.file_path, c.mysql_path);
    LogWatch log;
    retention_->ProcessPendingDeletes();  // a new pass warns again
    EXPECT_TRUE(retention_->DeleteAttachmentFolders({"20101216", storage_, "$ALL$"}));
    (void)retention_->DeleteLogTableFolder({"20101216", storage_, "$ALL$"});
    EXPECT_EQ(log.SawDebug("Unusable attachment folder"), c.attachment_unusable) << c.file_path;
    EXPECT_EQ(log.SawOplog("已跳过删除附件文件夹!"), c.attachment_unusable) << c.file_path;
    EXPECT_EQ(log.SawDebug("Unusable log data folder"), c.data_unusable) << c.file_path;
    EXPECT_EQ(log.SawOplog("已跳过删除日志文件夹!"), c.data_unusable) << c.file_path;
    EXPECT_TRUE(FileExists(cwd.Sub("rel/" + storage_ + "/ips/20101216"))) << c.file_path;
    EXPECT_TRUE(FileExists(cwd.Sub("rel/log_data/" + storage_ + "/logtable/20101216")))
        << c.file_path;
  }
}

TEST_F(RetentionTest, DeleteLogSelectsDaysByConditionAndNeverToday) {
  struct Case {
    const char* date;
    uint32_t condition;
    bool ok;
    uint32_t count;
    std::vector<std::string> left;
  } cases[] = {
      {"", 0, true, 1, {"20101214", "20101215", "20101216", "20101217"}},
      {"", 2, true, 1, {"20101214", "20101215", "20101216", "20101217"}},
      {"20101214", 0, true, 1, {"20101213", "20101215", "20101216", "20101217"}},
      {"20101214", 1, true, 2, {"20101215", "20101216", "20101217"}},
      {"20101215", 2, true, 2, {"20101213", "20101214", "20101216"}},
      {"20101216", 0, true, 0, {"20101213", "20101214", "20101215", "20101216", "20101217"}},
      {"2010121", 0, false, 0, {"20101213", "20101214", "20101215", "20101216", "20101217"}},
      {"20101216", 3, false, 0, {"20101213", "20101214", "20101215", "20101216", "20101217"}},
  };
  for (const Case& c : cases) {
    for (const char* day : {"20101213", "20101214", "20101215", "20101216", "20101217"}) {
      env_->SeedDayFolders(storage_, day);
    }
    uint32_t count = 99;
    EXPECT_EQ(retention_->DeleteLog("", c.date, c.condition, &count), c.ok) << c.date;
    EXPECT_EQ(count, c.count) << c.date << " " << c.condition;
    EXPECT_EQ(env_->LogTableDays(storage_), c.left) << c.date << " " << c.condition;
    EXPECT_TRUE(Journal().empty());
  }
  // Only today left: nothing selected, true, count 0.
  env_->ClearFolders(storage_);
  env_->SeedDayFolders(storage_, "20101216");
  LogWatch log;
  uint32_t count = 99;
  EXPECT_TRUE(retention_->DeleteLog("", "", 0, &count));
  EXPECT_EQ(count, 0u);
  EXPECT_TRUE(log.SawDebug("Find nothing to delete!"));
}

TEST_F(RetentionTest, DelDayKeepsTheLastDaysAndDeletesUpToTheCutoff) {
  for (const char* day : {"20101115", "20101116", "20101117", "20101216"}) {
    env_->SeedDayFolders(storage_, day);
  }
  env_->WriteTools("DelMethod=0\nDelDay=30\n");
  LogWatch log;
  retention_->CheckLog();
  EXPECT_EQ(env_->LogTableDays(storage_), (std::vector<std::string>{"20101117", "20101216"}));
  EXPECT_TRUE(log.SawDebug("delete 2 days log"));
  EXPECT_TRUE(log.SawOplog("已删除2天过期日志!"));
}

TEST_F(RetentionTest, LogPolicySettingsThatAreRejected) {
  struct Case {
    const char* tools;
    const char* message;
  } cases[] = {
      {"DelMethod=0\nDelDay=0\n", "Invalid delete days 0"},
      {"DelMethod=1\nDelPercent=0\n", "Invalid delete percentage 0"},
      {"DelMethod=1\nDelPercent=100\n", "Invalid delete percentage 100"},
      {"DelMethod=2\n", "Log delete is not enabled!"},
      {"DelMethod=7\n", "Unknown delete method 7"},
  };
  for (const Case& c : cases) {
    env_->SeedDayFolders(storage_, "20101101");
    env_->WriteTools(c.tools);
    LogWatch log;
    retention_->CheckLog();
    EXPECT_TRUE(log.SawDebug(c.message)) << c.tools;
    EXPECT_EQ(env_->LogTableDays(storage_), (std::vector<std::string>{"20101101"})) << c.tools;
  }
}

// A disk whose available space grows with every day deleted: 20 % of it
// per day folder of the storage that is left.
DiskMonitor::SpaceQuery FillingDisk(::zv::testing::RetentionEnvironment* env,
                                    const std::string& storage, uint64_t total_mib) {
  return [=](const std::string&, VolumeSpace* out) {
    const uint64_t days = env->LogTableDays(storage).size();
    const uint64_t used = std::min<uint64_t>(100, days * 20);
    out->total_bytes = total_mib << 20;
    out->available_bytes = out->free_bytes = ((100 - used) * total_mib / 100) << 20;
    return true;
  };
}

TEST_F(RetentionTest, PercentPolicyDeletesOldestDaysUntilTheDiskIsBelowTheLimit) {
  for (const char* day : {"20101212", "20101213", "20101214", "20101215", "20101216"}) {
    env_->SeedDayFolders(storage_, day);
  }
  space_ = FillingDisk(env_.get(), storage_, 1000);
  env_->WriteTools("DelMethod=1\nDelPercent=50\n");
  LogWatch log;
  retention_->CheckLog();
  // 5 days: 0 % free; 4: 20 %; 3: 40 %; 2: 60 % > 50 %.
  EXPECT_EQ(env_->LogTableDays(storage_), (std::vector<std::string>{"20101215", "20101216"}));
  EXPECT_TRUE(log.SawOplog("Mysql所在磁盘使用空间已超过50%,已自动删除最早一天日志数据!"));
  EXPECT_EQ(retention_->last_processed(), (DeleteItem{"20101214", "$ALL$", "$ALL$"}));
}

TEST_F(RetentionTest, AlarmDeletesOneDayPerPassOldestFirstAndStopsAtToday) {
  struct Case {
    const char* tools;
    uint64_t total_mib;
    std::vector<std::string> left;
    const char* oplog;
  } cases[] = {
      // 1000 MiB less 200 MiB per day left: a 100 MiB alarm is met with
      // 4 days left, a 300 MiB one with 3.
      {"AlarmValue=100\nAutoDelOneDay=1\n",
       1000,
       {"20101213", "20101214", "20101215", "20101216"},
       "数据库所在磁盘已不足0GB!"},
      {"AlarmValue=300\nAutoDelOneDay=1\n",
       1000,
       {"20101214", "20101215", "20101216"},
       "磁盘剩余空间未超过告警值!"},
      // Above the whole disk: only today stays.
      {"AlarmValue=5000\nAutoDelOneDay=1\n", 1000, {"20101216"}, "日志附件所在磁盘已不足4GB!"},
      // No automatic deletion: warnings only.
      {"AlarmValue=5000\nAutoDelOneDay=0\n",
       1000,
       {"20101212", "20101213", "20101214", "20101215", "20101216"},
       "数据库所在磁盘已不足4GB!"},
      // Alarm value 0: always fine.
      {"AlarmValue=0\nAutoDelOneDay=1\n",
       1000,
       {"20101212", "20101213", "20101214", "20101215", "20101216"},
       "磁盘剩余空间未超过告警值!"},
  };
  for (const Case& c : cases) {
    for (const char* day : {"20101212", "20101213", "20101214", "20101215", "20101216"}) {
      env_->SeedDayFolders(storage_, day);
    }
    space_ = FillingDisk(env_.get(), storage_, c.total_mib);
    env_->WriteTools(c.tools);
    LogWatch log;
    retention_->CheckDisk();
    EXPECT_EQ(env_->LogTableDays(storage_), c.left) << c.tools;
    EXPECT_TRUE(log.SawOplog(c.oplog)) << c.tools;
    // Oldest first, one per pass.
    const std::string debug = log.NewDebug();
    size_t last = 0;
    for (const char* day : {"20101212", "20101213", "20101214", "20101215"}) {
      const size_t at = debug.find("actrace/" + std::string(day) + "!");
      if (at == std::string::npos) continue;
      EXPECT_GT(at, last) << day;
      last = at;
    }
    env_->ClearFolders(storage_);
  }
}

TEST_F(RetentionTest, ExpiredIntermediateTablesGoInEveryDatabase) {
  // A database that cannot be opened comes first in name order and does
  // not keep the others' tables.
  const std::string second = env_->NewStorage();
  names_ = {"aaa_missing_" + storage_, storage_, second};
  for (const std::string& s : {storage_, second}) {
    env_->Run(s, {"CREATE TABLE MIDABCDE20101115 (a INT)", "CREATE TABLE MIDABCDE20101116 (a INT)",
                  "CREATE TABLE LOGMID20101101 (a INT)", "CREATE TABLE A20101101 (a INT)",
                  "CREATE TABLE MIDAGA4H20100101 (a INT)"});
  }
  env_->WriteTools("DelMid=1\nAutoDelMidDay=31\n");  // cutoff 20101115
  LogWatch log;
  retention_->CheckMidTable();
  for (const std::string& s : {storage_, second}) {
    EXPECT_EQ(Tables(s),
              (std::vector<std::string>{"A20101101", "MIDABCDE20101116", "MIDAGA4H20100101"}))
        << s;
    EXPECT_TRUE(log.SawOplog("已自动删除数据库" + s + "中31天前生成的中间表!")) << s;
  }
  EXPECT_TRUE(log.SawOplog("自动删除过期中间表失败!"));

  env_->WriteTools("DelMid=1\nAutoDelMidDay=0\n");
  retention_->CheckMidTable();
  EXPECT_TRUE(log.SawDebug("Invalid midtable delete days 0"));
}

TEST_F(RetentionTest, MarkedAttachmentDaysBecomeLogOnlyItems) {
  env_->Run(storage_,
            {"CREATE TABLE AttachInfo (table_name VARCHAR(64) PRIMARY KEY, file_size BIGINT, "
             "file_del INT)",
             "INSERT INTO AttachInfo VALUES ('I20101214',1,1),('M20101213',1,1),"
             "('I20101215',1,0),('Iabcdefgh',0,1),('I2010',0,1)"});
  LogWatch log;
  EXPECT_TRUE(retention_->CheckDeleteAttach(""));
  EXPECT_EQ(Journal(), (std::vector<std::string>{"20101213 " + storage_ + " $LOGONLY$",
                                                 "20101214 " + storage_ + " $LOGONLY$"}));
  EXPECT_TRUE(log.SawDebug("Invalid date from table_name Iabcdefgh"));
  EXPECT_TRUE(log.SawDebug("Unknown table_name I2010"));
  // Carrying them out removes the marked rows too.
  retention_->ProcessPendingDeletes();
  EXPECT_TRUE(Journal().empty());
  EXPECT_EQ(env_->Column(storage_, "SELECT table_name AS v FROM AttachInfo"),
            (std::vector<std::string>{"I2010", "I20101215", "Iabcdefgh"}));
}

TEST_F(RetentionTest, AllItemIsCarriedOutForEveryStorageAndRecordedOnce) {
  const std::string second = env_->NewStorage();
  names_ = {storage_, second};
  for (const std::string& s : names_) {
    env_->SeedDayFolders(s, "20101214");
    env_->SeedDayFolders(s, "20101215");
  }
  ASSERT_TRUE(retention_->SavePendingDeleteItems({{"20101214", "$ALL$", "$ALL$"}}));
  retention_->ProcessPendingDeletes();
  for (const std::string& s : names_) {
    EXPECT_EQ(env_->LogTableDays(s), (std::vector<std::string>{"20101215"})) << s;
  }
  EXPECT_EQ(retention_->last_processed(), (DeleteItem{"20101214", "$ALL$", "$ALL$"}));

  ASSERT_TRUE(retention_->SavePendingDeleteItems({{"20101215", second, "$ALL$"}}));
  retention_->ProcessPendingDeletes();
  EXPECT_EQ(env_->LogTableDays(storage_), (std::vector<std::string>{"20101215"}));
  EXPECT_TRUE(env_->LogTableDays(second).empty());
  EXPECT_EQ(retention_->last_processed(), (DeleteItem{"20101215", second, "$ALL$"}));
  EXPECT_TRUE(Journal().empty());
}

TEST_F(RetentionTest, AllItemWaitsWhileNoStorageIsKnown) {
  names_.clear();
  ASSERT_TRUE(retention_->SavePendingDeleteItems(
      {{"20101214", "$ALL$", "$ALL$"}, {"20101215", storage_, "$ALL$"}}));
  env_->SeedDayFolders(storage_, "20101215");
  retention_->ProcessPendingDeletes();
  EXPECT_EQ(Journal(), (std::vector<std::string>{"20101214 $ALL$ $ALL$"}));
  EXPECT_TRUE(env_->LogTableDays(storage_).empty());
  names_ = {storage_};
  retention_->ProcessPendingDeletes();
  EXPECT_TRUE(Journal().empty());
}

}  // namespace
}  // namespace zv
