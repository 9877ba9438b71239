#include "config/zv_sync_config.h"

#include <cerrno>

#include "config/ini_file.h"
#include "crashdump/fatal_stop.h"
#include "log/log_file.h"
#include "log/sync_log.h"
#include "platform/process.h"
#include "util/file_util.h"

namespace zv {
namespace {

constexpr char kDbConfigFile[] = "/config/dbconf.ini";
constexpr char kDbConfigSection[] = "DB_CONFIG";
constexpr char kToolsConfigFile[] = "/config/zvtools.ini";
constexpr char kToolsConfigSection[] = "ZV_CONFIG";
constexpr char kMysqlPathFile[] = "/../mysql_path.ini";
constexpr char kMysqlPathSection[] = "mysql";
constexpr char kDataFolderName[] = "/log_data";

// Loads an ini file; a failure is logged, with failure_text in the
// operation log.
bool LoadIni(const std::string& path, const char* failure_text, IniFile* ini) {
  const int ret = ini->Load(path);
  if (ret == 0) return true;
  ZV_LOG_E("Load %s failed!ret=%d\n", path.c_str(), ret);
  ZV_OPLOG(kEventError, kModuleSync, "%s", failure_text);
  return false;
}

}  // namespace

ZVSyncConfig& ZVSyncConfig::Instance() {
  static ZVSyncConfig* const instance = new ZVSyncConfig();
  return *instance;
}

std::unique_ptr<ZVSyncConfig> ZVSyncConfig::CreateForTesting() {
  return std::unique_ptr<ZVSyncConfig>(new ZVSyncConfig());
}

ZVSyncConfig::ZVSyncConfig() {
  home_ = HomeDirectory();
  account_file_path_ = TrimPathSeparators(home_ + "/config/syncaccount.dat");
  sync_pos_directory_ = TrimPathSeparators(home_ + "/config/syncpos/");

  store_ = SettingsStore::Open(SettingsStore::DefaultPath(home_));
  if (!store_) {
    const unsigned error = static_cast<unsigned>(errno);
    ZV_LOG_C("Open and create key faile!errno=%u\n", error);
    FatalStop("创建Zentrovane注册表键值失败!\n");
  }
  (void)store_->WriteString("ProcessDirectory", home_);
}

// Reading a value needs no lock of ours: the store reads the whole file
// each time and every change replaces the file at once. Only writing the
// default of a missing value is serialised, so two first readers do not
// both write it.
uint32_t ZVSyncConfig::ReadDword(const std::string& name, uint32_t default_value) {
  if (std::optional<uint32_t> value = store_->ReadDword(name)) return *value;
  std::lock_guard<std::recursive_mutex> lock(mu_);
  if (std::optional<uint32_t> value = store_->ReadDword(name)) return *value;
  (void)store_->WriteDword(name, default_value);
  return default_value;
}

std::string ZVSyncConfig::ReadString(const std::string& name, const std::string& default_value) {
  if (std::optional<std::string> value = store_->ReadString(name)) return *value;
  std::lock_guard<std::recursive_mutex> lock(mu_);
  if (std::optional<std::string> value = store_->ReadString(name)) return *value;
  (void)store_->WriteString(name, default_value);
  return default_value;
}

bool ZVSyncConfig::WriteString(const std::string& name, const std::string& text) {
  std::lock_guard<std::recursive_mutex> lock(mu_);
  return store_->WriteString(name, text);
}

uint16_t ZVSyncConfig::GetSyncPort() { return static_cast<uint16_t>(ReadDword("SyncPort", 810)); }
uint16_t ZVSyncConfig::GetUIPort() { return static_cast<uint16_t>(ReadDword("UIPort", 812)); }
std::string ZVSyncConfig::GetUIAllowedAddresses() { return ReadString("UIAllowedAddresses", ""); }
uint32_t ZVSyncConfig::GetCompressLevel() { return ReadDword("CompressLevel", 9); }
uint32_t ZVSyncConfig::GetEnableClientIP() { return ReadDword("EnableClientIP", 0); }
uint32_t ZVSyncConfig::GetEnableSystemInfo() { return ReadDword("EnableSystemInfo", 0); }
uint32_t ZVSyncConfig::GetLogLevel() { return ReadDword("LogLevel", 0xFFFFFFFFu); }
uint32_t ZVSyncConfig::GetDisableWatchDog() { return ReadDword("DisableWatchDog", 0); }
uint32_t ZVSyncConfig::GetMinimumRequiredDiskSpace() {
  return ReadDword("MinimumRequiredDiskSpace", 5120);
}
uint32_t ZVSyncConfig::GetDiskSpaceCheckInterval() {
  return ReadDword("DiskSpaceCheckInterval", 14400);
}
uint32_t ZVSyncConfig::GetEnableMetrics() { return ReadDword("EnableMetrics", 0); }
std::string ZVSyncConfig::GetMetricsAddress() { return ReadString("MetricsAddress", "127.0.0.1"); }
uint16_t ZVSyncConfig::GetMetricsPort() {
  return static_cast<uint16_t>(ReadDword("MetricsPort", 9810));
}
std::string ZVSyncConfig::GetPendingDeleteDate() { return ReadString("PendingDeleteDate", ""); }
bool ZVSyncConfig::SetPendingDeleteDate(const std::string& text) {
  return WriteString("PendingDeleteDate", text);
}

// The three loaders read and parse their file without holding the lock
// (every session reads the values under it) and swap the result in under
// it; a file that cannot be read leaves the empty values, as before.
bool ZVSyncConfig::LoadDbConfig() {
  DbConfig db;
  IniFile ini;
  const bool loaded = LoadIni(home_ + kDbConfigFile, "读取数据库配置文件失败!", &ini);
  if (loaded) {
    db.db_type = ini.GetUInt(kDbConfigSection, "DbType", 1);
    db.sql_port = ini.GetString(kDbConfigSection, "SQLPort", "");
    db.sql_server = ini.GetString(kDbConfigSection, "SQLServer", "");
    db.sql_user = ini.GetString(kDbConfigSection, "SQLUser", "");
    db.sql_password = DecryptPassword(ini.GetString(kDbConfigSection, "SQLPWD", ""));
    db.file_path = TrimPathSeparators(ini.GetString(kDbConfigSection, "FilePath", ""));
    // A folder that cannot be created is reported by whoever writes into it.
    if (!db.file_path.empty()) (void)CreateDirectoryTree(db.file_path);
  }
  std::lock_guard<std::recursive_mutex> lock(mu_);
  db_ = std::move(db);
  return loaded;
}

bool ZVSyncConfig::LoadToolsConfig() {
  ToolsConfig tools;
  IniFile ini;
  const bool loaded = LoadIni(home_ + kToolsConfigFile, "读取Zentrovane配置文件失败!", &ini);
  if (loaded) {
    tools.alarm_value = ini.GetUInt(kToolsConfigSection, "AlarmValue", 0);
    tools.auto_del_one_day = ini.GetUInt(kToolsConfigSection, "AutoDelOneDay", 0);
    tools.encode_attach = ini.GetUInt(kToolsConfigSection, "EncodeAttach", 0);
    tools.del_method = ini.GetUInt(kToolsConfigSection, "DelMethod", 0);
    tools.del_day = ini.GetUInt(kToolsConfigSection, "DelDay", 0);
    tools.del_percent = ini.GetUInt(kToolsConfigSection, "DelPercent", 0);
    tools.del_mid = ini.GetUInt(kToolsConfigSection, "DelMid", 0);
    tools.auto_del_mid_day = ini.GetUInt(kToolsConfigSection, "AutoDelMidDay", 0);
  }
  std::lock_guard<std::recursive_mutex> lock(mu_);
  tools_ = tools;
  return loaded;
}

bool ZVSyncConfig::LoadMysqlPath() {
  std::string data_path;
  IniFile ini;
  const bool loaded = LoadIni(home_ + kMysqlPathFile, "获取数据库安装路径失败!", &ini);
  if (loaded) {
    const std::string mysql_folder =
        TrimPathSeparators(ini.GetString(kMysqlPathSection, "path", ""));
    data_path = mysql_folder + kDataFolderName;
    // Without a MySQL folder the path is "/log_data" at the root of the file
    // system; it is kept as the value, but a folder at the root is not
    // created behind the operator's back.
    if (!mysql_folder.empty()) (void)CreateDirectoryTree(data_path);
  }
  std::lock_guard<std::recursive_mutex> lock(mu_);
  mysql_data_path_ = std::move(data_path);
  return loaded;
}

std::string ZVSyncConfig::GetDbUser() {
  std::lock_guard<std::recursive_mutex> lock(mu_);
  return db_.sql_user;
}

std::string ZVSyncConfig::GetDbPassword() {
  std::lock_guard<std::recursive_mutex> lock(mu_);
  return db_.sql_password;
}

std::string ZVSyncConfig::GetAttachmentPath() {
  std::lock_guard<std::recursive_mutex> lock(mu_);
  return db_.file_path;
}

DbConfig ZVSyncConfig::GetDbConfig() {
  std::lock_guard<std::recursive_mutex> lock(mu_);
  return db_;
}

uint32_t ZVSyncConfig::GetAlarmValue() {
  std::lock_guard<std::recursive_mutex> lock(mu_);
  return tools_.alarm_value;
}

bool ZVSyncConfig::GetAutoDelOneDay() {
  std::lock_guard<std::recursive_mutex> lock(mu_);
  return tools_.auto_del_one_day != 0;
}

bool ZVSyncConfig::GetEncodeAttach() {
  std::lock_guard<std::recursive_mutex> lock(mu_);
  return tools_.encode_attach != 0;
}

uint32_t ZVSyncConfig::GetDelMethod() {
  std::lock_guard<std::recursive_mutex> lock(mu_);
  return tools_.del_method;
}

uint32_t ZVSyncConfig::GetDelDay() {
  std::lock_guard<std::recursive_mutex> lock(mu_);
  return tools_.del_day;
}

uint32_t ZVSyncConfig::GetDelPercent() {
  std::lock_guard<std::recursive_mutex> lock(mu_);
  return tools_.del_percent;
}

uint32_t ZVSyncConfig::GetDelMid() {
  std::lock_guard<std::recursive_mutex> lock(mu_);
  return tools_.del_mid;
}

uint32_t ZVSyncConfig::GetAutoDelMidDay() {
  std::lock_guard<std::recursive_mutex> lock(mu_);
  return tools_.auto_del_mid_day;
}

ToolsConfig ZVSyncConfig::GetToolsConfig() {
  std::lock_guard<std::recursive_mutex> lock(mu_);
  return tools_;
}

std::string ZVSyncConfig::GetMysqlDataPath() {
  std::lock_guard<std::recursive_mutex> lock(mu_);
  return mysql_data_path_;
}

}  // namespace zv
