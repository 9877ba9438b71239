// DBInfo against the test MariaDB on 127.0.0.1:811 and the real importer
// (for CreateTable), in a temporary home.
#include "db/db_info.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <set>
#include <string>
#include <vector>

#include "config/zv_sync_config.h"
#include "db/db_test_util.h"
#include "db/loader.h"
#include "db/sql_text.h"
#include "test_util.h"

namespace zv {
namespace {

namespace fs = std::filesystem;
using testing::DbTestHome;
using testing::DbTestRoot;
using testing::LogWatch;
using testing::ReadFileBytes;
using testing::RootQuery;
using testing::WriteFileBytes;

const bool kHomeRegistered = testing::RegisterDbTestHome();

std::string AttachmentFolder() { return DbTestRoot() + "/attach"; }

std::vector<std::string> Sorted(const DbRows& rows, const std::string& column) {
  std::vector<std::string> out;
  for (const DbRow& row : rows) out.push_back(row.at(column));
  std::sort(out.begin(), out.end());
  return out;
}

std::vector<std::string> Tables(const std::string& db) {
  DbRows rows = RootQuery("SHOW TABLES", db);
  std::vector<std::string> out;
  for (const DbRow& row : rows) out.push_back(row.begin()->second);
  std::sort(out.begin(), out.end());
  return out;
}

class DBInfoTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    WriteFileBytes(DbTestHome() + "/config/dbconf.ini",
                   "[DB_CONFIG]\nDbType=3\nSQLUser=\nSQLPWD=\nFilePath=" + AttachmentFolder() + "\n");
    ASSERT_TRUE(ZVSyncConfig::Instance().LoadDbConfig());
    const std::string loader = DbTestHome() + "/Loader.exe";
    unlink(loader.c_str());
    ASSERT_EQ(symlink((testing::ProgramDirectory() + "/Loader.exe").c_str(), loader.c_str()), 0);
    ASSERT_TRUE(Loader::Instance().Init());
  }

  // A fresh database of this test, created empty.
  std::string NewDatabase() {
    std::string db = names_.New();
    RootQuery("CREATE DATABASE " + QuoteIdentifier(db));
    return db;
  }

  // A fresh storage folder below the attachment folder.
  std::string NewStorage() {
    std::string name = testing::UniqueName("st");
    fs::create_directories(AttachmentFolder() + "/" + name);
    return name;
  }

  testing::ScopedDatabaseNames names_;
};

// ---- dirstat cache -------------------------------------------------------

TEST_F(DBInfoTest, DirStatTextIsSizeBlankAndCrcOfLittleEndianBytes) {
  // CRC-32 of the eight little-endian bytes of each size, computed by hand.
  EXPECT_EQ(DBInfo::FormatDirStat(0), "0 6522DF69");
  EXPECT_EQ(DBInfo::FormatDirStat(1), "1 A988DFF7");
  EXPECT_EQ(DBInfo::FormatDirStat(1024), "1024 916DFB7A");
  EXPECT_EQ(DBInfo::FormatDirStat(123456789), "123456789 28DA3A49");
  EXPECT_EQ(DBInfo::FormatDirStat(-1), "-1 2144DF1C");
}

TEST_F(DBInfoTest, DirStatParsing) {
  int64_t size = -5;
  EXPECT_TRUE(DBInfo::ParseDirStat("70001 0F2D0AB8", &size));
  EXPECT_EQ(size, 70001);
  EXPECT_TRUE(DBInfo::ParseDirStat("70001 0f2d0ab8", &size));
  EXPECT_FALSE(DBInfo::ParseDirStat("70001 0F2D0AB9", &size));
  EXPECT_FALSE(DBInfo::ParseDirStat("70002 0F2D0AB8", &size));
  EXPECT_FALSE(DBInfo::ParseDirStat("70001", &size));
  EXPECT_FALSE(DBInfo::ParseDirStat("", &size));
  EXPECT_FALSE(DBInfo::ParseDirStat("size 0F2D0AB8", &size));
  EXPECT_FALSE(DBInfo::ParseDirStat(std::string(100, '1'), &size));
}

TEST_F(DBInfoTest, FolderSizeCountedThenCached) {
  testing::ScopedTempDir dir;
  WriteFileBytes(dir.Sub("day/a.bin"), std::string(1000, 'a'));
  WriteFileBytes(dir.Sub("day/sub/b.bin"), std::string(24, 'b'));
  LogWatch watch;
  EXPECT_EQ(DBInfo::Instance().GetFolderSize(dir.Sub("day")), 1024u);
  EXPECT_EQ(ReadFileBytes(dir.Sub("day/dirstat")), "1024 916DFB7A");
  EXPECT_FALSE(watch.SawDebug("Use exist stat file"));

  // A file added behind the cache's back is not seen: the cache answers.
  WriteFileBytes(dir.Sub("day/c.bin"), std::string(5000, 'c'));
  EXPECT_EQ(DBInfo::Instance().GetFolderSize(dir.Sub("day")), 1024u);
  EXPECT_TRUE(watch.SawDebug("Use exist stat file:" + dir.Sub("day") + " - 1KB"));

  // Once the cache is gone the folder is counted again.
  ASSERT_EQ(unlink(dir.Sub("day/dirstat").c_str()), 0);
  EXPECT_EQ(DBInfo::Instance().GetFolderSize(dir.Sub("day")), 6024u);
}

TEST_F(DBInfoTest, DamagedDirStatReplaced) {
  testing::ScopedTempDir dir;
  WriteFileBytes(dir.Sub("day/a.bin"), std::string(1024, 'a'));
  WriteFileBytes(dir.Sub("day/dirstat"), "999999 0F2D0AB8");  // CRC of another size
  EXPECT_EQ(DBInfo::Instance().GetFolderSize(dir.Sub("day")), 1024u);
  EXPECT_EQ(ReadFileBytes(dir.Sub("day/dirstat")), "1024 916DFB7A");

  WriteFileBytes(dir.Sub("day/dirstat"), "garbage that is not a cache");
  EXPECT_EQ(DBInfo::Instance().GetFolderSize(dir.Sub("day")), 1024u);
  EXPECT_EQ(ReadFileBytes(dir.Sub("day/dirstat")), "1024 916DFB7A");
}

TEST_F(DBInfoTest, FolderSizeOfNonFolderIsZero) {
  testing::ScopedTempDir dir;
  WriteFileBytes(dir.Sub("file"), "abc");
  EXPECT_EQ(DBInfo::Instance().GetFolderSize(dir.Sub("file")), 0u);
  EXPECT_EQ(DBInfo::Instance().GetFolderSize(dir.Sub("missing")), 0u);
  EXPECT_FALSE(testing::FileExists(dir.Sub("missing")));
}

// ---- attachment sizes ----------------------------------------------------

TEST_F(DBInfoTest, AttachmentSizeByTableLetter) {
  const std::string st = NewStorage();
  const std::string base = AttachmentFolder() + "/" + st;
  WriteFileBytes(base + "/ips/20101216/a", std::string(100, 'i'));
  WriteFileBytes(base + "/actrace/20101216/a", std::string(200, 'o'));
  WriteFileBytes(base + "/mailproxy/smtplog/20101216/a", std::string(1, 'm'));
  WriteFileBytes(base + "/mailproxy/pop3log/20101216/a", std::string(10, 'm'));
  WriteFileBytes(base + "/mailproxy/delaysnd/20101216/a", std::string(100, 'm'));
  WriteFileBytes(base + "/mailproxy/20101216/a", std::string(1000, 'm'));
  WriteFileBytes(base + "/ips/20101215/a", std::string(7, 'x'));
  DBInfo& info = DBInfo::Instance();
  EXPECT_EQ(info.GetAttachmentSize(st, "I20101216"), 100u);
  EXPECT_EQ(info.GetAttachmentSize(st, "i20101216"), 100u);  // letter upper-cased
  EXPECT_EQ(info.GetAttachmentSize(st, "O20101216"), 200u);
  EXPECT_EQ(info.GetAttachmentSize(st, "M20101216"), 1111u);
  EXPECT_EQ(info.GetAttachmentSize(st, "I20101215"), 7u);
  EXPECT_EQ(info.GetAttachmentSize(st, "I20101214"), 0u);
  LogWatch watch;
  EXPECT_EQ(info.GetAttachmentSize(st, "X20101216"), 0u);
  EXPECT_EQ(info.GetAttachmentSize(st, "A20101216"), 0u);
  EXPECT_FALSE(watch.SawDebug("Unknown attach table"));
  // Every counted folder got its cache.
  EXPECT_EQ(ReadFileBytes(base + "/ips/20101216/dirstat"), DBInfo::FormatDirStat(100));
  EXPECT_EQ(ReadFileBytes(base + "/mailproxy/20101216/dirstat"), DBInfo::FormatDirStat(1000));
}

TEST_F(DBInfoTest, AttachmentSizeOfMalformedNameIsZeroWithMessage) {
  const std::string st = NewStorage();
  WriteFileBytes(AttachmentFolder() + "/" + st + "/ips/2010121/a", "x");
  DBInfo& info = DBInfo::Instance();
  LogWatch watch;
  EXPECT_EQ(info.GetAttachmentSize(st, "I2010121"), 0u);
  EXPECT_TRUE(watch.SawDebug("Unknown attach table I2010121\n"));
  EXPECT_EQ(info.GetAttachmentSize(st, "I201012161"), 0u);
  EXPECT_TRUE(watch.SawDebug("Unknown attach table I201012161\n"));
  EXPECT_EQ(info.GetAttachmentSize(st, "I2010121a"), 0u);
  EXPECT_TRUE(watch.SawDebug("Unknown attach table I2010121a\n"));
  EXPECT_EQ(info.GetAttachmentSize(st, "I../../..."), 0u);
  EXPECT_EQ(info.GetAttachmentSize(st, ""), 0u);
}

// ---- statistics tables ---------------------------------------------------

TEST_F(DBInfoTest, EnsureTableCreatesMissingTableOnce) {
  ZV_REQUIRE_DATABASE();
  const std::string db = NewDatabase();
  LogWatch watch;
  EXPECT_TRUE(DBInfo::Instance().EnsureTable(db, "TableInfo"));
  EXPECT_TRUE(watch.SawDebug("Create table " + db + ".TableInfo ret=0"));
  EXPECT_EQ(Tables(db), std::vector<std::string>{"TableInfo"});
  LogWatch again;
  EXPECT_TRUE(DBInfo::Instance().EnsureTable(db, "TableInfo"));
  EXPECT_FALSE(again.SawDebug("Create table"));
}

TEST_F(DBInfoTest, EnsureTableWithoutDatabaseFails) {
  ZV_REQUIRE_DATABASE();
  const std::string db = names_.New();  // never created
  LogWatch watch;
  EXPECT_FALSE(DBInfo::Instance().EnsureTable(db, "TableInfo"));
  EXPECT_TRUE(watch.SawDebug("Connect mysql " + db + " failed!"));
  EXPECT_FALSE(DBInfo::Instance().EnsureTable("bad-name", "TableInfo"));
}

TEST_F(DBInfoTest, UpdateTableInfoListsTablesButNotMemTables) {
  ZV_REQUIRE_DATABASE();
  const std::string db = NewDatabase();
  RootQuery("CREATE TABLE A20101216 (id INT PRIMARY KEY, v VARCHAR(100)) ENGINE=InnoDB", db);
  RootQuery("INSERT INTO A20101216 VALUES (1,'x'),(2,'y')", db);
  RootQuery("CREATE TABLE memcache (id INT) ENGINE=MEMORY", db);
  RootQuery("CREATE TABLE members (id INT)", db);
  EXPECT_TRUE(DBInfo::Instance().UpdateTableInfo(db));
  DbRows rows = RootQuery("SELECT name, size FROM TableInfo", db);
  EXPECT_EQ(Sorted(rows, "name"), (std::vector<std::string>{"A20101216", "TableInfo"}));
  // Sizes are data plus index length as the server reports them.
  DbRows status = RootQuery("SHOW TABLE STATUS WHERE Name = 'A20101216'", db);
  ASSERT_EQ(status.size(), 1u);
  const long long expected =
      std::stoll(status[0]["Data_length"]) + std::stoll(status[0]["Index_length"]);
  for (const DbRow& row : rows) {
    if (row.at("name") == "A20101216") {
      EXPECT_EQ(std::stoll(row.at("size")), expected);
    }
  }
  EXPECT_GT(expected, 0);

  // Rewritten completely: a dropped table disappears.
  RootQuery("DROP TABLE A20101216", db);
  EXPECT_TRUE(DBInfo::Instance().UpdateTableInfo(db));
  EXPECT_EQ(Sorted(RootQuery("SELECT name FROM TableInfo", db), "name"),
            std::vector<std::string>{"TableInfo"});
}

TEST_F(DBInfoTest, UpdateTableInfoDuplicateKeyDoesNotStop) {
  ZV_REQUIRE_DATABASE();
  const std::string db = NewDatabase();
  // Table names differ only in case; TableInfo's key does not tell them apart.
  RootQuery("CREATE TABLE Zdup (id INT)", db);
  RootQuery("CREATE TABLE zdup (id INT)", db);
  RootQuery("CREATE TABLE zzz_after (id INT)", db);
  LogWatch watch;
  EXPECT_TRUE(DBInfo::Instance().UpdateTableInfo(db));
  std::vector<std::string> names = Sorted(RootQuery("SELECT name FROM TableInfo", db), "name");
  EXPECT_EQ(names.size(), 3u);
  EXPECT_NE(std::find(names.begin(), names.end(), "zzz_after"), names.end());
  EXPECT_FALSE(watch.SawDebug("Execute insert")) << watch.NewDebug();
}

TEST_F(DBInfoTest, UpdateAttachInfoSetsSizesOfRowsNotDeleted) {
  ZV_REQUIRE_DATABASE();
  const std::string db = NewDatabase();
  ASSERT_TRUE(DBInfo::Instance().EnsureTable(db, "AttachInfo"));
  RootQuery("INSERT INTO AttachInfo VALUES ('I20101216',0,0),('O20101216',0,1),('X20101216',5,0),"
            "('M2010121',0,0)",
            db);
  const std::string base = AttachmentFolder() + "/" + db;
  WriteFileBytes(base + "/ips/20101216/a", std::string(3000, 'i'));
  WriteFileBytes(base + "/actrace/20101216/a", std::string(4000, 'o'));
  LogWatch watch;
  EXPECT_TRUE(DBInfo::Instance().UpdateAttachInfo(db));
  DbRows rows = RootQuery("SELECT table_name, file_size FROM AttachInfo ORDER BY table_name", db);
  ASSERT_EQ(rows.size(), 4u);
  EXPECT_EQ(rows[0]["table_name"], "I20101216");
  EXPECT_EQ(rows[0]["file_size"], "3000");
  EXPECT_EQ(rows[1]["table_name"], "M2010121");
  EXPECT_EQ(rows[1]["file_size"], "0");
  EXPECT_EQ(rows[2]["table_name"], "O20101216");
  EXPECT_EQ(rows[2]["file_size"], "0");  // marked deleted: untouched
  EXPECT_EQ(rows[3]["table_name"], "X20101216");
  EXPECT_EQ(rows[3]["file_size"], "0");
  EXPECT_TRUE(watch.SawDebug("Unknown attach table M2010121"));
}

TEST_F(DBInfoTest, UpdateAttachInfoCreatesMissingTable) {
  ZV_REQUIRE_DATABASE();
  const std::string db = NewDatabase();
  EXPECT_TRUE(DBInfo::Instance().UpdateAttachInfo(db));
  EXPECT_EQ(Tables(db), std::vector<std::string>{"AttachInfo"});
}

TEST_F(DBInfoTest, AllDatabasesReportFailuresAndGoOn) {
  ZV_REQUIRE_DATABASE();
  const std::string good = NewDatabase();
  const std::string missing = names_.New();  // never created
  RootQuery("CREATE TABLE A20101216 (id INT)", good);
  const std::set<std::string> names{good, missing, ""};
  LogWatch watch;
  EXPECT_TRUE(DBInfo::Instance().UpdateTableInfo(names));
  EXPECT_TRUE(watch.SawOplog("统计数据库" + missing +
                             "中数据表及日志文件信息失败,请检查数据库是否存在异常!"));
  EXPECT_FALSE(watch.SawOplog("统计数据库" + good + "中"));
  EXPECT_EQ(Sorted(RootQuery("SELECT name FROM TableInfo", good), "name"),
            (std::vector<std::string>{"A20101216", "TableInfo"}));

  EXPECT_TRUE(DBInfo::Instance().UpdateAttachInfo(names));
  EXPECT_TRUE(watch.SawOplog("统计数据库" + missing + "中附件大小信息失败,请检查数据库是否存在异常!"));
}

TEST_F(DBInfoTest, CleanOldTablesDropsTmpAndMidLeftovers) {
  ZV_REQUIRE_DATABASE();
  const std::string db = NewDatabase();
  for (const char* t : {"A20101216", "A20101216_tmp", "M20101215_mid", "I20101216_tmpx",
                        "tmp_A20101216", "X20101216_old"}) {
    RootQuery(std::string("CREATE TABLE ") + t + " (id INT)", db);
  }
  EXPECT_TRUE(DBInfo::Instance().CleanOldTables(db));
  EXPECT_EQ(Tables(db), (std::vector<std::string>{"A20101216", "X20101216_old", "tmp_A20101216"}));
}

TEST_F(DBInfoTest, CleanOldTablesFailedDropDoesNotStopTheOthers) {
  ZV_REQUIRE_DATABASE();
  const std::string db = NewDatabase();
  // A view is listed among the tables, but DROP TABLE refuses it.
  RootQuery("CREATE VIEW A20101216_tmp AS SELECT 1 AS one", db);
  RootQuery("CREATE TABLE B20101216_tmp (id INT)", db);
  RootQuery("CREATE TABLE C20101216_mid (id INT)", db);
  LogWatch watch;
  EXPECT_TRUE(DBInfo::Instance().CleanOldTables(db));
  EXPECT_TRUE(watch.SawDebug("Execute DROP TABLE A20101216_tmp failed!err="));
  EXPECT_EQ(Tables(db), std::vector<std::string>{"A20101216_tmp"});
}

TEST_F(DBInfoTest, CleanOldTablesForAllDatabases) {
  ZV_REQUIRE_DATABASE();
  const std::string one = NewDatabase();
  const std::string two = NewDatabase();
  RootQuery("CREATE TABLE A20101216_tmp (id INT)", one);
  RootQuery("CREATE TABLE B20101216_mid (id INT)", two);
  RootQuery("CREATE TABLE B20101216 (id INT)", two);
  const std::set<std::string> names{one, two, names_.New()};
  EXPECT_TRUE(DBInfo::Instance().CleanOldTables(names));
  EXPECT_TRUE(Tables(one).empty());
  EXPECT_EQ(Tables(two), std::vector<std::string>{"B20101216"});
}

TEST_F(DBInfoTest, CleanOldTablesFailsWhenServerUnreachable) {
  ZV_REQUIRE_DATABASE();
  SetDatabasePortForTesting(testing::FreeTcpPort());
  LogWatch watch;
  const bool result = DBInfo::Instance().CleanOldTables(std::set<std::string>{"db"});
  SetDatabasePortForTesting(0);
  EXPECT_FALSE(result);
  EXPECT_TRUE(watch.SawDebug("Can't connect to mysql!"));
}

}  // namespace
}  // namespace zv
