// ZVSyncConfig: the single source of every setting of the server.
//
// Three kinds of source: values in the settings store (read on every call,
// with a default written back when a value is missing or of another type);
// three ini files re-read when a caller asks (config/dbconf.ini,
// config/zvtools.ini, ../mysql_path.ini); and paths fixed at construction
// from the home directory ($ZENTROVANE_HOME when set, else the folder of the
// executable, HomeDirectory() of the platform layer, which the logs use as
// well). One instance per process (Instance()), owned by nobody and never
// destroyed; any thread may call any operation. The lock is recursive, so
// that nothing a load calls while holding it can deadlock on it.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "platform/settings_store.h"

namespace zv {

struct DbConfig {
  uint32_t db_type = 1;
  std::string sql_port;
  std::string sql_server;
  std::string sql_user;
  std::string sql_password;  // deciphered
  std::string file_path;     // attachment folder, trailing separators stripped
};

struct ToolsConfig {
  uint32_t alarm_value = 0;
  uint32_t auto_del_one_day = 0;
  uint32_t encode_attach = 0;
  uint32_t del_method = 2;
  uint32_t del_day = 0;
  uint32_t del_percent = 0;
  uint32_t del_mid = 0;
  uint32_t auto_del_mid_day = 0;
};

class ZVSyncConfig {
 public:
  // The instance is created on first use and never destroyed, so threads
  // still running while the process exits keep a valid object.
  static ZVSyncConfig& Instance();

  // A separate instance built from the current environment, for tests that
  // need a home of their own. Same construction as Instance().
  static std::unique_ptr<ZVSyncConfig> CreateForTesting();

  ZVSyncConfig(const ZVSyncConfig&) = delete;
  ZVSyncConfig& operator=(const ZVSyncConfig&) = delete;

  // Paths, fixed at construction (no lock needed).
  std::string GetHomeDirectory() const { return home_; }
  std::string GetAccountFilePath() const { return account_file_path_; }  // home/config/syncaccount.dat
  std::string GetSyncPosDirectory() const { return sync_pos_directory_; }  // home/config/syncpos

  // Settings store values (never cached; defaults written back).
  uint16_t GetSyncPort();                 // SyncPort, 810, low 16 bits
  uint16_t GetUIPort();                   // UIPort, 812, low 16 bits
  std::string GetUIAllowedAddresses();    // UIAllowedAddresses, "" (any sender)
  uint32_t GetCompressLevel();            // CompressLevel, 9
  uint32_t GetEnableClientIP();           // EnableClientIP, 0
  uint32_t GetEnableSystemInfo();         // EnableSystemInfo, 0
  uint32_t GetLogLevel();                 // LogLevel, 0xFFFFFFFF
  uint32_t GetDisableWatchDog();          // DisableWatchDog, 0
  uint32_t GetMinimumRequiredDiskSpace(); // MinimumRequiredDiskSpace, 5120 (MiB)
  uint32_t GetDiskSpaceCheckInterval();   // DiskSpaceCheckInterval, 14400 (s)
  // The metrics endpoint (GET /metrics): off unless EnableMetrics is not 0;
  // then bound to MetricsAddress (an IPv4 or IPv6 address, 127.0.0.1) and
  // MetricsPort (9810, low 16 bits).
  uint32_t GetEnableMetrics();            // EnableMetrics, 0
  std::string GetMetricsAddress();        // MetricsAddress, "127.0.0.1"
  uint16_t GetMetricsPort();              // MetricsPort, 9810
  std::string GetPendingDeleteDate();     // PendingDeleteDate, ""
  bool SetPendingDeleteDate(const std::string& text);

  uint32_t ReadDword(const std::string& name, uint32_t default_value);
  std::string ReadString(const std::string& name, const std::string& default_value);
  bool WriteString(const std::string& name, const std::string& text);

  // Reloads; true when the file was read.
  bool LoadDbConfig();
  bool LoadToolsConfig();
  bool LoadMysqlPath();

  std::string GetDbUser();
  std::string GetDbPassword();
  std::string GetAttachmentPath();
  DbConfig GetDbConfig();

  uint32_t GetAlarmValue();
  bool GetAutoDelOneDay();
  bool GetEncodeAttach();
  uint32_t GetDelMethod();
  uint32_t GetDelDay();
  uint32_t GetDelPercent();
  uint32_t GetDelMid();
  uint32_t GetAutoDelMidDay();
  ToolsConfig GetToolsConfig();

  // The folder of received files: the MySQL folder of ../mysql_path.ini
  // with "/log_data" appended; "" until loaded.
  std::string GetMysqlDataPath();

  // The settings store (for the service framework and the watchdog).
  SettingsStore& store() { return *store_; }

 private:
  ZVSyncConfig();

  // Constant after construction.
  std::string home_;
  std::string account_file_path_;
  std::string sync_pos_directory_;
  std::unique_ptr<SettingsStore> store_;

  std::recursive_mutex mu_;
  DbConfig db_;              // guarded by mu_
  ToolsConfig tools_;        // guarded by mu_
  std::string mysql_data_path_;  // guarded by mu_
};

// Deciphers an SQLPWD value: DES (key "qtz") over 16-hex-digit groups, an
// optional trailing length digit, cut at the first NUL.
std::string DecryptPassword(const std::string& text);

}  // namespace zv
