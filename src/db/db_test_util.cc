#include "db/db_test_util.h"

#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>

#include "config/zv_sync_config.h"
#include "db/sql_text.h"
#include "db/zv_db_manager.h"
#include "log/log_file.h"
#include "log/sync_log.h"
#include "test_util.h"

namespace zv::testing {

namespace {

struct DbTestPaths {
  std::string root;
  std::string home;
  std::string data;
};

DbTestPaths& Paths() {
  static DbTestPaths paths;
  return paths;
}

class DbTestHomeEnvironment : public ::testing::Environment {
 public:
  void SetUp() override {
    const char* base = std::getenv("TMPDIR");
    std::string templ = std::string(base && *base ? base : "/tmp") + "/zvdbtest-XXXXXX";
    if (mkdtemp(templ.data()) == nullptr) {
      std::perror("mkdtemp");
      std::abort();
    }
    DbTestPaths& p = Paths();
    p.root = templ;
    p.home = p.root + "/home";
    p.data = p.root + "/mysql/log_data";
    WriteFileBytes(p.home + "/config/dbconf.ini", "[DB_CONFIG]\nDbType=3\nSQLUser=\nSQLPWD=\n");
    WriteFileBytes(p.root + "/mysql_path.ini", "[mysql]\npath=" + p.root + "/mysql\n");
    std::filesystem::create_directories(p.data);
    setenv("ZENTROVANE_HOME", p.home.c_str(), 1);
    setenv("ZENTROVANE_REGISTRY", (p.home + "/config/registry.reg").c_str(), 1);
    setenv("ZENTROVANE_OBJECT_NAMESPACE", UniqueName("zvdb").c_str(), 1);
    ZVSyncLog::Instance().SetDirectoryForTesting(p.home + "/debuglog");
    CZvLogFile::Instance().SetDirectoryForTesting(p.home + "/log");
    (void)ZVSyncConfig::Instance().LoadDbConfig();
    (void)ZVSyncConfig::Instance().LoadMysqlPath();
  }

  void TearDown() override {
    std::error_code ec;
    std::filesystem::remove_all(Paths().root, ec);
  }
};

}  // namespace

bool RegisterDbTestHome() {
  // Several test files of one binary share the one home.
  static const bool registered = [] {
    ::testing::AddGlobalTestEnvironment(new DbTestHomeEnvironment);
    return true;
  }();
  return registered;
}

const std::string& DbTestRoot() { return Paths().root; }
const std::string& DbTestHome() { return Paths().home; }
const std::string& DbTestDataDirectory() { return Paths().data; }

namespace {

std::string DebugLogText() { return ReadFolderText(DbTestHome() + "/debuglog"); }
std::string OperationLogText() { return ReadFolderText(DbTestHome() + "/log"); }

}  // namespace

LogWatch::LogWatch()
    : debug_start_(DebugLogText().size()), oplog_start_(OperationLogText().size()) {}

bool LogWatch::SawDebug(const std::string& text) const {
  return NewDebug().find(text) != std::string::npos;
}

bool LogWatch::SawOplog(const std::string& utf8) const {
  return OperationLogText().substr(oplog_start_).find(Utf8ToGbk(utf8)) != std::string::npos;
}

std::string LogWatch::NewDebug() const { return DebugLogText().substr(debug_start_); }

void WriteDbConfig(const std::string& user, const std::string& enciphered_password) {
  WriteFileBytes(DbTestHome() + "/config/dbconf.ini",
                 "[DB_CONFIG]\nDbType=3\nSQLUser=" + user + "\nSQLPWD=" + enciphered_password +
                     "\n");
  ASSERT_TRUE(ZVSyncConfig::Instance().LoadDbConfig());
}

bool DatabaseSkipped() {
  const char* v = std::getenv("ZV_NO_DATABASE");
  return v != nullptr && std::string(v) == "1";
}

std::string DatabaseUnavailableReason() {
  CDBManager db;
  db.SetConnection(std::string(kDefaultDbUser), std::string(kDefaultDbPassword), std::string());
  if (db.Open()) return std::string();
  return "The test MariaDB does not answer on 127.0.0.1:811 as root/qormelt (" +
         db.GetLastErrorText() +
         "). Start it with scripts/testdb.sh start, or set ZV_NO_DATABASE=1 to skip.";
}

ScopedDatabaseNames::~ScopedDatabaseNames() {
  if (names_.empty()) return;
  CDBManager db;
  db.SetConnection(std::string(kDefaultDbUser), std::string(kDefaultDbPassword), std::string());
  for (const std::string& name : names_) {
    (void)db.Execute("DROP DATABASE IF EXISTS " + QuoteIdentifier(name));
  }
}

std::string ScopedDatabaseNames::New() {
  names_.push_back(UniqueName("zvt_"));
  return names_.back();
}

ClosingServer::ClosingServer() {
  fd_ = ListenOnLoopback(&port_);
  if (fd_ < 0) return;
  thread_ = std::thread([this] {
    while (true) {
      const int c = accept(fd_, nullptr, nullptr);
      if (c < 0) return;
      ++accepted_;
      close(c);
    }
  });
}

ClosingServer::~ClosingServer() {
  if (fd_ < 0) return;
  shutdown(fd_, SHUT_RDWR);
  thread_.join();
  close(fd_);
}

DbRows RootQuery(const std::string& sql, const std::string& database) {
  CDBManager db;
  db.SetConnection(std::string(kDefaultDbUser), std::string(kDefaultDbPassword), database);
  DbRows rows;
  EXPECT_TRUE(db.Query(sql, &rows)) << sql << ": " << db.GetLastErrorText();
  return rows;
}

}  // namespace zv::testing
