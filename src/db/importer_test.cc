// End-to-end tests of the importer program: the built Loader.exe runs with
// the test process's home (ZENTROVANE_HOME) against the test MariaDB.
#include "db/importer.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <spawn.h>
#include <sqlite3.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "datafiles/file_list.h"
#include "db/db_test_util.h"
#include "db/list_change_record.h"
#include "db/loader.h"
#include "db/sql_text.h"
#include "platform/named_object.h"
#include "test_util.h"
#include "util/crc.h"

extern char** environ;

namespace zv {
namespace {

using ::zv::testing::DbTestDataDirectory;
using ::zv::testing::RootQuery;
using ::zv::testing::ScopedDatabaseNames;
using ::zv::testing::WriteFileBytes;

const bool kHomeRegistered = ::zv::testing::RegisterDbTestHome();

std::string LoaderPath() { return ::zv::testing::ProgramDirectory() + "/Loader.exe"; }

// A running Loader.exe with its standard error on a pipe.
class LoaderRun {
 public:
  explicit LoaderRun(const std::vector<std::string>& args) {
    int fds[2];
    EXPECT_EQ(0, pipe2(fds, O_CLOEXEC));
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, fds[1], 2);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    std::vector<std::string> argv_text = {LoaderPath()};
    argv_text.insert(argv_text.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& a : argv_text) argv.push_back(a.data());
    argv.push_back(nullptr);
    EXPECT_EQ(0, posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), environ));
    posix_spawn_file_actions_destroy(&actions);
    close(fds[1]);
    err_fd_ = fds[0];
  }
  ~LoaderRun() {
    if (err_fd_ >= 0) close(err_fd_);
    if (!reaped_) Wait();
  }

  // Reads standard error until text shows up or the pipe closes.
  bool WaitForError(const std::string& text) {
    while (err_.find(text) == std::string::npos) {
      if (!ReadSome()) return false;
    }
    return true;
  }

  int Wait() {
    while (ReadSome()) {
    }
    int status = 0;
    EXPECT_EQ(pid_, waitpid(pid_, &status, 0));
    reaped_ = true;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  }

  void Kill() { kill(pid_, SIGKILL); }

  bool Exited() {
    int status = 0;
    const pid_t r = waitpid(pid_, &status, WNOHANG);
    if (r == pid_) reaped_ = true;
    return r == pid_;
  }

  const std::string& err() const { return err_; }

 private:
  bool ReadSome() {
    if (err_fd_ < 0) return false;
    char buffer[4096];
    const ssize_t n = read(err_fd_, buffer, sizeof(buffer));
    if (n <= 0) {
      close(err_fd_);
      err_fd_ = -1;
      return false;
    }
    err_.append(buffer, static_cast<size_t>(n));
    return true;
  }

  pid_t pid_ = -1;
  int err_fd_ = -1;
  bool reaped_ = false;
  std::string err_;
};

struct Outcome {
  int code;
  std::string err;
};

Outcome RunLoader(const std::vector<std::string>& args) {
  LoaderRun run(args);
  const int code = run.Wait();
  return {code, run.err()};
}

// "a|b;c|d": the rows of a query, fields joined by '|', rows by ';'.
std::string Rows(const std::string& database, const std::string& sql) {
  std::string out;
  for (const DbRow& row : RootQuery(sql, database)) {
    if (!out.empty()) out += ";";
    bool first = true;
    for (const auto& [name, value] : row) {
      if (!first) out += "|";
      first = false;
      out += value;
    }
  }
  return out;
}

// A storage folder below the data directory with its file list.
class Storage {
 public:
  explicit Storage(std::string name) : name_(std::move(name)) {}

  std::string folder() const { return DbTestDataDirectory() + "/" + name_; }
  std::string list() const { return folder() + "/filelist/data.lst2"; }

  // Writes a received log table file and enters it in the list.
  std::string Receive(const std::string& file_name, const std::string& list_name,
                      const std::string& content, uint32_t time) {
    const std::string path = folder() + "/logtable/" + file_name.substr(0, 8) + "/" + file_name;
    WriteFileBytes(path, content);
    CCrc crc;
    AddEntry(path, list_name, crc.Compute(content.data(), content.size()), time,
             static_cast<uint32_t>(content.size()));
    return path;
  }

  void AddEntry(const std::string& path, const std::string& list_name, uint32_t crc,
                uint32_t time, uint32_t size) {
    EXPECT_TRUE(std::filesystem::create_directories(folder() + "/filelist") ||
                std::filesystem::is_directory(folder() + "/filelist"));
    FileListEntry entry;
    std::memset(&entry, 0, sizeof(entry));
    std::snprintf(entry.path, sizeof(entry.path), "%s", path.c_str());
    std::snprintf(entry.tablename, sizeof(entry.tablename), "%s", list_name.c_str());
    entry.crc = crc;
    entry.time = time;
    entry.end = size;
    FileListHandle* handle = filelist_open(folder() + "/filelist", "d");
    ASSERT_NE(handle, nullptr);
    EXPECT_EQ(0, filelist_write(entry, handle));
    EXPECT_EQ(0, filelist_close(handle));
  }

  // "path|status|error;..." of the importer's own table, by path.
  std::string Loaded() const {
    sqlite3* db = nullptr;
    EXPECT_EQ(SQLITE_OK, sqlite3_open_v2(list().c_str(), &db, SQLITE_OPEN_READONLY, nullptr));
    sqlite3_stmt* stmt = nullptr;
    std::string out;
    if (sqlite3_prepare_v2(db,
                           "SELECT path, status, ifnull(error, '') FROM loaded ORDER BY path",
                           -1, &stmt, nullptr) == SQLITE_OK) {
      while (sqlite3_step(stmt) == SQLITE_ROW) {
        if (!out.empty()) out += ";";
        const std::string path = reinterpret_cast<const char*>(sqlite3_column_text(stmt, 0));
        out += path.substr(path.rfind('/') + 1) + "|" +
               reinterpret_cast<const char*>(sqlite3_column_text(stmt, 1)) + "|" +
               reinterpret_cast<const char*>(sqlite3_column_text(stmt, 2));
      }
    }
    sqlite3_finalize(stmt);
    sqlite3_close(db);
    return out;
  }

  int ListRows() const {
    sqlite3* db = nullptr;
    sqlite3_open_v2(list().c_str(), &db, SQLITE_OPEN_READONLY, nullptr);
    sqlite3_stmt* stmt = nullptr;
    int n = -1;
    if (sqlite3_prepare_v2(db, "SELECT count(*) FROM filelist", -1, &stmt, nullptr) == SQLITE_OK &&
        sqlite3_step(stmt) == SQLITE_ROW) {
      n = sqlite3_column_int(stmt, 0);
    }
    sqlite3_finalize(stmt);
    sqlite3_close(db);
    return n;
  }

  // Removes the folder, so that later LoadLogTable runs of other tests do
  // not meet this storage.
  ~Storage() {
    std::error_code ec;
    std::filesystem::remove_all(folder(), ec);
  }

 private:
  std::string name_;
};

class ImporterTest : public ::testing::Test {
 protected:
  void SetUp() override { ZV_REQUIRE_DATABASE(); }
  ScopedDatabaseNames names_;
};

TEST(ImporterProgramTest, UsageErrors) {
  EXPECT_EQ(kImporterUsage, RunLoader({}).code);
  EXPECT_EQ(kImporterUsage, RunLoader({"LoadLogTable", "extra"}).code);
  EXPECT_EQ(kImporterUsage, RunLoader({"LoadConfigTable", "a.b"}).code);
  const Outcome o = RunLoader({"Frobnicate", "a", "b"});
  EXPECT_EQ(kImporterUsage, o.code);
  EXPECT_NE(std::string::npos, o.err.find("usage: Loader.exe")) << o.err;
}

TEST(ImporterNameTest, LogTableNameForEntry) {
  EXPECT_EQ("A20101216", LogTableNameForEntry("/d/s/logtable/20101216/x.dat", "A20101216"));
  EXPECT_EQ("o20101216",
            LogTableNameForEntry("/d/s/logtable/20101216/20101216_1530_00A1B2C3_oprlog.dat",
                                 "oprlog"));
  EXPECT_EQ("o20101216", LogTableNameForEntry("20101216_1530_00A1B2C3_OPRLOG.dat", "OprLog"));
  EXPECT_EQ("", LogTableNameForEntry("/d/s/logtable/x/2010121_oprlog.dat", "oprlog"));
  EXPECT_EQ("", LogTableNameForEntry("/d/x.dat", "A2010`1216"));
  EXPECT_EQ("", LogTableNameForEntry("/d/x.dat", ""));
}

TEST_F(ImporterTest, ConfigTableIsLoadedAndReplacedBySecondLoad) {
  const std::string db = names_.New();
  ::zv::testing::ScopedTempDir dir;
  WriteFileBytes(dir.Sub("users1.dat"),
                 "id\tname\n1\tfoo\n2\tb\\tar\\\\\n3\t\\N\n4\t\xe5\x95\x86\xe5\xba\x97\n");
  Outcome o = RunLoader({"LoadConfigTable", db + ".users", dir.Sub("users1.dat")});
  ASSERT_EQ(0, o.code) << o.err;
  EXPECT_EQ("1|foo;2|b\tar\\;3|NULL;4|\xe5\x95\x86\xe5\xba\x97",
            Rows(db, "SELECT id, name FROM users ORDER BY id"));

  WriteFileBytes(dir.Sub("users2.dat"), "id\tname\tlevel\n9\tnew\t5\n");
  o = RunLoader({"LoadConfigTable", db + ".users", dir.Sub("users2.dat")});
  ASSERT_EQ(0, o.code) << o.err;
  EXPECT_EQ("9|5|new", Rows(db, "SELECT id, level, name FROM users ORDER BY id"));
}

TEST_F(ImporterTest, MalformedConfigTableLoadsNothingAndKeepsOldRows) {
  const std::string db = names_.New();
  ::zv::testing::ScopedTempDir dir;
  WriteFileBytes(dir.Sub("good.dat"), "id\tname\n1\tfoo\n");
  ASSERT_EQ(0, RunLoader({"LoadConfigTable", db + ".users", dir.Sub("good.dat")}).code);

  std::string bad = "id\tname\n";
  for (int i = 0; i < 20000; ++i) bad += std::to_string(i) + "\tname" + std::to_string(i) + "\n";
  bad += "20000\tone\ttoo many\n";
  WriteFileBytes(dir.Sub("bad.dat"), bad);
  const Outcome o = RunLoader({"LoadConfigTable", db + ".users", dir.Sub("bad.dat")});
  EXPECT_EQ(kImporterFailed, o.code);
  EXPECT_NE(std::string::npos, o.err.find("line 20002: 3 fields where the header has 2")) << o.err;
  EXPECT_EQ("1|foo", Rows(db, "SELECT id, name FROM users"));
}

TEST_F(ImporterTest, ConfigTableTargetsAreChecked) {
  ::zv::testing::ScopedTempDir dir;
  WriteFileBytes(dir.Sub("t.dat"), "Host\tUser\nx\ty\n");
  for (const std::string target : {"mysql.user", "nodot", "a.b`c", "a.b.c", "a b.c", ".t"}) {
    const Outcome o = RunLoader({"LoadConfigTable", target, dir.Sub("t.dat")});
    EXPECT_EQ(kImporterFailed, o.code) << target;
    EXPECT_NE(std::string::npos, o.err.find("LoadConfigTable")) << o.err;
  }
  const std::string db = names_.New();
  const Outcome o = RunLoader({"LoadConfigTable", db + ".t", dir.Sub("missing.dat")});
  EXPECT_EQ(kImporterFailed, o.code);
  EXPECT_NE(std::string::npos, o.err.find("cannot open")) << o.err;
}

TEST_F(ImporterTest, CreateTableTwiceIsHarmlessAndDuplicatesGive1062) {
  const std::string db = names_.New();
  for (int i = 0; i < 2; ++i) {
    Outcome o = RunLoader({"CreateTable", db, "TableInfo"});
    ASSERT_EQ(0, o.code) << o.err;
    o = RunLoader({"CreateTable", db, "AttachInfo"});
    ASSERT_EQ(0, o.code) << o.err;
  }
  ZVDBManager m;
  ASSERT_TRUE(m.Connect(db));
  EXPECT_TRUE(m.Execute("insert into TableInfo values('A20101216',0)"));
  EXPECT_FALSE(m.Execute("insert into TableInfo values('A20101216',0)"));
  EXPECT_EQ(1062u, m.GetLastErrorNumber());
  EXPECT_TRUE(m.Execute("insert into AttachInfo values('X20101216',0,0)"));
  EXPECT_FALSE(m.Execute("insert into AttachInfo values('X20101216',0,0)"));
  EXPECT_EQ(1062u, m.GetLastErrorNumber());
  EXPECT_TRUE(m.Execute("insert into TableInfo(name, size) values('B20101216',1234567890123)"));
  EXPECT_TRUE(m.Execute("UPDATE AttachInfo set file_size = 9876543210 WHERE table_name = 'X20101216'"));
  EXPECT_EQ("A20101216|0;B20101216|1234567890123",
            Rows(db, "SELECT name, size FROM TableInfo ORDER BY name"));
  EXPECT_EQ("0|9876543210|X20101216",
            Rows(db, "SELECT file_del, file_size, table_name FROM AttachInfo"));

  const Outcome o = RunLoader({"CreateTable", db, "Users"});
  EXPECT_EQ(kImporterFailed, o.code);
  EXPECT_NE(std::string::npos, o.err.find("no layout for table")) << o.err;
}

TEST_F(ImporterTest, LogTablesAreLoadedExactlyOnce) {
  const std::string db = names_.New();
  Storage storage(db);
  storage.Receive("20101216_1530_00A1B2C3_A.dat", "A20101216",
                  "src\tdst\tbytes\n10.0.0.1\t10.0.0.2\t100\n10.0.0.3\t\\N\t7\n", 1292513400);
  storage.Receive("20101216_1531_00A1B2C3_oprlog.dat", "oprlog",
                  "record_time\tuser\taction\n2010-12-16 15:31:00\tadmin\tlogin\n", 1292513460);
  Outcome o = RunLoader({"LoadLogTable"});
  ASSERT_EQ(0, o.code) << o.err;
  EXPECT_EQ("100|10.0.0.2|10.0.0.1;7|NULL|10.0.0.3",
            Rows(db, "SELECT bytes, dst, src FROM A20101216 ORDER BY src"));
  EXPECT_EQ("login|2010-12-16 15:31:00|admin", Rows(db, "SELECT * FROM o20101216"));

  // Nothing new: a second run loads nothing again.
  o = RunLoader({"LoadLogTable"});
  ASSERT_EQ(0, o.code) << o.err;
  EXPECT_EQ("2", Rows(db, "SELECT count(*) AS n FROM A20101216"));
  EXPECT_EQ("1", Rows(db, "SELECT count(*) AS n FROM o20101216"));
  EXPECT_EQ(
      "20101216_1530_00A1B2C3_A.dat|loaded|;20101216_1531_00A1B2C3_oprlog.dat|loaded|",
      storage.Loaded());
  EXPECT_EQ(2, storage.ListRows());

  // A later file of the same day is appended; a column it brings is added.
  storage.Receive("20101216_1600_00A1B2C3_A.dat", "A20101216",
                  "src\tdst\tbytes\tproto\n1\t2\t3\tudp\n", 1292515200);
  o = RunLoader({"LoadLogTable"});
  ASSERT_EQ(0, o.code) << o.err;
  EXPECT_EQ("udp|1;NULL|10.0.0.1;NULL|10.0.0.3",  // proto|src
            Rows(db, "SELECT src, proto FROM A20101216 ORDER BY src"));
}

// A run opens only the lists that changed since a run found them settled;
// a change is never missed, and a damaged record only costs opening all.
TEST_F(ImporterTest, OnlyListsChangedSinceTheLastRunAreOpened) {
  const std::string db = names_.New();
  Storage storage(db);
  storage.Receive("20101216_1530_00A1B2C3_A.dat", "A20101216", "a\tb\n1\t2\n", 100);
  {
    // A record that claims the list, as it is now, settled: it is skipped.
    ListChangeRecord record(DbTestDataDirectory());
    (void)record.Load();
    struct stat st;
    ASSERT_EQ(0, stat(storage.list().c_str(), &st));
    record.Settled(db, st, ListChangeRecord::Now() + 10'000'000'000);
    ASSERT_TRUE(record.Save());
  }
  Outcome o = RunLoader({"LoadLogTable"});
  ASSERT_EQ(0, o.code) << o.err;
  EXPECT_EQ("", storage.Loaded());

  // Any append changes the list: both files are loaded.
  storage.Receive("20101216_1531_00A1B2C3_A.dat", "A20101216", "a\tb\n3\t4\n", 101);
  o = RunLoader({"LoadLogTable"});
  ASSERT_EQ(0, o.code) << o.err;
  EXPECT_EQ("20101216_1530_00A1B2C3_A.dat|loaded|;20101216_1531_00A1B2C3_A.dat|loaded|",
            storage.Loaded());

  // A damaged record: every list is opened, nothing is loaded twice, and the
  // record is written anew.
  const std::string path = DbTestDataDirectory() + "/" + ListChangeRecord::kFileName;
  WriteFileBytes(path, "zentrovane-loadlogtable-lists 1\ngarbage");
  o = RunLoader({"LoadLogTable"});
  ASSERT_EQ(0, o.code) << o.err;
  EXPECT_EQ("2", Rows(db, "SELECT count(*) AS n FROM A20101216"));
  EXPECT_TRUE(ListChangeRecord(DbTestDataDirectory()).Load());
}

TEST_F(ImporterTest, ImporterKilledRightAfterItsCommitDoesNotLoadTheFileAgain) {
  const std::string db = names_.New();
  Storage storage(db);
  storage.Receive("20101216_1530_00A1B2C3_A.dat", "A20101216", "a\tb\n1\t2\n3\t4\n", 100);
  storage.Receive("20101216_1531_00A1B2C3_A.dat", "A20101216", "a\tb\n5\t6\n", 101);
  // A child importer that dies by SIGKILL the moment its first commit
  // returned, before it could note the load in data.lst2.
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    Importer importer(DbTestDataDirectory(), [](const std::string&) { raise(SIGKILL); });
    (void)importer.LoadLogTable();
    _exit(0);
  }
  int status = 0;
  ASSERT_EQ(child, waitpid(child, &status, 0));
  ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL) << status;
  EXPECT_EQ("2", Rows(db, "SELECT count(*) AS n FROM A20101216"));
  EXPECT_EQ("", storage.Loaded());

  const Outcome o = RunLoader({"LoadLogTable"});
  ASSERT_EQ(0, o.code) << o.err;
  EXPECT_EQ("1|2;3|4;5|6", Rows(db, "SELECT a, b FROM A20101216 ORDER BY a"));
  EXPECT_EQ("20101216_1530_00A1B2C3_A.dat|loaded|;20101216_1531_00A1B2C3_A.dat|loaded|",
            storage.Loaded());
  EXPECT_EQ("2|A20101216;1|A20101216",
            Rows(db, "SELECT table_name, `rows` FROM LoadedFiles ORDER BY path"));

  // The same file listed once more (sent again after a server that died
  // before its confirm): noted, not loaded.
  storage.AddEntry(storage.folder() + "/logtable/20101216/20101216_1531_00A1B2C3_A.dat",
                   "A20101216", CCrc().Compute("a\tb\n5\t6\n", 8), 102, 8);
  ASSERT_EQ(0, RunLoader({"LoadLogTable"}).code);
  EXPECT_EQ("3", Rows(db, "SELECT count(*) AS n FROM A20101216"));
}

TEST_F(ImporterTest, TwoImportersAtOnceLoadEachFileOnce) {
  const std::string db = names_.New();
  Storage storage(db);
  std::string rows = "a\tb\n";
  for (int i = 0; i < 2000; ++i) rows += std::to_string(i) + "\tx\n";
  storage.Receive("20101216_1530_00A1B2C3_A.dat", "A20101216", rows, 100);
  storage.Receive("20101216_1531_00A1B2C3_A.dat", "A20101216", rows, 101);
  storage.Receive("20101216_1532_00A1B2C3_U.dat", "U20101216", rows, 102);
  LoaderRun first({"LoadLogTable"});
  LoaderRun second({"LoadLogTable"});
  EXPECT_EQ(0, first.Wait()) << first.err();
  EXPECT_EQ(0, second.Wait()) << second.err();
  EXPECT_EQ("4000", Rows(db, "SELECT count(*) AS n FROM A20101216"));
  EXPECT_EQ("2000", Rows(db, "SELECT count(*) AS n FROM U20101216"));
}

TEST_F(ImporterTest, FailedLogFileIsRecordedAndNotRetried) {
  const std::string db = names_.New();
  Storage storage(db);
  storage.Receive("20101216_1530_00A1B2C3_A.dat", "A20101216", "a\tb\n1\t2\n", 100);
  storage.Receive("20101216_1530_00A1B2C3_U.dat", "U20101216", "a\tb\n1\t2\n3\t4\t5\n", 101);
  const std::string wrong_crc = storage.folder() + "/logtable/20101216/20101216_1530_00A1B2C3_M.dat";
  WriteFileBytes(wrong_crc, "a\n1\n");
  storage.AddEntry(wrong_crc, "M20101216", 0x12345678, 102, 4);
  storage.AddEntry("/etc/passwd", "P20101216", 0, 103, 0);
  storage.AddEntry(storage.folder() + "/logtable/20101216/gone.dat", "S20101216", 0, 104, 0);

  Outcome o = RunLoader({"LoadLogTable"});
  EXPECT_EQ(kImporterFailed, o.code);
  EXPECT_NE(std::string::npos, o.err.find("line 3: 3 fields where the header has 2")) << o.err;
  EXPECT_EQ("1|2", Rows(db, "SELECT a, b FROM A20101216"));
  EXPECT_EQ("0", Rows(db, "SELECT count(*) AS n FROM U20101216"));
  EXPECT_EQ("", Rows(db, "SHOW TABLES LIKE 'P20101216'"));
  const std::string loaded = storage.Loaded();
  EXPECT_NE(std::string::npos, loaded.find("20101216_1530_00A1B2C3_A.dat|loaded|")) << loaded;
  EXPECT_NE(std::string::npos,
            loaded.find("20101216_1530_00A1B2C3_U.dat|failed|line 3: 3 fields where the header "
                        "has 2"))
      << loaded;
  EXPECT_NE(std::string::npos,
            loaded.find("20101216_1530_00A1B2C3_M.dat|failed|CRC 89C12400 differs from the listed "
                        "CRC 12345678"))
      << loaded;
  EXPECT_NE(std::string::npos, loaded.find("passwd|failed|/etc/passwd lies outside the storage"))
      << loaded;
  EXPECT_NE(std::string::npos, loaded.find("gone.dat|failed|cannot find")) << loaded;

  // The failures are not tried again.
  o = RunLoader({"LoadLogTable"});
  EXPECT_EQ(0, o.code) << o.err;
  EXPECT_EQ("", o.err);
  EXPECT_EQ("1", Rows(db, "SELECT count(*) AS n FROM A20101216"));
}

TEST_F(ImporterTest, FilesWaitWhileTheDatabaseDoesNotAnswer) {
  const std::string db = names_.New();
  Storage storage(db);
  storage.Receive("20101216_1530_00A1B2C3_A.dat", "A20101216", "a\tb\n1\t2\n", 100);
  storage.Receive("20101216_1531_00A1B2C3_A.dat", "A20101216", "a\tb\n3\t4\n", 101);
  Importer importer(DbTestDataDirectory());
  {
    ::zv::testing::ClosingServer down;
    SetDatabasePortForTesting(down.port());
    EXPECT_EQ(kImporterFailed, importer.LoadLogTable());
    SetDatabasePortForTesting(0);
    // One connect (two attempts: configured user, then root) for the run,
    // not one for every waiting file.
    EXPECT_EQ(2, down.accepted());
  }
  EXPECT_EQ(2, importer.last_log_stats().retried);
  EXPECT_EQ(0, importer.last_log_stats().failed);
  EXPECT_EQ("", storage.Loaded());
  // Once the server answers, the files load.
  EXPECT_EQ(kImporterOk, importer.LoadLogTable());
  EXPECT_EQ(2, importer.last_log_stats().loaded);
  EXPECT_EQ("1|2;3|4", Rows(db, "SELECT a, b FROM A20101216 ORDER BY a"));
  EXPECT_EQ("20101216_1530_00A1B2C3_A.dat|loaded|;20101216_1531_00A1B2C3_A.dat|loaded|",
            storage.Loaded());
}

TEST_F(ImporterTest, ServerSideControlRunsTheRealImporter) {
  const std::string db = names_.New();
  const std::string link = ::zv::testing::DbTestHome() + "/Loader.exe";
  unlink(link.c_str());
  ASSERT_EQ(0, symlink(LoaderPath().c_str(), link.c_str()));
  Loader& loader = Loader::Instance();
  loader.Init();
  EXPECT_EQ(0u, loader.CreateTable(db, "AttachInfo"));
  EXPECT_EQ("AttachInfo", Rows(db, "SHOW TABLES"));

  ::zv::testing::ScopedTempDir dir;
  WriteFileBytes(dir.Sub("my users.dat"), "id\tname\n1\tfoo\n");
  ASSERT_EQ(0, loader.LoadConfigTable(dir.Sub("my users.dat"), db + ".users"));
  uint32_t code = 0xFFFFFFFF;
  while (!loader.WaitImporter(100, &code)) {
  }
  EXPECT_EQ(0u, code);
  EXPECT_EQ("1|foo", Rows(db, "SELECT id, name FROM users"));

  // A failing import reports its exit code.
  ASSERT_EQ(0, loader.LoadConfigTable(dir.Sub("missing.dat"), db + ".users"));
  while (!loader.WaitImporter(100, &code)) {
  }
  EXPECT_EQ(static_cast<uint32_t>(kImporterFailed), code);
  unlink(link.c_str());
}

TEST_F(ImporterTest, ImporterKilledMidLoadLeavesNothingAndLoadsNextTime) {
  const std::string db = names_.New();
  Storage storage(db);
  std::string content = "a\tb\n";
  for (int i = 0; i < 5000; ++i) content += std::to_string(i) + "\tvalue " + std::to_string(i) + "\n";
  const std::string day = storage.folder() + "/logtable/20101216";
  const std::string path = day + "/20101216_1530_00A1B2C3_A.dat";
  std::filesystem::create_directories(day);
  // The file is a FIFO at first, so that the test controls when the load
  // stands still.
  ASSERT_EQ(0, mkfifo(path.c_str(), 0600));
  CCrc crc;
  storage.AddEntry(path, "A20101216", crc.Compute(content.data(), content.size()), 100,
                   static_cast<uint32_t>(content.size()));
  {
    LoaderRun run({"LoadLogTable"});
    int fd = open(path.c_str(), O_WRONLY | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(4, write(fd, content.data(), 4));
    pollfd pfd{fd, 0, 0};
    ASSERT_EQ(1, poll(&pfd, 1, -1));
    close(fd);
    // The load itself: half the rows, then the importer dies.
    fd = open(path.c_str(), O_WRONLY | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    const size_t half = content.size() / 2;
    ASSERT_EQ(static_cast<ssize_t>(half), write(fd, content.data(), half));
    run.Kill();
    EXPECT_EQ(128 + SIGKILL, run.Wait());
    close(fd);
  }
  EXPECT_EQ("0", Rows(db, "SELECT count(*) AS n FROM A20101216"));
  EXPECT_EQ("", storage.Loaded());

  // The file as received: the next run loads it whole.
  ASSERT_EQ(0, unlink(path.c_str()));
  WriteFileBytes(path, content);
  const Outcome o = RunLoader({"LoadLogTable"});
  ASSERT_EQ(0, o.code) << o.err;
  EXPECT_EQ("5000", Rows(db, "SELECT count(*) AS n FROM A20101216"));
  EXPECT_EQ("20101216_1530_00A1B2C3_A.dat|loaded|", storage.Loaded());
}

TEST_F(ImporterTest, MissingDbConfigFallsBackToRootAndLeavesTheOperationLogAlone) {
  const std::string db = names_.New();
  const std::string config = ::zv::testing::DbTestHome() + "/config/dbconf.ini";
  const std::string saved = ::zv::testing::ReadFileBytes(config);
  ASSERT_EQ(0, unlink(config.c_str()));
  const Outcome o = RunLoader({"CreateTable", db, "TableInfo"});
  WriteFileBytes(config, saved);
  EXPECT_EQ(0, o.code) << o.err;
  EXPECT_NE(std::string::npos, o.err.find("cannot read " + config)) << o.err;
  EXPECT_EQ("TableInfo", Rows(db, "SHOW TABLES"));
  // The operation log is the server's: the importer never writes it.
  std::error_code ec;
  EXPECT_TRUE(std::filesystem::is_empty(::zv::testing::DbTestHome() + "/log", ec) || ec);
}

TEST_F(ImporterTest, MutexIsHeldWhileItRuns) {
  const std::string db = names_.New();
  ::zv::testing::ScopedTempDir dir;
  const std::string fifo = dir.Sub("table.fifo");
  ASSERT_EQ(0, mkfifo(fifo.c_str(), 0600));
  ASSERT_FALSE(NamedObjectExists(kLoaderMutexName));
  LoaderRun run({"LoadConfigTable", db + ".t", fifo});
  // The importer opens the table file only after it took the mutex: once
  // this open returns, it holds it.
  int fd = open(fifo.c_str(), O_WRONLY | O_CLOEXEC);
  ASSERT_GE(fd, 0);
  EXPECT_TRUE(NamedObjectExists(kLoaderMutexName));
  ASSERT_EQ(4, write(fd, "a\tb\n", 4));
  // The header reader stops after the first line and closes its end; wait
  // for that, so that the rows go to the second reader.
  pollfd pfd{fd, 0, 0};
  ASSERT_EQ(1, poll(&pfd, 1, -1));
  EXPECT_TRUE(pfd.revents & POLLERR);
  close(fd);
  // The load itself reads the file a second time.
  fd = open(fifo.c_str(), O_WRONLY | O_CLOEXEC);
  ASSERT_GE(fd, 0);
  EXPECT_TRUE(NamedObjectExists(kLoaderMutexName));
  ASSERT_EQ(8, write(fd, "a\tb\n1\t2\n", 8));
  close(fd);
  EXPECT_EQ(0, run.Wait()) << run.err();
  EXPECT_FALSE(NamedObjectExists(kLoaderMutexName));
  EXPECT_EQ("1|2", Rows(db, "SELECT a, b FROM t"));
}

TEST_F(ImporterTest, WaitsForAnotherImporterToFinish) {
  const std::string db = names_.New();
  NamedEvent::CreateResult result;
  auto holder = NamedEvent::Create(kLoaderMutexName, true, &result);
  ASSERT_TRUE(holder);
  LoaderRun run({"CreateTable", db, "TableInfo"});
  ASSERT_TRUE(run.WaitForError("waiting for another importer to finish")) << run.err();
  // It cannot have done anything while the mutex is held.
  EXPECT_FALSE(run.Exited());
  EXPECT_EQ("", Rows("", "SHOW DATABASES LIKE '" + db + "'"));
  holder.reset();
  EXPECT_EQ(0, run.Wait()) << run.err();
  EXPECT_EQ("TableInfo", Rows(db, "SHOW TABLES"));
}

}  // namespace
}  // namespace zv
