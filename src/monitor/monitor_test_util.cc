#include "monitor/monitor_test_util.h"

#include <unistd.h>

#include <algorithm>
#include <climits>

#include "config/zv_sync_config.h"
#include "db/db_manager.h"
#include "db/sql_text.h"
#include "test_util.h"
#include "util/file_util.h"

namespace zv::testing {
namespace {

constexpr const char* kAttachmentSubFolders[] = {
    "actrace", "ips", "mailproxy/delaysnd", "mailproxy/smtplog", "mailproxy/pop3log", "mailproxy"};

void RootExecute(const std::string& database, const std::vector<std::string>& statements) {
  CDBManager db;
  db.SetConnection(std::string(kDefaultDbUser), std::string(kDefaultDbPassword), database);
  for (const std::string& sql : statements) {
    ASSERT_TRUE(db.Execute(sql)) << sql << ": " << db.GetLastErrorText();
  }
}

std::string DashedDate(const std::string& date) {
  return date.substr(0, 4) + "-" + date.substr(4, 2) + "-" + date.substr(6, 2);
}

void Reload() {
  ZVSyncConfig& config = ZVSyncConfig::Instance();
  (void)config.LoadDbConfig();
  (void)config.LoadToolsConfig();
  (void)config.LoadMysqlPath();
}

}  // namespace

RetentionEnvironment::RetentionEnvironment() {
  SetRoots(attachment_root(), DbTestRoot() + "/mysql");
  WriteTools("DelMethod=2\n");
  (void)ZVSyncConfig::Instance().SetPendingDeleteDate("");
}

RetentionEnvironment::~RetentionEnvironment() {
  for (const std::string& storage : storages_) ClearFolders(storage);
  SetRoots(attachment_root(), DbTestRoot() + "/mysql");
  WriteTools("DelMethod=2\n");
  (void)ZVSyncConfig::Instance().SetPendingDeleteDate("");
}

std::string RetentionEnvironment::attachment_root() const { return DbTestRoot() + "/attach"; }
std::string RetentionEnvironment::data_root() const { return DbTestDataDirectory(); }

std::string RetentionEnvironment::NewStorage() {
  storages_.push_back(names_.New());
  RootExecute("", {"CREATE DATABASE " + QuoteIdentifier(storages_.back())});
  return storages_.back();
}

void RetentionEnvironment::Run(const std::string& storage,
                               const std::vector<std::string>& statements) {
  RootExecute(storage, statements);
}

std::vector<std::string> RetentionEnvironment::Column(const std::string& storage,
                                                      const std::string& sql) {
  std::vector<std::string> values;
  for (const DbRow& row : RootQuery(sql, storage)) {
    auto it = row.find("v");
    values.push_back(it == row.end() ? "?" : it->second);
  }
  std::sort(values.begin(), values.end());
  return values;
}

void RetentionEnvironment::DropAllTables(const std::string& storage) {
  std::vector<std::string> drops;
  for (const std::string& table : TablesOf(storage)) {
    drops.push_back("DROP TABLE " + QuoteIdentifier(table));
  }
  Run(storage, drops);
}

void RetentionEnvironment::SeedDayTables(const std::string& storage, const std::string& date,
                                         bool all_kinds) {
  std::vector<std::string> sql = {
      "CREATE TABLE IF NOT EXISTS TableInfo (name VARCHAR(64) PRIMARY KEY, size BIGINT)",
      "CREATE TABLE IF NOT EXISTS AttachInfo (table_name VARCHAR(64) PRIMARY KEY, "
      "file_size BIGINT, file_del INT)",
      "CREATE TABLE IF NOT EXISTS oprlog (record_time VARCHAR(32), action LONGTEXT)",
      "INSERT INTO TableInfo VALUES ('A" + date + "', 10)",
      "INSERT INTO AttachInfo VALUES ('I" + date + "', 10, 0)",
      "INSERT INTO oprlog VALUES ('" + DashedDate(date) + " 00:00:00', 'x'), ('" +
          DashedDate(date) + " 23:59:59', 'y')",
      "CREATE TABLE A" + date + " (a LONGTEXT)",
  };
  if (all_kinds) {
    for (const std::string& table :
         {"U" + date, "o" + date, "D" + date, "MIDABCDE" + date, "LOGMID" + date,
          "LOGMID_123456789" + date, "MIDAGA4H" + date}) {
      sql.push_back("CREATE TABLE " + table + " (a LONGTEXT)");
    }
    sql.push_back("CREATE TABLE IF NOT EXISTS users (a LONGTEXT)");
  }
  Run(storage, sql);
}

void RetentionEnvironment::SeedDayFolders(const std::string& storage, const std::string& date) {
  WriteFileBytes(data_root() + "/" + storage + "/logtable/" + date + "/" + date + "_1530_A.dat",
                 "table");
  for (const char* sub : kAttachmentSubFolders) {
    WriteFileBytes(attachment_root() + "/" + storage + "/" + sub + "/" + date + "/file", "data");
  }
}

std::vector<std::string> RetentionEnvironment::DayFolders(const std::string& storage) const {
  std::vector<std::string> out;
  std::vector<std::string> days;
  ListSubdirectories(data_root() + "/" + storage + "/logtable", "*", &days, false);
  for (const std::string& day : days) out.push_back("logtable/" + day);
  for (const char* sub : kAttachmentSubFolders) {
    ListSubdirectories(attachment_root() + "/" + storage + "/" + sub, "????????", &days, false);
    for (const std::string& day : days) {
      if (IsDateString(day)) out.push_back(std::string(sub) + "/" + day);
    }
  }
  std::sort(out.begin(), out.end());
  return out;
}

std::vector<std::string> RetentionEnvironment::LogTableDays(const std::string& storage) const {
  std::vector<std::string> days;
  ListSubdirectories(data_root() + "/" + storage + "/logtable", "*", &days, false);
  std::sort(days.begin(), days.end());
  return days;
}

void RetentionEnvironment::ClearFolders(const std::string& storage) {
  (void)DeletePath(data_root() + "/" + storage);
  (void)DeletePath(attachment_root() + "/" + storage);
}

void RetentionEnvironment::WriteTools(const std::string& lines) {
  WriteFileBytes(DbTestHome() + "/config/zvtools.ini", "[ZV_CONFIG]\n" + lines);
  Reload();
}

void RetentionEnvironment::SetRoots(const std::string& file_path,
                                    const std::optional<std::string>& mysql_path) {
  WriteFileBytes(DbTestHome() + "/config/dbconf.ini",
                 "[DB_CONFIG]\nDbType=3\nSQLUser=\nSQLPWD=\nFilePath=" + file_path + "\n");
  const std::string ini = DbTestRoot() + "/mysql_path.ini";
  if (mysql_path) {
    WriteFileBytes(ini, "[mysql]\npath=" + *mysql_path + "\n");
  } else {
    (void)DeletePath(ini);
  }
  Reload();
}

std::vector<std::string> TablesOf(const std::string& storage) {
  std::vector<std::string> tables;
  CDBManager db;
  db.SetConnection(std::string(kDefaultDbUser), std::string(kDefaultDbPassword), storage);
  if (db.Open()) tables = db.ListTables();
  std::sort(tables.begin(), tables.end());
  return tables;
}

ScopedCurrentDirectory::ScopedCurrentDirectory(const std::string& path) {
  char buffer[PATH_MAX];
  if (getcwd(buffer, sizeof buffer) != nullptr) previous_ = buffer;
  EXPECT_EQ(chdir(path.c_str()), 0) << path;
}

ScopedCurrentDirectory::~ScopedCurrentDirectory() {
  if (!previous_.empty()) (void)chdir(previous_.c_str());
}

}  // namespace zv::testing
