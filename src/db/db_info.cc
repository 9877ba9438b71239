#include "db/db_info.h"

#include <sys/stat.h>

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <set>
#include <vector>

#include "config/zv_sync_config.h"
#include "db/loader.h"
#include "db/sql_text.h"
#include "db/zv_db_manager.h"
#include "log/log_file.h"
#include "log/sync_log.h"
#include "util/crc.h"
#include "util/file_util.h"

namespace zv {

namespace {

constexpr uint32_t kDuplicateKey = 1062;
constexpr const char* kDirStatName = "/dirstat";
// A cache file is a number, a blank and eight hex digits; anything longer
// is not one.
constexpr size_t kMaxDirStatLength = 64;

// The statement is sent exactly as written: the doubled percent sign is
// part of the pattern, as the statistics have always sent it.
constexpr const char* kTableStatusQuery = "show table status where Name not like \"mem%%\"";

// Names that reach a statement or a folder path: a storage name is a plain
// identifier, as the importer requires of database names.
bool IsUsableDatabase(const std::string& db) { return IsSqlIdentifier(db); }

// A signed 64-bit decimal column value; missing, NULL or not a number is 0.
int64_t ColumnNumber(const DbRow& row, const char* column) {
  auto it = row.find(column);
  if (it == row.end()) return 0;
  const char* text = it->second.c_str();
  char* end = nullptr;
  errno = 0;
  long long value = std::strtoll(text, &end, 10);
  if (end == text || errno != 0) return 0;
  return value;
}

std::string ColumnText(const DbRow& row, const char* column) {
  auto it = row.find(column);
  return it == row.end() ? std::string() : it->second;
}

uint32_t SizeCrc(int64_t size) {
  uint8_t bytes[8];
  const uint64_t value = static_cast<uint64_t>(size);
  for (int i = 0; i < 8; ++i) bytes[i] = static_cast<uint8_t>(value >> (8 * i));
  return CCrc().Compute(bytes, sizeof bytes);
}

bool IsFolder(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

uint64_t RegularFileSize(const std::string& path) {
  struct stat st;
  if (stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return 0;
  return static_cast<uint64_t>(st.st_size);
}

}  // namespace

DBInfo& DBInfo::Instance() {
  static DBInfo instance;
  return instance;
}

std::string DBInfo::FormatDirStat(int64_t size) {
  char text[48];
  std::snprintf(text, sizeof text, "%lld %08X", static_cast<long long>(size), SizeCrc(size));
  return text;
}

bool DBInfo::ParseDirStat(std::string_view text, int64_t* size) {
  if (text.size() > kMaxDirStatLength) return false;
  const std::string terminated(text);
  long long value = 0;
  unsigned crc = 0;
  if (std::sscanf(terminated.c_str(), "%lld %08X", &value, &crc) != 2) return false;
  if (SizeCrc(value) != crc) return false;
  *size = value;
  return true;
}

namespace {

bool SafeNames(const std::string& db, const std::string& table) {
  if (IsUsableDatabase(db) && IsSqlIdentifier(table)) return true;
  ZV_LOG_E("Refused unsafe table %s.%s!\n", db.c_str(), table.c_str());
  return false;
}

// Has the importer create table in db when manager, connected to db, does
// not see it (a failed creation is logged and left to the caller's use).
void CreateIfMissing(const std::string& db, const std::string& table, ZVDBManager* manager) {
  if (!manager->TableExists(table)) {
    const uint32_t ret = Loader::Instance().CreateTable(db, table);
    ZV_LOG_D("Create table %s.%s ret=%d\n", db.c_str(), table.c_str(), static_cast<int>(ret));
  }
}

// Connects manager to db and makes sure of table there.
bool ConnectWithTable(const std::string& db, const std::string& table, ZVDBManager* manager) {
  if (!SafeNames(db, table)) return false;
  if (!manager->Connect(db)) {
    ZV_LOG_E("Connect mysql %s failed!\n", db.c_str());
    return false;
  }
  CreateIfMissing(db, table, manager);
  return true;
}

}  // namespace

bool DBInfo::EnsureTable(const std::string& db, const std::string& table) {
  ZVDBManager manager;
  return ConnectWithTable(db, table, &manager);
}

bool DBInfo::EnsureTable(ZVDBManager* connected, const std::string& db, const std::string& table) {
  if (!SafeNames(db, table)) return false;
  CreateIfMissing(db, table, connected);
  return true;
}

namespace {

// Runs update on each named database; report(name) after each failure.
template <typename Update, typename Report>
void ForEachDatabase(const std::set<std::string>& databases, Update update, Report report) {
  for (const std::string& name : databases) {
    if (!name.empty() && !update(name)) report(name);
  }
}

}  // namespace

bool DBInfo::UpdateTableInfo(const std::set<std::string>& databases) {
  ForEachDatabase(
      databases, [this](const std::string& name) { return UpdateTableInfo(name); },
      [](const std::string& name) {
        ZV_OPLOG(kEventError, kModuleDisk,
                 "统计数据库%s中数据表及日志文件信息失败,请检查数据库是否存在异常!", name.c_str());
      });
  return true;
}

bool DBInfo::UpdateTableInfo(const std::string& db) {
  ZVDBManager manager;
  if (!ConnectWithTable(db, "TableInfo", &manager)) return false;
  DbRows rows;
  if (!manager.Query(kTableStatusQuery, &rows)) {
    ZV_LOG_W("Execute %s failed!err=%s\n", kTableStatusQuery, manager.GetLastErrorText().c_str());
    return false;
  }
  const char* truncate = "TRUNCATE TABLE TableInfo";
  if (!manager.Execute(truncate)) {
    ZV_LOG_W("Execute %s failed!err=%s\n", truncate, manager.GetLastErrorText().c_str());
    return false;
  }
  for (const DbRow& row : rows) {
    const int64_t size = ColumnNumber(row, "Data_length") + ColumnNumber(row, "Index_length");
    // The name is quoted as a string literal (escaped), so even a table
    // name with a quote in it stays one value.
    char number[32];
    std::snprintf(number, sizeof number, "%lld", static_cast<long long>(size));
    const std::string sql = "insert into TableInfo(name, size) values(" +
                            manager.QuoteString(ColumnText(row, "Name")) + "," + number + ")";
    if (!manager.Execute(sql) && manager.GetLastErrorNumber() != kDuplicateKey) {
      ZV_LOG_W("Execute %s failed!err=%s(%d)\n", sql.c_str(), manager.GetLastErrorText().c_str(),
               static_cast<int>(manager.GetLastErrorNumber()));
      return false;
    }
  }
  return true;
}

bool DBInfo::UpdateAttachInfo(const std::set<std::string>& databases) {
  ForEachDatabase(
      databases, [this](const std::string& name) { return UpdateAttachInfo(name); },
      [](const std::string& name) {
        ZV_OPLOG(kEventError, kModuleDisk, "统计数据库%s中附件大小信息失败,请检查数据库是否存在异常!",
                 name.c_str());
      });
  return true;
}

bool DBInfo::UpdateAttachInfo(const std::string& db) {
  ZVDBManager manager;
  if (!ConnectWithTable(db, "AttachInfo", &manager)) return false;
  const char* select = "SELECT table_name from AttachInfo WHERE file_del <> 1";
  DbRows rows;
  if (!manager.Query(select, &rows)) {
    ZV_LOG_W("Execute %s failed!err=%s\n", select, manager.GetLastErrorText().c_str());
    return false;
  }
  for (const DbRow& row : rows) {
    const std::string table_name = ColumnText(row, "table_name");
    const uint64_t size = GetAttachmentSize(db, table_name);
    char head[64];
    std::snprintf(head, sizeof head, "UPDATE AttachInfo set file_size = %lld WHERE table_name = ",
                  static_cast<long long>(size));
    const std::string sql = head + manager.QuoteString(table_name);
    if (!manager.Execute(sql)) {
      ZV_LOG_W("Execute %s failed!err=%s\n", sql.c_str(), manager.GetLastErrorText().c_str());
      return false;
    }
  }
  return true;
}

uint64_t DBInfo::GetAttachmentSize(const std::string& db, const std::string& table_name) {
  const std::string date = table_name.size() == 9 ? table_name.substr(1) : std::string();
  if (!IsDateString(date)) {
    ZV_LOG_E("Unknown attach table %s\n", table_name.c_str());
    return 0;
  }
  const std::string attachment_folder =
      TrimPathSeparators(ZVSyncConfig::Instance().GetAttachmentPath());
  // Without an attachment folder, or for a name that is no folder name,
  // there is nothing to count (and no cache file may be written anywhere).
  if (attachment_folder.empty() || !IsUsableDatabase(db)) return 0;
  const std::string base = attachment_folder + "/" + db;
  std::vector<std::string> folders;
  char letter = table_name[0];
  if (letter >= 'a' && letter <= 'z') letter = static_cast<char>(letter - 'a' + 'A');
  switch (letter) {
    case 'I':
      folders = {base + "/ips/" + date};
      break;
    case 'M':
      folders = {base + "/mailproxy/smtplog/" + date, base + "/mailproxy/pop3log/" + date,
                 base + "/mailproxy/delaysnd/" + date, base + "/mailproxy/" + date};
      break;
    case 'O':
      folders = {base + "/actrace/" + date};
      break;
    default:
      break;
  }
  uint64_t total = 0;
  for (const std::string& folder : folders) total += GetFolderSize(folder);
  return total;
}

uint64_t DBInfo::GetFolderSize(const std::string& folder) {
  if (!IsFolder(folder)) return 0;
  const std::string stat_path = TrimPathSeparators(folder) + kDirStatName;
  if (FILE* in = std::fopen(stat_path.c_str(), "rb")) {
    char text[kMaxDirStatLength + 2];
    const size_t n = std::fread(text, 1, sizeof text, in);
    std::fclose(in);
    int64_t cached = 0;
    if (n <= kMaxDirStatLength && ParseDirStat(std::string_view(text, n), &cached)) {
      ZV_LOG_D("Use exist stat file:%s - %lldKB", folder.c_str(),
               static_cast<long long>(cached / 1024));
      return static_cast<uint64_t>(cached);
    }
  }
  // The cache file itself is not part of the folder's content: a damaged
  // one that is about to be replaced is left out of the count.
  const uint64_t total = GetDirectorySize(folder);
  const uint64_t stale = RegularFileSize(stat_path);
  const uint64_t size = total >= stale ? total - stale : 0;
  if (FILE* out = std::fopen(stat_path.c_str(), "wb")) {
    const std::string text = FormatDirStat(static_cast<int64_t>(size));
    const bool written = std::fwrite(text.data(), 1, text.size(), out) == text.size();
    if (std::fclose(out) != 0 || !written) (void)DeletePath(stat_path);
  }
  return size;
}

bool DBInfo::CleanOldTables(const std::set<std::string>& databases) {
  if (!ZVDBManager::TestConnection()) {
    ZV_LOG_E("Can't connect to mysql!\n");
    return false;
  }
  ForEachDatabase(
      databases, [this](const std::string& name) { return CleanOldTables(name); },
      [](const std::string&) {});
  return true;
}

bool DBInfo::CleanOldTables(const std::string& db) {
  if (!ZVDBManager::TestConnection()) {
    ZV_LOG_E("Can't connect to mysql!\n");
    return false;
  }
  if (!IsUsableDatabase(db)) {
    ZV_LOG_E("Refused unsafe database %s!\n", db.c_str());
    return false;
  }
  ZVDBManager manager;
  if (!manager.Connect(db)) {
    ZV_LOG_E("Connect mysql %s failed!\n", db.c_str());
    return false;
  }
  std::vector<std::string> leftovers;
  for (const char* suffix : {"_tmp", "_mid"}) {
    char sql[160];
    std::snprintf(sql, sizeof sql, "show tables where substring(Tables_in_%s,10,4)='%s'",
                  db.c_str(), suffix);
    DbRows rows;
    if (!manager.Query(sql, &rows)) {
      ZV_LOG_W("Execute %s failed!err=%s\n", sql, manager.GetLastErrorText().c_str());
      continue;
    }
    for (const DbRow& row : rows) {
      // The one column is named Tables_in_<database>.
      if (!row.empty() && !row.begin()->second.empty()) leftovers.push_back(row.begin()->second);
    }
  }
  for (const std::string& name : leftovers) {
    const std::string sql =
        "DROP TABLE " + (IsSqlIdentifier(name) ? name : QuoteIdentifier(name));
    if (!manager.Execute(sql)) {
      ZV_LOG_W("Execute %s failed!err=%s\n", sql.c_str(), manager.GetLastErrorText().c_str());
    }
  }
  return true;
}

}  // namespace zv
