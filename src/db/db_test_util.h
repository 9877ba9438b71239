// Test-only helpers for the tests that need the MariaDB server on
// 127.0.0.1:811 (scripts/testdb.sh start): a temporary home for the test
// process, a check that the server answers, and databases of the test's
// own that are dropped afterwards.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

#include "db/mysql_base.h"

namespace zv::testing {

// The temporary home of the test process: <root>/home with config/,
// <root>/mysql_path.ini pointing the data directory at <root>/mysql/log_data.
// ZENTROVANE_HOME, ZENTROVANE_REGISTRY and ZENTROVANE_OBJECT_NAMESPACE are
// set before anything reads them. Registered by the test file with
// RegisterDbTestHome() from a static initialiser.
bool RegisterDbTestHome();
const std::string& DbTestRoot();
const std::string& DbTestHome();
const std::string& DbTestDataDirectory();  // <root>/mysql/log_data

// The debug log and the operation log of the test home, from the text they
// held at construction on.
class LogWatch {
 public:
  LogWatch();
  bool SawDebug(const std::string& text) const;
  bool SawOplog(const std::string& utf8) const;  // the operation log keeps GBK
  std::string NewDebug() const;

 private:
  size_t debug_start_;
  size_t oplog_start_;
};

// Writes home/config/dbconf.ini with these values and reloads it.
void WriteDbConfig(const std::string& user, const std::string& enciphered_password);

// Empty when the test may use the database; otherwise why not. With
// ZV_NO_DATABASE=1 the tests that need it are skipped; without it a server
// that does not answer fails them.
std::string DatabaseUnavailableReason();

#define ZV_REQUIRE_DATABASE()                                                   \
  do {                                                                          \
    if (::zv::testing::DatabaseSkipped()) GTEST_SKIP() << "ZV_NO_DATABASE=1";   \
    const std::string zv_db_reason = ::zv::testing::DatabaseUnavailableReason(); \
    ASSERT_TRUE(zv_db_reason.empty()) << zv_db_reason;                          \
  } while (0)

bool DatabaseSkipped();

// A database name of this test alone ("zvt_<pid>_<n>"), dropped with every
// other name it handed out when the object goes away.
class ScopedDatabaseNames {
 public:
  ScopedDatabaseNames() = default;
  ~ScopedDatabaseNames();
  ScopedDatabaseNames(const ScopedDatabaseNames&) = delete;
  ScopedDatabaseNames& operator=(const ScopedDatabaseNames&) = delete;

  std::string New();

 private:
  std::vector<std::string> names_;
};

// A "server" on a free port of 127.0.0.1 that accepts each connection and
// closes it at once, counting the attempts made on it. Point the database
// layer at it with SetDatabasePortForTesting(port()).
class ClosingServer {
 public:
  ClosingServer();
  ~ClosingServer();
  ClosingServer(const ClosingServer&) = delete;
  ClosingServer& operator=(const ClosingServer&) = delete;

  uint16_t port() const { return port_; }
  int accepted() const { return accepted_.load(); }

 private:
  int fd_ = -1;
  uint16_t port_ = 0;
  std::atomic<int> accepted_{0};
  std::thread thread_;
};

// Runs one statement as root (no database selected unless given) and
// returns the rows; fails the test on error.
DbRows RootQuery(const std::string& sql, const std::string& database = "");

}  // namespace zv::testing
