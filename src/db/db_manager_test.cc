#include "db/db_manager.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <thread>

#include "db/db_test_util.h"
#include "db/mysql_base.h"
#include "db/sql_text.h"
#include "db/zv_db_manager.h"
#include "test_util.h"

namespace zv {
namespace {

using ::zv::testing::DbTestHome;
using ::zv::testing::EncipherPassword;
using ::zv::testing::RootQuery;
using ::zv::testing::ScopedDatabaseNames;
using ::zv::testing::WriteDbConfig;

const bool kHomeRegistered = ::zv::testing::RegisterDbTestHome();

// Everything in the debug log folder of the test home.
std::string DebugLogText() { return ::zv::testing::ReadFolderText(DbTestHome() + "/debuglog"); }

size_t CountOccurrences(const std::string& text, const std::string& what) {
  size_t count = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) {
    ++count;
  }
  return count;
}

// Restores the real port when a test pointed the layer elsewhere.
class ScopedDatabasePort {
 public:
  explicit ScopedDatabasePort(uint32_t port) { SetDatabasePortForTesting(port); }
  ~ScopedDatabasePort() { SetDatabasePortForTesting(0); }
};

TEST(ConnectionParamsTest, DefaultsOnlyForAbsentValues) {
  const ConnectionParams d = ConnectionParams::Make(std::nullopt, std::nullopt, std::nullopt);
  EXPECT_EQ("127.0.0.1", d.host);
  EXPECT_EQ(811u, d.port);
  EXPECT_EQ("root", d.user);
  EXPECT_EQ("qormelt", d.password);
  EXPECT_EQ("aclog", d.database);
  EXPECT_EQ("", d.extra);
  EXPECT_EQ(0u, d.flags);

  const ConnectionParams e = ConnectionParams::Make(std::string(), std::string(), std::string());
  EXPECT_EQ("", e.user);
  EXPECT_EQ("", e.password);
  EXPECT_EQ("", e.database);
}

TEST(DbManagerTest, NoConnectionObjectMeansDbNotOpen) {
  CDBManager db;
  EXPECT_EQ("DB not open", db.GetLastErrorText());
  EXPECT_EQ(0u, db.GetLastErrorNumber());
  EXPECT_FALSE(db.Open());
  EXPECT_FALSE(db.Execute("SELECT 1"));
  DbRows rows;
  EXPECT_FALSE(db.Query("SELECT 1", &rows));
  EXPECT_TRUE(rows.empty());
  EXPECT_TRUE(db.ListTables().empty());
  EXPECT_FALSE(db.TableExists("x"));
}

TEST(DbManagerTest, NullColumnReadsAsNullText) {
  ZV_REQUIRE_DATABASE();
  ZVDBManager db;
  ASSERT_TRUE(db.Connect(""));
  DbRows rows;
  ASSERT_TRUE(db.Query("SELECT NULL AS a, 'x' AS b, '' AS c UNION ALL SELECT 'NULL', NULL, 'y'",
                       &rows));
  ASSERT_EQ(2u, rows.size());
  EXPECT_EQ((DbRow{{"a", "NULL"}, {"b", "x"}, {"c", ""}}), rows[0]);
  EXPECT_EQ((DbRow{{"a", "NULL"}, {"b", "NULL"}, {"c", "y"}}), rows[1]);
}

TEST(DbManagerTest, QueryAppendsRowsAndKeepsBinaryValues) {
  ZV_REQUIRE_DATABASE();
  ZVDBManager db;
  ASSERT_TRUE(db.Connect(""));
  DbRows rows{DbRow{{"old", "row"}}};
  ASSERT_TRUE(db.Query("SELECT CONCAT('a', CHAR(0), 'b') AS v", &rows));
  ASSERT_EQ(2u, rows.size());
  EXPECT_EQ(std::string("a\0b", 3), rows[1]["v"]);
  // A statement without a result gives no rows and succeeds.
  ASSERT_TRUE(db.Query("DO 1", &rows));
  EXPECT_EQ(2u, rows.size());
}

TEST(DbManagerTest, FailedStatementKeepsErrorNumberAndShortText) {
  ZV_REQUIRE_DATABASE();
  ScopedDatabaseNames names;
  const std::string name = names.New();
  ZVDBManager db;
  ASSERT_TRUE(db.Connect(""));
  ASSERT_TRUE(db.Execute("CREATE DATABASE " + QuoteIdentifier(name)));
  ASSERT_TRUE(db.Execute("CREATE TABLE " + QuoteIdentifier(name) + ".t (k INT PRIMARY KEY)"));
  ASSERT_TRUE(db.Execute("INSERT INTO " + QuoteIdentifier(name) + ".t VALUES (1)"));
  EXPECT_FALSE(db.Execute("INSERT INTO " + QuoteIdentifier(name) + ".t VALUES (1)"));
  EXPECT_EQ(1062u, db.GetLastErrorNumber());
  EXPECT_EQ(0u, db.GetLastErrorText().rfind("error:Duplicate entry", 0)) << db.GetLastErrorText();

  // The connection stays usable after a failed statement.
  DbRows rows;
  EXPECT_TRUE(db.Query("SELECT 1 AS one", &rows));

  const std::string long_name(60, 'q');
  EXPECT_FALSE(db.Execute("SELECT * FROM " + long_name + "." + long_name));
  EXPECT_EQ(100u, db.GetLastErrorText().size());
}

TEST(DbManagerTest, ConnectFallsBackToRootWhenConfiguredPasswordIsWrong) {
  ZV_REQUIRE_DATABASE();
  WriteDbConfig("loader", EncipherPassword("not-the-password"));
  ZVDBManager db;
  ASSERT_TRUE(db.Connect(""));
  EXPECT_EQ("", db.current_database());
  DbRows rows;
  ASSERT_TRUE(db.Query("SELECT CURRENT_USER() AS u", &rows));
  ASSERT_EQ(1u, rows.size());
  EXPECT_EQ("root@127.0.0.1", rows[0]["u"]);
  WriteDbConfig("", "");
}

TEST(DbManagerTest, ConnectUsesConfiguredUserFirst) {
  ZV_REQUIRE_DATABASE();
  const std::string user = ::zv::testing::UniqueName("zvu");
  const std::string password = "pw" + user;
  RootQuery("CREATE USER '" + user + "'@'127.0.0.1' IDENTIFIED BY '" + password + "'");
  WriteDbConfig(user, EncipherPassword(password));
  {
    ZVDBManager db;
    ASSERT_TRUE(db.Connect(""));
    DbRows rows;
    ASSERT_TRUE(db.Query("SELECT CURRENT_USER() AS u", &rows));
    ASSERT_EQ(1u, rows.size());
    EXPECT_EQ(user + "@127.0.0.1", rows[0]["u"]);
  }
  WriteDbConfig("", "");
  RootQuery("DROP USER '" + user + "'@'127.0.0.1'");
}

TEST(DbManagerTest, ConnectSelectsTheDatabase) {
  ZV_REQUIRE_DATABASE();
  ScopedDatabaseNames names;
  const std::string name = names.New();
  RootQuery("CREATE DATABASE " + QuoteIdentifier(name));
  ZVDBManager db;
  ASSERT_TRUE(db.Connect(name));
  EXPECT_EQ(name, db.current_database());
  DbRows rows;
  ASSERT_TRUE(db.Query("SELECT DATABASE() AS d", &rows));
  EXPECT_EQ(name, rows.at(0)["d"]);
}

TEST(DbManagerTest, ConnectToMissingDatabaseFailsAndLogsOnce) {
  ZV_REQUIRE_DATABASE();
  const std::string name = ::zv::testing::UniqueName("zvmissing");
  ZVDBManager db;
  EXPECT_FALSE(db.Connect(name));
  EXPECT_EQ("", db.current_database());
  EXPECT_EQ(1u, CountOccurrences(DebugLogText(), "Connect mysql " + name + " failed!"));
}

TEST(DbManagerTest, ServerDownGivesTwoAttemptsOneLogLineAndFalse) {
  ::zv::testing::ClosingServer server;
  ScopedDatabasePort port(server.port());
  const std::string name = ::zv::testing::UniqueName("zvdown");
  ZVDBManager db;
  EXPECT_FALSE(db.Connect(name));
  EXPECT_EQ(2, server.accepted());
  EXPECT_EQ(1u, CountOccurrences(DebugLogText(), "Connect mysql " + name + " failed!"));
  EXPECT_EQ(0u, db.GetLastErrorText().rfind("connect failed, error:", 0)) << db.GetLastErrorText();
  EXPECT_NE(0u, db.GetLastErrorNumber());
}

TEST(DbManagerTest, ClosedPortFailsQuickly) {
  ScopedDatabasePort port(::zv::testing::FreeTcpPort());
  EXPECT_FALSE(ZVDBManager::TestConnection());
}

TEST(DbManagerTest, TableExistsMatchesLikePattern) {
  ZV_REQUIRE_DATABASE();
  ScopedDatabaseNames names;
  const std::string name = names.New();
  RootQuery("CREATE DATABASE " + QuoteIdentifier(name));
  RootQuery("CREATE TABLE axb (i INT)", name);
  ZVDBManager db;
  ASSERT_TRUE(db.Connect(name));
  EXPECT_TRUE(db.TableExists("axb"));
  // '_' is a wildcard: a_b matches axb although no table a_b exists.
  EXPECT_TRUE(db.TableExists("a_b"));
  EXPECT_TRUE(db.TableExists("a%"));
  EXPECT_FALSE(db.TableExists("ab"));
  // A quote in the pattern is text, not the end of the literal.
  EXPECT_FALSE(db.TableExists("x' OR '1'='1"));
  EXPECT_EQ(std::vector<std::string>({"axb"}), db.ListTables());
}

TEST(DbManagerTest, LocalFilesGoOnlyThroughTheirSource) {
  ZV_REQUIRE_DATABASE();
  ScopedDatabaseNames names;
  const std::string name = names.New();
  RootQuery("CREATE DATABASE " + QuoteIdentifier(name));
  RootQuery("CREATE TABLE t (line LONGTEXT)", name);
  ::zv::testing::ScopedTempDir dir;
  ::zv::testing::WriteFileBytes(dir.Sub("secret"), "secret\n");
  ConnectOptions options;
  options.local_infile = true;
  CDBManager db;
  db.SetConnectOptions(options);
  db.SetConnection(std::string(kDefaultDbUser), std::string(kDefaultDbPassword), name);
  // A plain statement never sends a local file, even with LOCAL enabled.
  EXPECT_FALSE(db.Execute("LOAD DATA LOCAL INFILE " + db.QuoteString(dir.Sub("secret")) +
                          " INTO TABLE t"));
  EXPECT_EQ("0", RootQuery("SELECT count(*) AS n FROM t", name).at(0)["n"]);

  // Through a source, the source's bytes are what the server gets.
  class Source final : public LocalInfileSource {
   public:
    bool Open(const std::string& file_name, std::string* error) override {
      opened = file_name;
      return true;
    }
    int Read(char* buffer, unsigned size, std::string* error) override {
      if (done) return 0;
      done = true;
      std::memcpy(buffer, "from source\n", 12);
      return 12;
    }
    void Close() override { closed = true; }
    std::string opened;
    bool done = false;
    bool closed = false;
  } source;
  EXPECT_TRUE(db.ExecuteWithLocalInfile("LOAD DATA LOCAL INFILE 'any name' INTO TABLE t", &source))
      << db.GetLastErrorText();
  EXPECT_EQ("any name", source.opened);
  EXPECT_TRUE(source.closed);
  EXPECT_EQ(1u, db.GetAffectedRows());
  EXPECT_EQ("from source", RootQuery("SELECT line FROM t", name).at(0)["line"]);

  // And afterwards plain statements are refused again.
  EXPECT_FALSE(db.Execute("LOAD DATA LOCAL INFILE " + db.QuoteString(dir.Sub("secret")) +
                          " INTO TABLE t"));
  EXPECT_EQ("1", RootQuery("SELECT count(*) AS n FROM t", name).at(0)["n"]);
}

TEST(DbManagerTest, ThreadsUseTheirOwnConnections) {
  ZV_REQUIRE_DATABASE();
  std::atomic<int> good{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([t, &good] {
      for (int i = 0; i < 10; ++i) {
        ZVDBManager db;
        DbRows rows;
        if (db.Connect("") &&
            db.Query("SELECT " + std::to_string(t * 100 + i) + " AS v", &rows) &&
            rows.size() == 1 && rows[0]["v"] == std::to_string(t * 100 + i)) {
          ++good;
        }
      }
      EndDatabaseThread();
    });
  }
  for (std::thread& th : threads) th.join();
  EXPECT_EQ(40, good.load());
}

}  // namespace
}  // namespace zv
