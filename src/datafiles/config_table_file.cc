#include "datafiles/config_table_file.h"

#include <cerrno>

#include "datafiles/sync_position.h"
#include "db/loader.h"
#include "db/sql_text.h"
#include "log/log_file.h"
#include "log/sync_log.h"
#include "util/file_util.h"
#include "util/string_format.h"

namespace zv {

bool ConfigTableFile::CheckSyncPosition() {
  ConfigTableName parsed;
  if (!ParseConfigTableName(file_name(), &parsed)) return false;
  // The table name becomes part of the importer's command line and of its
  // statements.
  if (!IsPlainIdentifier(parsed.table)) {
    ZV_LOG_E("Refused unsafe config table %s!\n", PrintableName(file_name()).c_str());
    return false;
  }
  // Loaded under such a name, the table would replace the storage's
  // statistics or the importer's record of what it loaded.
  if (IsReservedTableName(parsed.table)) {
    ZV_LOG_E("Refused config table %s: the name belongs to the server!\n",
             PrintableName(file_name()).c_str());
    return false;
  }
  return true;
}

std::string ConfigTableFile::GetFilePath(const std::string& name) {
  const std::string storage_folder = StorageFolder();
  if (storage_folder.empty()) return std::string();
  return storage_folder + "/configtable/" + name;
}

bool ConfigTableFile::ProcessFile() {
  ConfigTableName parsed;
  if (!ParseConfigTableName(file_name(), &parsed) || parsed.table.empty()) {
    ZV_LOG_E("Unknown config table %s\n", PrintableName(file_name()).c_str());
    return false;
  }
  const SyncAccountRecord* record = PositionRecord();
  if (record == nullptr) {
    ZV_LOG_E("Sync position not loaded!\n");
    return false;
  }
  const std::string storage(FieldText(record->storageName, sizeof record->storageName));
  // Database and table become "database.table" for the importer, which
  // quotes them into SQL: only plain identifiers go there.
  if (!IsSqlIdentifier(storage) || !IsSqlIdentifier(parsed.table) ||
      IsReservedTableName(parsed.table)) {
    ZV_LOG_E("Refused unsafe import target %s.%s!\n", PrintableName(storage).c_str(),
             PrintableName(parsed.table).c_str());
    return false;
  }
  const std::string target = storage + "." + parsed.table;

  const int started = Loader::Instance().LoadConfigTable(full_path(), target);
  if (started != 0) {
    ZV_LOG_E("Can't load config table!errno=%d\n", started);
    ZV_OPLOG(kEventError, kModuleSync, "启动导入器失败!");
    return false;
  }
  ZV_OPLOG(kEventInfo, kModuleSync, "已启动导入器导入配置表文件!");

  uint32_t exit_code;
  if (!WaitForImporter(&exit_code)) return false;
  if (exit_code != 0) {
    ZV_OPLOG(kEventError, kModuleSync, "导入配置表%s失败!\n", parsed.table.c_str());
    ZV_LOG_E("Load config table %s failded,errno=%d\n", full_path().c_str(),
             static_cast<int>(exit_code));
    return false;
  }
  ZV_LOG_D("Delete config table %s\n", full_path().c_str());
  if (!DeletePath(full_path())) ZV_LOG_W("Delete config table %s failed!\n", full_path().c_str());
  if (!UpdateConfigChecksum()) {
    ZV_LOG_E("Update syncpos failed!\n");
    return false;
  }
  return true;
}

bool ConfigTableFile::UpdateConfigChecksum() {
  return ::zv::UpdateConfigChecksum(position_file(), file_name());
}

}  // namespace zv
