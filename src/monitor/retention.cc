#include "monitor/retention.h"

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <filesystem>

#include "config/zv_sync_config.h"
#include "datafiles/sync_position.h"
#include "db/sql_text.h"
#include "db/zv_db_manager.h"
#include "log/log_file.h"
#include "log/sync_log.h"
#include "monitor/disk_monitor.h"
#include "util/file_util.h"
#include "util/server_metrics.h"

namespace zv {
namespace {

// The attachment day folders of a client, below <attachment folder>/<storage>,
// in the order they are deleted.
constexpr const char* kAttachmentDayFolders[] = {
    "/actrace",           "/ips",      "/mailproxy/delaysnd", "/mailproxy/smtplog",
    "/mailproxy/pop3log", "/mailproxy"};

// Intermediate tables of these prefixes carry no date and are never deleted
// by date.
constexpr const char* kUndatedMidPrefixes[] = {"MIDAGA4H", "MIDFGA4H", "MIDUUU4H", "MIDUGU4H"};

// At most this many tables go into one DROP TABLE statement.
constexpr size_t kDropBatch = 100;

// Days before which no calendar date is computed (about 10,000 years).
constexpr uint32_t kMaxDaysBack = 3'650'000;

bool StartsWith(std::string_view text, std::string_view prefix) {
  return text.substr(0, prefix.size()) == prefix;
}

// Up to length characters of text from pos; shorter (or empty) past its end.
std::string_view Part(std::string_view text, size_t pos, size_t length) {
  return pos >= text.size() ? std::string_view() : text.substr(pos, length);
}

bool IsLogTableLetter(char c) {
  if (c < 'A' || c > 'X') return false;
  return std::string_view("DEGHJLNV").find(c) == std::string_view::npos;
}

std::string Printable(const std::string& name) { return PrintableName(name); }

// Connects db to the database of storage; false (logged) for a name that
// is not a retained storage name or a database that cannot be opened.
bool ConnectStorage(const std::string& storage, ZVDBManager* db) {
  if (!IsRetainedStorage(storage)) {
    ZV_LOG_E("Refused unsafe storage name %s!\n", Printable(storage).c_str());
    return false;
  }
  if (!db->Connect(storage)) {
    ZV_LOG_E("Connect mysql %s failed!\n", storage.c_str());
    return false;
  }
  return true;
}

}  // namespace

std::string GetTableDate(std::string_view name, unsigned kinds) {
  std::string upper(name);
  for (char& c : upper) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }
  std::string_view taken;
  if (StartsWith(upper, "MID")) {
    bool undated = false;
    for (const char* prefix : kUndatedMidPrefixes) undated = undated || StartsWith(upper, prefix);
    if ((kinds & kMidTables) != 0 && !undated) taken = Part(upper, 8, 8);
  } else if (StartsWith(upper, "LOGMID")) {
    if ((kinds & kMidTables) != 0) {
      taken = upper.size() > 6 && upper[6] == '_' ? Part(upper, 16, 8) : Part(upper, 6, 8);
    }
  } else if ((kinds & kLogTables) != 0 && !upper.empty() && IsLogTableLetter(upper[0])) {
    taken = Part(upper, 1, 8);
  }
  return IsDateString(taken) ? std::string(taken) : std::string();
}

bool IsRetainedStorage(std::string_view name) {
  return IsSafeFileName(name) && !IsSystemDatabase(name);
}

std::string DeletionRoot(const std::string& root) {
  const std::string trimmed = TrimPathSeparators(root);
  if (trimmed.empty() || trimmed[0] != '/') return std::string();
  // "/a/.." is the root too.
  const std::string normal =
      TrimPathSeparators(std::filesystem::path(trimmed).lexically_normal().string());
  if (normal.empty()) return std::string();
  return trimmed;
}

std::string LocalDate(time_t t) {
  struct tm local {};
  if (localtime_r(&t, &local) == nullptr) return "00000000";
  char text[40];
  std::snprintf(text, sizeof text, "%04d%02d%02d", local.tm_year + 1900, local.tm_mon + 1,
                local.tm_mday);
  return text;
}

std::string LocalDateDaysBefore(time_t t, uint32_t days) {
  // Calendar arithmetic on the local date, so a change of daylight saving
  // time in between cannot move the result by a day.
  struct tm local {};
  if (days > kMaxDaysBack || localtime_r(&t, &local) == nullptr) return "00000000";
  using namespace std::chrono;
  const year_month_day today{year{local.tm_year + 1900},
                             month{static_cast<unsigned>(local.tm_mon + 1)},
                             day{static_cast<unsigned>(local.tm_mday)}};
  const year_month_day then{sys_days(today) - std::chrono::days(days)};
  const int y = static_cast<int>(then.year());
  if (!then.ok() || y < 1) return "00000000";
  char text[40];
  std::snprintf(text, sizeof text, "%04d%02u%02u", y, static_cast<unsigned>(then.month()),
                static_cast<unsigned>(then.day()));
  return text;
}

namespace {

bool IsJournalField(const std::string& text) {
  return !text.empty() && text.find_first_of(" ;") == std::string::npos;
}

bool IsWritableItem(const DeleteItem& item) {
  return IsDateString(item.date) &&
         (item.storage == kAllStorages || IsRetainedStorage(item.storage)) &&
         IsJournalField(item.method);
}

// Pieces of text between separators, empty pieces skipped.
std::vector<std::string_view> SplitSkippingEmpty(std::string_view text, char separator) {
  std::vector<std::string_view> pieces;
  size_t start = 0;
  while (start <= text.size()) {
    size_t end = text.find(separator, start);
    if (end == std::string_view::npos) end = text.size();
    if (end > start) pieces.push_back(text.substr(start, end - start));
    start = end + 1;
  }
  return pieces;
}

}  // namespace

std::string FormatDeleteItems(const DeleteItems& items, std::vector<DeleteItem>* bad) {
  std::string text;
  for (const DeleteItem& item : items) {
    if (!IsWritableItem(item)) {
      if (bad != nullptr) bad->push_back(item);
      continue;
    }
    text += item.date + " " + item.storage + " " + item.method + ";";
  }
  return text;
}

size_t ParseDeleteItems(std::string_view text, DeleteItems* items, std::vector<std::string>* bad) {
  items->clear();
  size_t valid = 0;
  for (std::string_view piece : SplitSkippingEmpty(text, ';')) {
    std::vector<std::string_view> fields = SplitSkippingEmpty(piece, ' ');
    // A storage name that could not have been written (one with '/' or
    // "..", say, from a hand-edited file) never reaches a path.
    if (fields.size() == 3) {
      DeleteItem item{std::string(fields[0]), std::string(fields[1]), std::string(fields[2])};
      if (IsWritableItem(item)) {
        items->insert(std::move(item));
        ++valid;
        continue;
      }
    }
    if (bad != nullptr) bad->emplace_back(piece);
  }
  return valid;
}

Retention::Retention(const DiskMonitor& disks, StorageNames names, Clock clock)
    : disks_(disks), names_(std::move(names)), clock_(std::move(clock)) {}

time_t Retention::Now() const { return clock_ ? clock_() : std::time(nullptr); }

std::string Retention::Today() const { return LocalDate(Now()); }

std::set<std::string> Retention::AllDatabases() const {
  std::set<std::string> names;
  if (!names_) return names;
  for (const std::string& name : names_()) {
    if (name.empty()) continue;
    if (!IsRetainedStorage(name)) {
      ZV_LOG_W("Refused unsafe storage name %s!\n", Printable(name).c_str());
      continue;
    }
    names.insert(name);
  }
  return names;
}

std::string Retention::CheckedRoot(const std::string& configured, bool attachment) {
  std::string root = DeletionRoot(configured);
  const char* what = attachment ? "attachment" : "log data";
  if (root.empty() && warned_roots_.insert(std::string(what) + "=" + configured).second) {
    // Deleting below "", a relative path or "/" would reach the working
    // folder or the whole system.
    const std::string shown = Printable(configured);
    ZV_LOG_W("Unusable %s folder \"%s\", folder deletion skipped!\n", what, shown.c_str());
    if (attachment) {
      ZV_OPLOG(kEventWarning, kModuleDisk,
               "附件文件夹路径\"%s\"无效(为空、相对路径或根目录),已跳过删除附件文件夹!",
               shown.c_str());
    } else {
      ZV_OPLOG(kEventWarning, kModuleDisk,
               "日志数据文件夹路径\"%s\"无效(为空、相对路径或根目录),已跳过删除日志文件夹!",
               shown.c_str());
    }
  }
  return root;
}

std::string Retention::AttachmentRoot() {
  return CheckedRoot(ZVSyncConfig::Instance().GetAttachmentPath(), true);
}

std::string Retention::LogDataRoot() {
  return CheckedRoot(ZVSyncConfig::Instance().GetMysqlDataPath(), false);
}

bool Retention::IsConcreteItem(const DeleteItem& item, const char* operation) const {
  if (IsDateString(item.date) && IsRetainedStorage(item.storage)) return true;
  ZV_LOG_E("%s refused item date:%s dbname:%s!\n", operation, Printable(item.date).c_str(),
           Printable(item.storage).c_str());
  return false;
}

// ---------------------------------------------------------------------------
// Policies

void Retention::CheckLog() {
  ZVSyncConfig& config = ZVSyncConfig::Instance();
  const uint32_t method = config.GetDelMethod();
  if (method == 0) {
    const uint32_t days = config.GetDelDay();
    if (days == 0) {
      ZV_LOG_E("Invalid delete days %u\n", days);
      return;
    }
    const std::string cutoff = LocalDateDaysBefore(Now(), days);
    uint32_t count = 0;
    if (!DeleteLog("", cutoff, 1, &count)) {
      ZV_OPLOG(kEventError, kModuleDisk, "自动删除过期日志失败!");
      ZV_LOG_E("Delete old days log failed!\n");
      return;
    }
    ZV_LOG_I("delete %u days log\n", count);
    if (count != 0) ZV_OPLOG(kEventInfo, kModuleDisk, "已删除%u天过期日志!", count);
  } else if (method == 1) {
    const uint32_t percent = config.GetDelPercent();
    if (percent == 0 || percent >= 100) {
      ZV_LOG_E("Invalid delete percentage %u", percent);
      return;
    }
    DeleteItem seen{"", "", kMethodAll};
    for (;;) {
      bool mysql_ok = false;
      bool file_ok = false;
      if (!disks_.VerifyFreeSpaceByPercent(100 - percent, &mysql_ok, &file_ok)) {
        ZV_LOG_E("VerifyFreeSpaceBySize failed!\n");
        return;
      }
      // Only the MySQL disk counts for this policy.
      if (mysql_ok) return;
      uint32_t count = 0;
      if (!DeleteLog("", "", 0, &count)) {
        ZV_OPLOG(kEventError, kModuleDisk,
                 "Mysql所在磁盘使用空间已超过%u%%,但自动删除最早一天日志失败!", percent);
        return;
      }
      if (count == 0 || last_processed_ == seen) return;
      ZV_OPLOG(kEventInfo, kModuleDisk,
               "Mysql所在磁盘使用空间已超过%u%%,已自动删除最早一天日志数据!", percent);
      ZV_LOG_D("Something has been deleted, rescan now!\n");
      seen = last_processed_;
    }
  } else if (method == 2) {
    ZV_LOG_I("Log delete is not enabled!\n");
  } else {
    ZV_LOG_E("Unknown delete method %u\n", method);
  }
}

void Retention::CheckDisk() {
  const uint32_t alarm = ZVSyncConfig::Instance().GetAlarmValue();
  DeleteItem seen{"", "", kMethodAll};
  for (;;) {
    bool mysql_ok = false;
    bool file_ok = false;
    if (!disks_.VerifyFreeSpaceBySize(alarm, &mysql_ok, &file_ok)) {
      ZV_LOG_E("VerifyFreeSpaceBySize failed!\n");
      return;
    }
    if (!mysql_ok) {
      ZV_LOG_I("Disk of mysql is less than %uMB!\n", alarm);
      ZV_OPLOG(kEventWarning, kModuleDisk, "数据库所在磁盘已不足%uGB!\n", alarm >> 10);
    }
    if (!file_ok) {
      ZV_LOG_I("Disk of attachment is less than %uMB!\n", alarm);
      ZV_OPLOG(kEventWarning, kModuleDisk, "日志附件所在磁盘已不足%uGB!\n", alarm >> 10);
    }
    if (mysql_ok && file_ok) {
      ZV_OPLOG(kEventInfo, kModuleDisk, "磁盘剩余空间未超过告警值!");
      return;
    }
    if (!ZVSyncConfig::Instance().GetAutoDelOneDay()) return;
    ZV_LOG_I("Begin delete one day log!\n");
    ZV_OPLOG(kEventInfo, kModuleDisk, "磁盘剩余空间小于警戒值,将删除最早一天日志!");
    uint32_t count = 0;
    if (!DeleteLog("", "", 0, &count)) {
      ZV_OPLOG(kEventError, kModuleDisk, "自动删除最早一天日志失败!");
      ZV_LOG_E("DeleteOneDayLog failed!\n");
    } else if (count != 0 && last_processed_ != seen) {
      ZV_LOG_D("Something has been deleted, rescan now!\n");
      seen = last_processed_;
      continue;
    }
    ZV_LOG_I("End delete one day log!\n");
    return;
  }
}

void Retention::CheckMidTable() {
  ZVSyncConfig& config = ZVSyncConfig::Instance();
  if (config.GetDelMid() == 0) return;
  const uint32_t days = config.GetAutoDelMidDay();
  if (days == 0) {
    ZV_LOG_E("Invalid midtable delete days %u\n", days);
    return;
  }
  const std::string cutoff = LocalDateDaysBefore(Now(), days);
  for (const std::string& name : AllDatabases()) {
    ZVDBManager db;
    if (!ConnectStorage(name, &db)) {
      // One database that cannot be opened (an account whose first upload
      // has not been imported yet has none) must not keep the intermediate
      // tables of every later one.
      ZV_OPLOG(kEventError, kModuleDisk, "自动删除过期中间表失败!");
      continue;
    }
    std::vector<std::string> expired;
    for (const std::string& table : db.ListTables()) {
      const std::string date = GetTableDate(table, kMidTables);
      if (!date.empty() && date <= cutoff) expired.push_back(table);
    }
    if (expired.empty()) continue;
    if (DeleteTables(name, expired)) {
      ZV_OPLOG(kEventInfo, kModuleDisk, "已自动删除数据库%s中%u天前生成的中间表!", name.c_str(),
               days);
    } else {
      ZV_OPLOG(kEventError, kModuleDisk, "自动删除数据库%s中过期中间表失败!", name.c_str());
    }
  }
}

bool Retention::CheckDeleteAttach(const std::string& storage) {
  if (storage.empty()) {
    for (const std::string& name : AllDatabases()) {
      if (!CheckDeleteAttach(name)) {
        ZV_OPLOG(kEventWarning, kModuleDisk,
                 "清理数据库%s中遗留数据时发生错误,请检查数据库是否存在异常!", name.c_str());
      }
    }
    return true;
  }
  ZVDBManager db;
  if (!ConnectStorage(storage, &db)) return false;
  if (!db.TableExists("AttachInfo")) {
    ZV_LOG_D("%s doesn't have AttachInfo", storage.c_str());
    return true;
  }
  const char* select = "SELECT table_name FROM AttachInfo WHERE file_del = 1";
  DbRows rows;
  if (!db.Query(select, &rows)) {
    ZV_LOG_W("Execute %s failed!err=%s\n", select, db.GetLastErrorText().c_str());
    return false;
  }
  DeleteItems items;
  LoadPendingDeleteItems(&items);
  for (const DbRow& row : rows) {
    auto it = row.find("table_name");
    const std::string name = it == row.end() ? std::string() : it->second;
    if (name.size() != 9) {
      ZV_LOG_D("Unknown table_name %s\n", Printable(name).c_str());
      continue;
    }
    const std::string date = name.substr(1);
    if (!IsDateString(date)) {
      ZV_LOG_D("Invalid date from table_name %s\n", Printable(name).c_str());
      continue;
    }
    items.insert(DeleteItem{date, storage, kMethodLogOnly});
    ZV_LOG_D("Add delete item %s:%s from CheckDeleteAttach()\n", date.c_str(), storage.c_str());
  }
  (void)SavePendingDeleteItems(items);
  return true;
}

// ---------------------------------------------------------------------------
// Selecting days and the journal

bool Retention::DeleteLog(const std::string& storage, const std::string& date, uint32_t condition,
                          uint32_t* count) {
  if (count != nullptr) *count = 0;
  if (!ZVDBManager::TestConnection()) return false;
  if (!date.empty() && !IsDateString(date)) {
    ZV_LOG_E("Unknown date string %s\n", Printable(date).c_str());
    return false;
  }
  if (condition >= 3) {
    ZV_LOG_E("Unknown condition %d\n", static_cast<int>(condition));
    return false;
  }
  if (!storage.empty() && !IsRetainedStorage(storage)) {
    ZV_LOG_E("Refused unsafe storage name %s!\n", Printable(storage).c_str());
    return false;
  }

  std::set<std::string> selected;
  if (date.empty() || condition != 0) {
    std::set<std::string> found;
    CollectLogDates(storage, &found);
    if (date.empty()) {
      if (!found.empty()) selected.insert(*found.begin());
    } else if (condition == 1) {
      selected.insert(found.begin(), found.upper_bound(date));
    } else {
      selected.insert(found.lower_bound(date), found.end());
    }
  } else {
    selected.insert(date);
  }
  // The current day is never deleted.
  selected.erase(Today());

  const uint32_t days = static_cast<uint32_t>(selected.size());
  if (days == 0) {
    ZV_LOG_I("Find nothing to delete!\n");
  } else {
    ZV_LOG_I("Delete %u days' log!\n", days);
  }
  if (count != nullptr) *count = days;

  DeleteItems items;
  LoadPendingDeleteItems(&items);
  for (const std::string& day : selected) {
    items.insert(DeleteItem{day, storage.empty() ? kAllStorages : storage, kMethodAll});
  }
  // Nothing is deleted that is not in the journal first: without it a
  // crash half way would leave a day half deleted for good.
  if (!SavePendingDeleteItems(items) && days != 0) {
    ZV_LOG_E("Save pending delete items failed!\n");
    return false;
  }
  ProcessPendingDeletes();
  return true;
}

size_t Retention::LoadPendingDeleteItems(DeleteItems* items) {
  std::vector<std::string> bad;
  const size_t valid =
      ParseDeleteItems(ZVSyncConfig::Instance().GetPendingDeleteDate(), items, &bad);
  for (const std::string& piece : bad) {
    ZV_LOG_E("Unknown delete item %s\n", Printable(piece).c_str());
  }
  ServerMetrics::Instance().retention_journal_entries.Set(static_cast<int64_t>(items->size()));
  return valid;
}

bool Retention::SavePendingDeleteItems(const DeleteItems& items) {
  std::vector<DeleteItem> bad;
  const std::string text = FormatDeleteItems(items, &bad);
  for (const DeleteItem& item : bad) {
    ZV_LOG_C("Bad delete item format date:%s dbname:%s method:%s", Printable(item.date).c_str(),
             Printable(item.storage).c_str(), Printable(item.method).c_str());
  }
  if (!ZVSyncConfig::Instance().SetPendingDeleteDate(text)) return false;
  ServerMetrics::Instance().retention_journal_entries.Set(static_cast<int64_t>(items.size()));
  return true;
}

void Retention::ProcessPendingDeletes() {
  const std::set<std::string> names = AllDatabases();
  warned_roots_.clear();
  DeleteItems items;
  LoadPendingDeleteItems(&items);
  const std::vector<DeleteItem> order(items.begin(), items.end());
  for (const DeleteItem& item : order) {
    std::vector<DeleteItem> concrete;
    if (item.storage == kAllStorages) {
      if (names.empty()) {
        // No account is known (or the controller is shutting down and
        // answers none): dropping the item now would leave that day on
        // disk for good.
        ZV_LOG_W("No storage name known, delete item %s %s %s kept!\n", item.date.c_str(),
                 item.storage.c_str(), item.method.c_str());
        continue;
      }
      for (const std::string& name : names) {
        concrete.push_back(DeleteItem{item.date, name, item.method});
      }
    } else {
      concrete.push_back(item);
    }
    for (const DeleteItem& one : concrete) {
      (void)DeleteDayData(one);
      (void)DeleteAttachmentFolders(one);
      (void)DeleteLogTableFolder(one);
      ServerMetrics::Instance().retention_day_deletions.Add();
    }
    last_processed_ = item;
    items.erase(item);
    (void)SavePendingDeleteItems(items);
  }
}

size_t Retention::CollectLogDates(const std::string& storage, std::set<std::string>* dates) {
  std::set<std::string> names;
  if (storage.empty()) {
    names = AllDatabases();
  } else if (IsRetainedStorage(storage)) {
    names.insert(storage);
  } else {
    ZV_LOG_E("Refused unsafe storage name %s!\n", Printable(storage).c_str());
  }
  ZVSyncConfig& config = ZVSyncConfig::Instance();
  // Listing below an unusable root would read the working folder; such a
  // root contributes nothing.
  const std::string data_root = DeletionRoot(config.GetMysqlDataPath());
  const std::string attachment_root = DeletionRoot(config.GetAttachmentPath());
  size_t found = 0;
  std::vector<std::string> folders;
  for (const std::string& name : names) {
    if (!data_root.empty()) {
      ListSubdirectories(data_root + "/" + name + "/logtable", "????????", &folders, false);
      for (const std::string& folder : folders) {
        if (!IsDateString(folder)) {
          ZV_LOG_D("Unknown date %s\n", Printable(folder).c_str());
          continue;
        }
        dates->insert(folder);
        ++found;
      }
    }
    if (!attachment_root.empty()) {
      for (const char* sub : kAttachmentDayFolders) {
        ListSubdirectories(attachment_root + "/" + name + sub, "????????", &folders, false);
        for (const std::string& folder : folders) {
          if (!IsDateString(folder)) continue;
          dates->insert(folder);
          ++found;
        }
      }
    }
    ZVDBManager db;
    if (!ConnectStorage(name, &db)) continue;
    for (const std::string& table : db.ListTables()) {
      std::string date = GetTableDate(table, kLogTables | kMidTables);
      if (date.empty()) continue;
      dates->insert(std::move(date));
      ++found;
    }
  }
  return found;
}

// ---------------------------------------------------------------------------
// Deleting one day of one client

bool Retention::DeleteDayData(const DeleteItem& item) {
  if (!IsConcreteItem(item, "DeleteDayData")) return false;
  ZVDBManager db;
  if (!ConnectStorage(item.storage, &db)) return false;
  unsigned kinds = 0;
  if (item.method == kMethodAll) {
    kinds = kLogTables | kMidTables;
  } else if (item.method == kMethodLogOnly) {
    kinds = kLogTables;
  } else {
    ZV_LOG_E("Unknown delete method %s!\n", Printable(item.method).c_str());
  }
  std::vector<std::string> tables;
  if (kinds != 0) {
    for (const std::string& table : db.ListTables()) {
      if (GetTableDate(table, kinds) == item.date) tables.push_back(table);
    }
  }
  if (!tables.empty() && !DeleteTables(item.storage, tables)) {
    ZV_LOG_W("Delete %u tables of %s failed!\n", static_cast<unsigned>(tables.size()),
             item.storage.c_str());
  }
  if (!DeleteOprlog(item.storage, item.date)) {
    ZV_LOG_W("DeleteOprlog date=%s failed!\n", item.date.c_str());
  }
  if (!DeleteTableInfo(item.storage, item.date)) {
    ZV_LOG_W("DeleteTableInfo date=%s failed!\n", item.date.c_str());
  }
  if (!DeleteAttachInfo(item.storage, item.date)) {
    ZV_LOG_W("DeleteAttachInfo date=%s failed!\n", item.date.c_str());
  }
  return true;
}

bool Retention::DeleteTables(const std::string& storage, const std::vector<std::string>& tables) {
  if (storage.empty()) {
    ZV_LOG_E("DeleteTables failed!dbname is empty!\n");
    return false;
  }
  if (tables.empty()) {
    ZV_LOG_E("DeleteTables failed!tables is empty!\n");
    return false;
  }
  ZVDBManager db;
  if (!ConnectStorage(storage, &db)) return false;
  for (size_t start = 0; start < tables.size(); start += kDropBatch) {
    // The names come from the database's own list, but a table made by
    // hand may hold any character: each is quoted as an identifier.
    std::string sql = "DROP TABLE IF EXISTS ";
    const size_t end = std::min(tables.size(), start + kDropBatch);
    for (size_t i = start; i < end; ++i) {
      if (i > start) sql += ",";
      sql += QuoteIdentifier(tables[i]);
    }
    if (!db.Execute(sql)) {
      ZV_LOG_W("Execute %s failed!err=%s\n", sql.c_str(), db.GetLastErrorText().c_str());
      return false;
    }
  }
  return true;
}

bool Retention::DeleteDayRows(const std::string& storage, const char* table,
                              const std::string& statement, bool result_on_failure) {
  ZVDBManager db;
  if (!ConnectStorage(storage, &db)) return false;
  // A database without the table has no rows of the day in it.
  if (!db.TableExists(table)) return true;
  if (!db.Execute(statement)) {
    ZV_LOG_W("Execute %s failed!err=%s\n", statement.c_str(), db.GetLastErrorText().c_str());
    return result_on_failure;
  }
  return true;
}

namespace {

// The argument checks the three row deletions share; false after logging.
bool CheckRowArguments(const char* operation, const std::string& storage, const std::string& date) {
  if (storage.empty()) {
    ZV_LOG_E("%s failed!dbname is empty!\n", operation);
    return false;
  }
  if (!IsDateString(date)) {
    ZV_LOG_E("%s failed!bad date format %s\n", operation, PrintableName(date).c_str());
    return false;
  }
  return true;
}

}  // namespace

bool Retention::DeleteOprlog(const std::string& storage, const std::string& date) {
  if (!CheckRowArguments("DeleteOprlog", storage, date)) return false;
  // record_time values of the day begin "YYYY-MM-DD"; the statement is sent
  // as it always was, with the doubled percent sign and a trailing blank.
  char sql[96];
  std::snprintf(sql, sizeof sql, "DELETE FROM oprlog WHERE record_time like '%.4s-%.2s-%.2s%%%%' ",
                date.c_str(), date.c_str() + 4, date.c_str() + 6);
  return DeleteDayRows(storage, "oprlog", sql, true);
}

bool Retention::DeleteTableInfo(const std::string& storage, const std::string& date) {
  if (!CheckRowArguments("DeleteTableInfo", storage, date)) return false;
  return DeleteDayRows(storage, "TableInfo",
                       "DELETE FROM TableInfo WHERE SUBSTRING(name,2,8)='" + date + "'", false);
}

bool Retention::DeleteAttachInfo(const std::string& storage, const std::string& date) {
  if (!CheckRowArguments("DeleteAttachInfo", storage, date)) return false;
  return DeleteDayRows(storage, "AttachInfo",
                       "DELETE FROM AttachInfo WHERE SUBSTRING(table_name,2,8)='" + date + "'",
                       false);
}

namespace {

// Deletes one day folder; one that cannot be deleted is reported for the
// administrator to remove by hand.
bool DeleteDayFolder(const std::string& path, bool attachment) {
  if (DeletePath(path)) return true;
  const unsigned error = static_cast<unsigned>(errno);
  if (attachment) {
    ZV_OPLOG(kEventWarning, kModuleDisk,
             "删除附件文件夹%s失败!请检查该文件夹是否正在被其他进程使用并手动删除该文件夹!",
             path.c_str());
  } else {
    ZV_OPLOG(kEventWarning, kModuleDisk,
             "删除日志文件夹%s失败!请检查该文件夹是否正在被其他进程使用并手动删除该文件夹!",
             path.c_str());
  }
  ZV_LOG_W("delete %s failed!errno=%u\n", path.c_str(), error);
  return false;
}

}  // namespace

bool Retention::DeleteAttachmentFolders(const DeleteItem& item) {
  if (!IsConcreteItem(item, "DeleteAttachmentFolders")) return true;
  const std::string root = AttachmentRoot();
  if (root.empty()) return true;
  for (const char* sub : kAttachmentDayFolders) {
    const std::string path = root + "/" + item.storage + sub + "/" + item.date;
    ZV_LOG_D("Delete folder %s!\n", path.c_str());
    (void)DeleteDayFolder(path, true);
  }
  return true;
}

bool Retention::DeleteLogTableFolder(const DeleteItem& item) {
  if (!IsConcreteItem(item, "DeleteLogTableFolder")) return false;
  const std::string root = LogDataRoot();
  if (root.empty()) return false;
  return DeleteDayFolder(root + "/" + item.storage + "/logtable/" + item.date, false);
}

}  // namespace zv
