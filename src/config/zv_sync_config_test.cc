#include "config/zv_sync_config.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "build_config.h"
#include "crashdump/fatal_stop.h"
#include "log/log_file.h"
#include "log/sync_log.h"
#include "platform/process.h"
#include "test_util.h"

namespace zv {
namespace {

using testing::EncipherPassword;

bool IsDirectory(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// Log folders for the whole binary, used between tests so that no log line
// goes outside a temporary folder.
class LogFolderEnvironment : public ::testing::Environment {
 public:
  void SetUp() override {
    dir_ = std::make_unique<testing::ScopedTempDir>();
    setenv("ZENTROVANE_HOME", dir_->path().c_str(), 1);
    PointLogsHere();
  }
  void TearDown() override { dir_.reset(); }

  static void PointLogsHere() {
    ZVSyncLog::Instance().SetDirectoryForTesting(dir_->Sub("debuglog"));
    CZvLogFile::Instance().SetDirectoryForTesting(dir_->Sub("oplog"));
  }

 private:
  static inline std::unique_ptr<testing::ScopedTempDir> dir_;
};

[[maybe_unused]] const auto* const kLogFolderEnvironment =
    ::testing::AddGlobalTestEnvironment(new LogFolderEnvironment);

// Each test gets a home of its own (tmp/app/home, so that mysql_path.ini
// lies in tmp/app), its own settings file and its own log folders.
class ConfigTest : public ::testing::Test {
 protected:
  ConfigTest()
      : home_(tmp_.Sub("app/home")),
        home_env_("ZENTROVANE_HOME", home_ + "//"),
        registry_env_("ZENTROVANE_REGISTRY", tmp_.Sub("registry.reg")) {}

  void SetUp() override {
    ASSERT_TRUE(std::filesystem::create_directories(home_ + "/config"));
    ZVSyncLog::Instance().SetDirectoryForTesting(tmp_.Sub("debuglog"));
    CZvLogFile::Instance().SetDirectoryForTesting(tmp_.Sub("oplog"));
    config_ = ZVSyncConfig::CreateForTesting();
    ASSERT_NE(nullptr, config_);
  }

  void TearDown() override {
    // Later tests must not write into this test's folder once it is gone.
    LogFolderEnvironment::PointLogsHere();
  }

  std::string RegistryText() { return testing::ReadFileBytes(tmp_.Sub("registry.reg")); }

  testing::ScopedTempDir tmp_;
  std::string home_;
  testing::ScopedEnv home_env_;
  testing::ScopedEnv registry_env_;
  std::unique_ptr<ZVSyncConfig> config_;
};

TEST_F(ConfigTest, PathsFromHomeWithoutTrailingSeparators) {
  EXPECT_EQ(home_, config_->GetHomeDirectory());
  EXPECT_EQ(home_ + "/config/syncaccount.dat", config_->GetAccountFilePath());
  EXPECT_EQ(home_ + "/config/syncpos", config_->GetSyncPosDirectory());
  EXPECT_EQ(home_, HomeDirectory());
}

TEST_F(ConfigTest, HomeIsExecutableFolderWithoutOverride) {
  const std::string exe_folder =
      std::filesystem::read_symlink("/proc/self/exe").parent_path().string();
  {
    testing::ScopedEnv empty("ZENTROVANE_HOME", "");
    EXPECT_EQ(exe_folder, HomeDirectory());
  }
  const std::string saved = std::getenv("ZENTROVANE_HOME");
  unsetenv("ZENTROVANE_HOME");
  const std::string home = HomeDirectory();
  setenv("ZENTROVANE_HOME", saved.c_str(), 1);
  EXPECT_EQ(exe_folder, home);
}

TEST_F(ConfigTest, ProcessDirectoryWrittenAtConstruction) {
  EXPECT_EQ(home_, config_->store().ReadString("ProcessDirectory").value_or("<absent>"));
}

TEST_F(ConfigTest, SettingsFileDefaultsBelowHome) {
  const char* old = std::getenv("ZENTROVANE_REGISTRY");
  const std::string saved = old ? old : "";
  unsetenv("ZENTROVANE_REGISTRY");
  auto config = ZVSyncConfig::CreateForTesting();
  setenv("ZENTROVANE_REGISTRY", saved.c_str(), 1);
  EXPECT_EQ(home_ + "/config/registry.reg", config->store().path());
  EXPECT_TRUE(testing::FileExists(home_ + "/config/registry.reg"));
}

TEST_F(ConfigTest, MissingSyncPortIsDefaultAndWrittenBack) {
  EXPECT_FALSE(config_->store().ReadDword("SyncPort").has_value());
  EXPECT_EQ(810, config_->GetSyncPort());
  EXPECT_EQ(810u, config_->store().ReadDword("SyncPort").value_or(0));
  EXPECT_TRUE(std::regex_search(RegistryText(), std::regex("\"SyncPort\"=dword:0000032a",
                                                           std::regex::icase)))
      << RegistryText();
}

// The Debian package's settings file holds every default as the server
// writes it when the value is missing (the journal aside: it is state).
TEST_F(ConfigTest, PackagedSettingsAreTheDefaultsAsWritten) {
  (void)config_->GetLogLevel();
  (void)config_->GetSyncPort();
  (void)config_->GetUIPort();
  (void)config_->GetCompressLevel();
  (void)config_->GetEnableClientIP();
  (void)config_->GetEnableSystemInfo();
  (void)config_->GetDisableWatchDog();
  (void)config_->GetMinimumRequiredDiskSpace();
  (void)config_->GetDiskSpaceCheckInterval();
  (void)config_->GetEnableMetrics();
  (void)config_->GetMetricsAddress();
  (void)config_->GetMetricsPort();
  (void)config_->GetUIAllowedAddresses();
  auto values = [](const std::string& text) {
    std::set<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
      if (!line.empty() && line.back() == '\r') line.pop_back();
      if (line.rfind("\"", 0) == 0 && line.rfind("\"ProcessDirectory\"", 0) != 0) {
        lines.insert(line);
      }
    }
    return lines;
  };
  const std::string packaged = std::string(ZV_SOURCE_DIR) + "/packaging/etc/registry.reg";
  EXPECT_EQ(values(RegistryText()), values(testing::ReadFileBytes(packaged)));
}

TEST_F(ConfigTest, StringTypedSyncPortReplacedByDwordDefault) {
  ASSERT_TRUE(config_->store().WriteString("SyncPort", "900"));
  EXPECT_EQ(810, config_->GetSyncPort());
  const std::string text = RegistryText();
  EXPECT_TRUE(std::regex_search(text, std::regex("\"SyncPort\"=dword:0000032a", std::regex::icase)))
      << text;
  EXPECT_EQ(std::string::npos, text.find("\"SyncPort\"=\"900\"")) << text;
}

TEST_F(ConfigTest, PortsUseLowSixteenBits) {
  ASSERT_TRUE(config_->store().WriteDword("SyncPort", 70000));
  ASSERT_TRUE(config_->store().WriteDword("UIPort", 0x10000 + 812));
  EXPECT_EQ(4464, config_->GetSyncPort());
  EXPECT_EQ(812, config_->GetUIPort());
  // The stored value itself is left alone.
  EXPECT_EQ(70000u, config_->store().ReadDword("SyncPort").value_or(0));
}

TEST_F(ConfigTest, DefaultsOfEveryValue) {
  EXPECT_EQ(812, config_->GetUIPort());
  EXPECT_EQ(9u, config_->GetCompressLevel());
  EXPECT_EQ(0u, config_->GetEnableClientIP());
  EXPECT_EQ(0u, config_->GetEnableSystemInfo());
  EXPECT_EQ(0xFFFFFFFFu, config_->GetLogLevel());
  EXPECT_EQ(0u, config_->GetDisableWatchDog());
  EXPECT_EQ(5120u, config_->GetMinimumRequiredDiskSpace());
  EXPECT_EQ(14400u, config_->GetDiskSpaceCheckInterval());
  EXPECT_EQ("", config_->GetPendingDeleteDate());
  // Every default is now stored with its type.
  EXPECT_EQ(9u, config_->store().ReadDword("CompressLevel").value_or(0));
  EXPECT_EQ(0xFFFFFFFFu, config_->store().ReadDword("LogLevel").value_or(0));
  EXPECT_EQ(14400u, config_->store().ReadDword("DiskSpaceCheckInterval").value_or(0));
  EXPECT_EQ("", config_->store().ReadString("PendingDeleteDate").value_or("<absent>"));
}

TEST_F(ConfigTest, ValuesAreReadAfreshEveryTime) {
  EXPECT_EQ(0u, config_->GetDisableWatchDog());
  ASSERT_TRUE(config_->store().WriteDword("DisableWatchDog", 1));
  EXPECT_EQ(1u, config_->GetDisableWatchDog());
  ASSERT_TRUE(config_->store().WriteDword("MinimumRequiredDiskSpace", 77));
  EXPECT_EQ(77u, config_->GetMinimumRequiredDiskSpace());
}

TEST_F(ConfigTest, PendingDeleteDateRoundTrip) {
  EXPECT_TRUE(config_->SetPendingDeleteDate("20101115 $ALL$ $ALL$;"));
  EXPECT_EQ("20101115 $ALL$ $ALL$;", config_->GetPendingDeleteDate());
  auto other = ZVSyncConfig::CreateForTesting();
  EXPECT_EQ("20101115 $ALL$ $ALL$;", other->GetPendingDeleteDate());
}

TEST_F(ConfigTest, DbConfigReadWithOtherCaseAndDecipheredPassword) {
  const std::string attach = tmp_.Sub("attach/files");
  testing::WriteFileBytes(home_ + "/config/dbconf.ini",
                          "[db_config]\r\n"
                          "dbtype = 3\r\n"
                          "sqlport=811\r\n"
                          "SQLServer = 127.0.0.1\r\n"
                          "sqluser=admin \r\n"
                          "SQLPWD=" + EncipherPassword(std::string("qormelt\0", 8)) + "\r\n"
                          "FilePath=" + attach + "/\\/\r\n");
  ASSERT_TRUE(config_->LoadDbConfig());
  const DbConfig db = config_->GetDbConfig();
  EXPECT_EQ(3u, db.db_type);
  EXPECT_EQ("811", db.sql_port);
  EXPECT_EQ("127.0.0.1", db.sql_server);
  EXPECT_EQ("admin ", config_->GetDbUser());  // the trailing blank belongs to the value
  EXPECT_EQ("qormelt", config_->GetDbPassword());
  EXPECT_EQ(attach, config_->GetAttachmentPath());
  EXPECT_TRUE(IsDirectory(attach));
}

TEST_F(ConfigTest, DbConfigMissingKeysGiveDefaults) {
  testing::WriteFileBytes(home_ + "/config/dbconf.ini", "[DB_CONFIG]\nOther=1\n");
  ASSERT_TRUE(config_->LoadDbConfig());
  const DbConfig db = config_->GetDbConfig();
  EXPECT_EQ(1u, db.db_type);
  EXPECT_EQ("", db.sql_user);
  EXPECT_EQ("", db.sql_password);
  EXPECT_EQ("", db.file_path);
}

TEST_F(ConfigTest, DbConfigUnreadableResetsAndReports) {
  testing::WriteFileBytes(home_ + "/config/dbconf.ini", "[DB_CONFIG]\nSQLUser=admin\nDbType=4\n");
  ASSERT_TRUE(config_->LoadDbConfig());
  ASSERT_EQ("admin", config_->GetDbUser());
  ASSERT_EQ(0, std::remove((home_ + "/config/dbconf.ini").c_str()));

  EXPECT_FALSE(config_->LoadDbConfig());
  EXPECT_EQ("", config_->GetDbUser());
  EXPECT_EQ(1u, config_->GetDbConfig().db_type);

  const std::string debug = testing::ReadFolderText(tmp_.Sub("debuglog"));
  EXPECT_NE(std::string::npos,
            debug.find("<E> {"))
      << debug;
  EXPECT_NE(std::string::npos, debug.find("Load " + home_ + "/config/dbconf.ini failed!ret=-1\n"))
      << debug;
  // "读取数据库配置文件失败!" in GBK, with code '3' and module "同步器".
  const std::string op = testing::ReadFolderText(tmp_.Sub("oplog"));
  ASSERT_EQ(256u, op.size());
  EXPECT_EQ(std::string("\xCD\xAC\xB2\xBD\xC6\xF7\0", 7), op.substr(0, 7));
  EXPECT_EQ('3', op[20]);
  EXPECT_EQ(std::string("\xB6\xC1\xC8\xA1\xCA\xFD\xBE\xDD\xBF\xE2\xC5\xE4\xD6\xC3"
                        "\xCE\xC4\xBC\xFE\xCA\xA7\xB0\xDC!\0", 24),
            op.substr(36, 24));
}

TEST_F(ConfigTest, ToolsConfigMissingFileGivesDelMethodTwo) {
  EXPECT_FALSE(config_->LoadToolsConfig());
  EXPECT_EQ(2u, config_->GetDelMethod());
  EXPECT_EQ(0u, config_->GetDelDay());
  EXPECT_NE(std::string::npos, testing::ReadFolderText(tmp_.Sub("debuglog"))
                                   .find("Load " + home_ + "/config/zvtools.ini failed!ret=-1"));
}

TEST_F(ConfigTest, ToolsConfigMissingKeyGivesZero) {
  testing::WriteFileBytes(home_ + "/config/zvtools.ini", "[ZV_CONFIG]\nDelDay=5\n");
  EXPECT_TRUE(config_->LoadToolsConfig());
  EXPECT_EQ(0u, config_->GetDelMethod());
  EXPECT_EQ(5u, config_->GetDelDay());
}

TEST_F(ConfigTest, ToolsConfigValues) {
  testing::WriteFileBytes(home_ + "/config/zvtools.ini",
                          "[zv_config]\r\n"
                          "AlarmValue=10\r\n"
                          "AutoDelOneDay=1\r\n"
                          "EncodeAttach=0\r\n"
                          "DelMethod=1\r\n"
                          "DelDay = 30 \r\n"
                          "DelPercent=abc\r\n"
                          "DelMid=-1\r\n"
                          "AutoDelMidDay=7\r\n");
  ASSERT_TRUE(config_->LoadToolsConfig());
  EXPECT_EQ(10u, config_->GetAlarmValue());
  EXPECT_TRUE(config_->GetAutoDelOneDay());
  EXPECT_FALSE(config_->GetEncodeAttach());
  EXPECT_EQ(1u, config_->GetDelMethod());
  EXPECT_EQ(30u, config_->GetDelDay());
  EXPECT_EQ(0u, config_->GetDelPercent());
  EXPECT_EQ(4294967295u, config_->GetDelMid());
  EXPECT_EQ(7u, config_->GetAutoDelMidDay());
  EXPECT_EQ(30u, config_->GetToolsConfig().del_day);
}

TEST_F(ConfigTest, MysqlPathFromParentFolder) {
  const std::string mysql = tmp_.Sub("mysql");
  testing::WriteFileBytes(tmp_.Sub("app/mysql_path.ini"), "[mysql]\npath=" + mysql + "//\n");
  ASSERT_TRUE(config_->LoadMysqlPath());
  EXPECT_EQ(mysql + "/log_data", config_->GetMysqlDataPath());
  EXPECT_TRUE(IsDirectory(mysql + "/log_data"));
}

TEST_F(ConfigTest, MysqlPathWithoutKeyIsRootLogData) {
  testing::WriteFileBytes(tmp_.Sub("app/mysql_path.ini"), "[MYSQL]\nother=1\n");
  ASSERT_TRUE(config_->LoadMysqlPath());
  EXPECT_EQ("/log_data", config_->GetMysqlDataPath());
}

TEST_F(ConfigTest, MysqlPathUnreadableIsEmpty) {
  testing::WriteFileBytes(tmp_.Sub("app/mysql_path.ini"), "[mysql]\npath=/x\n");
  ASSERT_TRUE(config_->LoadMysqlPath());
  ASSERT_EQ(0, std::remove(tmp_.Sub("app/mysql_path.ini").c_str()));
  EXPECT_FALSE(config_->LoadMysqlPath());
  EXPECT_EQ("", config_->GetMysqlDataPath());
}

// Loads replace the settings while readers copy them; every copy must be
// one whole version of the file, never a reset or half-filled one.
TEST_F(ConfigTest, ConcurrentLoadsNeverShowHalfFilledDbConfig) {
  const std::string path = home_ + "/config/dbconf.ini";
  auto content = [&](char v) {
    const std::string s(1, v);
    return "[DB_CONFIG]\nDbType=" + std::string(v == 'A' ? "5" : "6") + "\nSQLPort=port" + s +
           "\nSQLServer=server" + s + "\nSQLUser=user" + s +
           "\nSQLPWD=" + EncipherPassword("pass" + s + std::string(3, '\0')) +
           "\nFilePath=" + tmp_.Sub("files") + s + "\n";
  };
  testing::WriteFileBytes(path, content('A'));
  ASSERT_TRUE(config_->LoadDbConfig());

  std::atomic<bool> done{false};
  std::atomic<int> failed_loads{0};
  std::atomic<int> bad_reads{0};
  std::thread writer([&] {
    for (int i = 0; i < 300; ++i) {
      const std::string next = tmp_.Sub("next.ini");
      testing::WriteFileBytes(next, content(i % 2 ? 'A' : 'B'));
      ASSERT_EQ(0, std::rename(next.c_str(), path.c_str()));
      if (!config_->LoadDbConfig()) ++failed_loads;
    }
  });
  std::thread loader([&] {
    while (!done) {
      if (!config_->LoadDbConfig()) ++failed_loads;
    }
  });
  std::vector<std::thread> readers;
  for (int r = 0; r < 2; ++r) {
    readers.emplace_back([&] {
      while (!done) {
        const DbConfig db = config_->GetDbConfig();
        const std::string v = db.sql_user.size() == 5 ? db.sql_user.substr(4) : "?";
        const bool whole = (v == "A" || v == "B") && db.sql_port == "port" + v &&
                           db.sql_server == "server" + v && db.sql_password == "pass" + v &&
                           db.file_path == tmp_.Sub("files") + v &&
                           db.db_type == (v == "A" ? 5u : 6u);
        if (!whole) ++bad_reads;
      }
    });
  }
  writer.join();
  done = true;
  loader.join();
  for (auto& t : readers) t.join();
  EXPECT_EQ(0, failed_loads.load());
  EXPECT_EQ(0, bad_reads.load());
}

// The settings file cannot be created: one critical line, then the fatal
// stop ends the process with exit code 0.
TEST(ConfigFatalTest, UnopenableSettingsStoreStopsProcess) {
  testing::ScopedTempDir tmp;
  testing::WriteFileBytes(tmp.Sub("plainfile"), "x");
  const pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    setenv("ZENTROVANE_HOME", tmp.path().c_str(), 1);
    setenv("ZENTROVANE_REGISTRY", tmp.Sub("plainfile/sub/registry.reg").c_str(), 1);
    SetFatalStopDelayForTesting(0);
    ZVSyncLog::Instance().SetLevel(0xFFFFFFFF);
    ZVSyncLog::Instance().SetDirectoryForTesting(tmp.Sub("debuglog"));
    (void)ZVSyncConfig::CreateForTesting();
    _exit(3);  // not reached when the stop works
  }
  int status = 0;
  ASSERT_EQ(pid, waitpid(pid, &status, 0));
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(0, WEXITSTATUS(status));
  const std::string log = testing::ReadFolderText(tmp.Sub("debuglog"));
  EXPECT_TRUE(std::regex_search(log, std::regex("<C> \\{\\d+\\} Open and create key faile!errno=20\n")))
      << log;
  EXPECT_TRUE(std::regex_search(
      log, std::regex("<C> \\{\\d+\\} Process will be terminated in 5 seconds,"
                      "reason:创建Zentrovane注册表键值失败!\n")))
      << log;
}

}  // namespace
}  // namespace zv
