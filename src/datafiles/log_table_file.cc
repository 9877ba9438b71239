#include "datafiles/log_table_file.h"

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "config/zv_sync_config.h"
#include "datafiles/file_list.h"
#include "db/db_info.h"
#include "db/loader.h"
#include "db/sql_text.h"
#include "db/zv_db_manager.h"
#include "log/log_file.h"
#include "log/sync_log.h"
#include "platform/ascii_case.h"
#include "util/file_util.h"
#include "util/string_format.h"

namespace zv {

namespace {

constexpr uint32_t kDuplicateKey = 1062;

std::string DateOf(const DataFileName& name) {
  char date[32];
  std::snprintf(date, sizeof date, "%04u%02u%02u", name.year, name.month, name.day);
  return date;
}

// Milliseconds from *since to now; *since becomes now.
double LapMs(std::chrono::steady_clock::time_point* since) {
  const auto now = std::chrono::steady_clock::now();
  const double ms = std::chrono::duration<double, std::milli>(now - *since).count();
  *since = now;
  return ms;
}

// Copies text into a fixed field, cut to width - 1 bytes and terminated.
template <size_t N>
void CopyField(char (&field)[N], const std::string& text) {
  std::memset(field, 0, N);
  std::memcpy(field, text.data(), text.size() < N - 1 ? text.size() : N - 1);
}

}  // namespace

void LogTableFile::TableNamesOf(const DataFileName& name, std::string* table,
                                std::string* list_name) {
  if (EqualsIgnoringCase(name.kind, "oprlog")) {
    *table = "o" + DateOf(name);
    *list_name = "oprlog";
  } else {
    *table = name.kind + DateOf(name);
    *list_name = *table;
  }
}

std::string LogTableFile::AttachTableNameOf(std::string_view table) {
  std::string result(table);
  if (result.empty()) return result;
  switch (result[0]) {
    case 'M':
    case 'I':
      break;
    case 'P':
    case 'U':
      result[0] = 'O';
      break;
    default:
      result[0] = 'X';
      break;
  }
  return result;
}

std::string LogTableFile::GetFilePath(const std::string& name) {
  DataFileName parsed;
  if (!ParseDataFileName(name, &parsed)) {
    ZV_LOG_E("Can't parse table %s\n", PrintableName(name).c_str());
    return std::string();
  }
  const std::string storage_folder = StorageFolder();
  if (storage_folder.empty()) return std::string();
  return storage_folder + "/logtable/" + DateOf(parsed) + "/" + name;
}

bool LogTableFile::ProcessFile() {
  const SyncAccountRecord* record = PositionRecord();
  if (record == nullptr) {
    ZV_LOG_E("Sync position not loaded!\n");
    return false;
  }
  const std::string database(FieldText(record->storageName, sizeof record->storageName));
  DataFileName parsed;
  if (!ParseDataFileName(file_name(), &parsed)) {
    ZV_LOG_E("Unknown table %s!\n", PrintableName(file_name()).c_str());
    return false;
  }
  std::string table;
  std::string list_name;
  TableNamesOf(parsed, &table, &list_name);

  // Each step's time goes to one debug line at the end.
  auto lap = std::chrono::steady_clock::now();
  if (database.empty() || !CreateDBInfo(database, table)) {
    ZV_LOG_W("CreateDBInfo failed!\n");
    ZV_OPLOG(kEventError, kModuleSync, "生成日志表统计信息失败!");
    return false;
  }
  const double info_ms = LapMs(&lap);
  if (!AppendFileList(full_path(), database, list_name)) {
    ZV_LOG_E("AppendFileList failed!\n");
    ZV_OPLOG(kEventError, kModuleSync, "附加文件列表失败!");
    return false;
  }
  const double list_ms = LapMs(&lap);
  // From here on the slot shows the whole file stored.
  if (!UpdateSyncPosition(false)) {
    ZV_LOG_E("Update syncpos failed!\n");
    return false;
  }
  const double position_ms = LapMs(&lap);

  const int started = Loader::Instance().LoadLogTable(full_path());
  if (started != 0) {
    ZV_LOG_E("Can't load config table!errno=%d\n", started);
    ZV_OPLOG(kEventError, kModuleSync, "启动导入器失败!");
    return false;
  }
  ZV_OPLOG(kEventInfo, kModuleSync, "已启动导入器导入日志表文件!");

  uint32_t exit_code;
  if (!WaitForImporter(&exit_code)) return false;
  ZV_LOG_D("Processed %s: info %.1fms, filelist %.1fms, syncpos %.1fms, loader %.1fms\n",
           file_name().c_str(), info_ms, list_ms, position_ms, LapMs(&lap));
  if (exit_code != 0) {
    ZV_OPLOG(kEventError, kModuleSync, "导入日志表%s失败!\n", list_name.c_str());
    ZV_LOG_E("Load log table %s failded,errno=%d\n", full_path().c_str(),
             static_cast<int>(exit_code));
  }
  return true;
}

bool LogTableFile::CreateDBInfo(const std::string& database, const std::string& table) {
  if (database.empty() || table.empty()) throw 0;
  // Both names are quoted into statements below and handed to the
  // importer: nothing but plain identifiers may get there.
  if (!IsSqlIdentifier(database) || !IsSqlIdentifier(table)) {
    ZV_LOG_E("Refused unsafe table %s.%s!\n", PrintableName(database).c_str(),
             PrintableName(table).c_str());
    return false;
  }
  ZVDBManager db;
  if (!db.Connect(database)) {
    // A client whose first upload is a log table has no database yet: the
    // importer creates it together with the statistics table.
    if (!ZVDBManager::TestConnection() ||
        Loader::Instance().CreateTable(database, "TableInfo") != 0 || !db.Connect(database)) {
      ZV_LOG_E("Connect mysql %s failed!\n", database.c_str());
      return false;
    }
  }
  DBInfo& info = DBInfo::Instance();
  (void)info.EnsureTable(&db, database, "TableInfo");
  (void)info.EnsureTable(&db, database, "AttachInfo");

  char sql[256];
  if (table[0] != 'o') {
    std::snprintf(sql, sizeof sql, "insert into TableInfo values('%s',0)", table.c_str());
    if (!db.Execute(sql) && db.GetLastErrorNumber() != kDuplicateKey) {
      ZV_LOG_W("Execute %s failed!err=%s(%d)\n", sql, db.GetLastErrorText().c_str(),
               static_cast<int>(db.GetLastErrorNumber()));
    }
  }
  const std::string attach = AttachTableNameOf(table);
  std::snprintf(sql, sizeof sql, "insert into AttachInfo values('%s',0,0)", attach.c_str());
  if (!db.Execute(sql) && db.GetLastErrorNumber() != kDuplicateKey) {
    ZV_LOG_W("Execute %s failed!err=%s\n", sql, db.GetLastErrorText().c_str());
  }
  return true;
}

bool LogTableFile::AppendFileList(const std::string& file_path, const std::string& database,
                                  const std::string& list_name) {
  const std::string folder =
      TrimPathSeparators(ZVSyncConfig::Instance().GetMysqlDataPath()) + "/" + database + "/filelist";
  if (!CreateDirectoryTree(folder)) {
    ZV_LOG_E("Create Folder %s failed!\n", folder.c_str());
    return false;
  }
  FileListEntry entry;
  std::memset(&entry, 0, sizeof entry);
  CopyField(entry.path, file_path);
  CopyField(entry.tablename, list_name);
  entry.crc = running_crc();
  entry.time = static_cast<uint32_t>(std::time(nullptr));
  entry.begin = 0;
  entry.end = announced_size();
  // A list that cannot be opened or written fails this file alone (the
  // store has logged why); the appliance sends it again later.
  FileListHandle* handle = filelist_open(folder, "d");
  if (handle == nullptr) return false;
  const int written = filelist_write(entry, handle);
  const int closed = filelist_close(handle);
  return written == 0 && closed == 0;
}

}  // namespace zv
