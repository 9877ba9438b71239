#include "db/zv_db_manager.h"

#include "config/zv_sync_config.h"
#include "log/sync_log.h"

namespace zv {

ZVDBManager::~ZVDBManager() = default;

bool ZVDBManager::Connect(const std::string& database) {
  ZVSyncConfig& config = ZVSyncConfig::Instance();
  SetConnection(config.GetDbUser(), config.GetDbPassword(), database);
  if (!Open()) {
    SetConnection(std::string(kDefaultDbUser), std::string(kDefaultDbPassword), database);
    if (!Open()) {
      ZV_LOG_E("Connect mysql %s failed!\n", database.c_str());
      current_database_.clear();
      return false;
    }
  }
  current_database_ = database;
  return true;
}

bool ZVDBManager::TestConnection() {
  ZVDBManager manager;
  return manager.Connect("");
}

}  // namespace zv
