#include "db/importer.h"

#include <fcntl.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdarg>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <set>
#include <thread>
#include <tuple>

#include "config/zv_sync_config.h"
#include "db/list_change_record.h"
#include "db/sql_text.h"
#include "db/table_file.h"
#include "db/loader.h"
#include "platform/ascii_case.h"
#include "platform/named_object.h"
#include "util/crc.h"
#include "util/file_util.h"

namespace zv {

namespace {

// The name the LOAD DATA statement gives; the file itself is served by
// TableFileSource, so no path ever appears in SQL text.
constexpr const char* kInfileName = "zentrovane-table-file";
constexpr int kMutexWaitStepMs = 100;
constexpr int kMutexWaitLimitMs = 10 * 60 * 1000;
constexpr int kSqliteBusyMs = 60000;

void Complain(const char* format, ...) __attribute__((format(printf, 1, 2)));
void Complain(const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::fputs("Loader: ", stderr);
  std::vfprintf(stderr, format, args);
  std::fputc('\n', stderr);
  va_end(args);
}

// Streams a table file to the client library, checking its format, size
// and CRC on the way. A failure ends the statement with an error.
class TableFileSource final : public LocalInfileSource {
 public:
  TableFileSource(std::string path, std::vector<std::string> columns,
                  std::optional<FileExpectation> expect)
      : path_(std::move(path)), columns_(std::move(columns)), expect_(expect) {}
  ~TableFileSource() override { Close(); }

  bool Open(const std::string& file_name, std::string* error) override {
    if (file_name != kInfileName) return Fail("server asked for another file", error);
    fd_ = open(path_.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd_ < 0) return Fail("cannot open " + path_ + ": " + std::strerror(errno), error);
    return true;
  }

  int Read(char* buffer, unsigned size, std::string* error) override {
    ssize_t n;
    do {
      n = read(fd_, buffer, size);
    } while (n < 0 && errno == EINTR);
    if (n < 0) {
      Fail("cannot read " + path_ + ": " + std::strerror(errno), error);
      return -1;
    }
    if (n == 0) return Finish(error) ? 0 : -1;
    size_ += static_cast<uint64_t>(n);
    crc_ = crc_engine_.Update(crc_, buffer, static_cast<size_t>(n));
    if (!checker_.Feed(buffer, static_cast<size_t>(n))) {
      Fail(checker_.error(), error);
      return -1;
    }
    return static_cast<int>(n);
  }

  void Close() override {
    if (fd_ >= 0) close(fd_);
    fd_ = -1;
  }

  bool failed() const { return failed_; }
  bool finished() const { return finished_; }
  const std::string& error() const { return error_; }
  uint64_t rows() const { return checker_.rows(); }

 private:
  bool Finish(std::string* error) {
    if (!checker_.Finish()) return Fail(checker_.error(), error);
    if (checker_.columns() != columns_) return Fail("the header changed while loading", error);
    if (expect_ && expect_->size != size_) {
      return Fail("size " + std::to_string(size_) + " differs from the listed size " +
                      std::to_string(expect_->size),
                  error);
    }
    if (expect_ && expect_->crc != crc_) {
      char text[96];
      std::snprintf(text, sizeof(text), "CRC %08X differs from the listed CRC %08X", crc_,
                    expect_->crc);
      return Fail(text, error);
    }
    finished_ = true;
    return true;
  }

  bool Fail(const std::string& what, std::string* error) {
    failed_ = true;
    error_ = what;
    *error = what;
    return false;
  }

  const std::string path_;
  const std::vector<std::string> columns_;
  const std::optional<FileExpectation> expect_;
  int fd_ = -1;
  TableFileChecker checker_;
  CCrc crc_engine_;
  uint32_t crc_ = 0;
  uint64_t size_ = 0;
  bool failed_ = false;
  bool finished_ = false;
  std::string error_;
};

// MySQL errors caused by the data of a file rather than by the server.
bool IsDataError(uint32_t number) {
  switch (number) {
    case 1048:  // column cannot be null
    case 1117:  // too many columns
    case 1118:  // row size too large
    case 1261:  // row does not contain data for all columns
    case 1262:  // row truncated
    case 1263:  // NULL for a NOT NULL column
    case 1264:  // out of range
    case 1265:  // data truncated
    case 1292:  // incorrect value
    case 1300:  // invalid character string
    case 1366:  // incorrect value for a column
    case 1406:  // data too long
    case 4025:  // constraint failed
      return true;
    default:
      return false;
  }
}

LoadReport FileError(std::string what) {
  LoadReport report;
  report.outcome = LoadOutcome::kFileError;
  report.error = std::move(what);
  return report;
}

LoadReport DatabaseError(const std::string& what, ZVDBManager* db) {
  LoadReport report;
  report.outcome = IsDataError(db->GetLastErrorNumber()) ? LoadOutcome::kFileError
                                                          : LoadOutcome::kDatabaseError;
  report.error = what + ": " + db->GetLastErrorText() + " (" +
                 std::to_string(db->GetLastErrorNumber()) + ")";
  return report;
}

// Creates the database when missing and makes it the current one.
// MariaDB's numbers for an unknown database and an unknown table.
constexpr uint32_t kErrorUnknownDatabase = 1049;
constexpr uint32_t kErrorUnknownTable = 1146;

// Uses the database, made first when it does not exist yet. A CREATE
// DATABASE is a DDL statement the server logs and serialises even when the
// database exists; a storage's database exists from its first file on.
bool UseDatabase(ZVDBManager* db, const std::string& database) {
  const std::string use = "USE " + QuoteIdentifier(database);
  if (db->Execute(use)) return true;
  if (db->GetLastErrorNumber() != kErrorUnknownDatabase) return false;
  return db->Execute("CREATE DATABASE IF NOT EXISTS " + QuoteIdentifier(database) +
                     " CHARACTER SET utf8mb4") &&
         db->Execute(use);
}

bool ConnectServer(ZVDBManager* db) { return db->Connect(""); }

// The real path of p, or "" when it cannot be resolved.
std::string RealPath(const std::string& p) {
  char buffer[PATH_MAX];
  return realpath(p.c_str(), buffer) != nullptr ? std::string(buffer) : std::string();
}

struct ListEntry {
  std::string path;
  std::string tablename;
  uint32_t crc = 0;
  int64_t time = 0;
  int64_t begin = 0;
  int64_t end = 0;
};

struct SqliteCloser {
  void operator()(sqlite3* db) const { sqlite3_close(db); }
};
using SqliteHandle = std::unique_ptr<sqlite3, SqliteCloser>;

struct StatementFinalizer {
  void operator()(sqlite3_stmt* s) const { sqlite3_finalize(s); }
};
using Statement = std::unique_ptr<sqlite3_stmt, StatementFinalizer>;

std::string ColumnText(sqlite3_stmt* s, int i) {
  const unsigned char* text = sqlite3_column_text(s, i);
  return text ? std::string(reinterpret_cast<const char*>(text),
                            static_cast<size_t>(sqlite3_column_bytes(s, i)))
              : std::string();
}

}  // namespace

ConnectOptions ImporterConnectOptions() {
  ConnectOptions options;
  options.local_infile = true;
  options.charset = "utf8mb4";
  return options;
}

std::string LogTableNameForEntry(const std::string& file_path, const std::string& list_name) {
  if (EqualsIgnoringCase(list_name, "oprlog")) {
    const size_t slash = file_path.find_last_of('/');
    const std::string base = slash == std::string::npos ? file_path : file_path.substr(slash + 1);
    if (base.size() < 8 || !IsDateString(std::string_view(base).substr(0, 8))) return "";
    return "o" + base.substr(0, 8);
  }
  return IsSqlIdentifier(list_name) ? list_name : std::string();
}

Importer::Importer(std::string data_path, CommitObserver after_commit)
    : data_path_(TrimPathSeparators(data_path)), after_commit_(std::move(after_commit)) {}

LoadReport Importer::LoadFile(ZVDBManager* db, const std::string& database,
                              const std::string& table, const std::string& file, LoadMode mode,
                              const std::optional<FileExpectation>& expect,
                              const LoadMark* mark) {
  if (!IsSqlIdentifier(database) || IsSystemDatabase(database)) {
    return FileError("\"" + database + "\" is not a database the importer may write");
  }
  if (!IsSqlIdentifier(table)) return FileError("\"" + table + "\" is not a table name");
  if (IsReservedTableName(table)) {
    return FileError("\"" + table + "\" is a table of the server's own");
  }
  std::vector<std::string> columns;
  std::string error;
  if (!ReadTableFileHeader(file, &columns, &error)) return FileError(error);

  if (!UseDatabase(db, database)) return DatabaseError("cannot use database " + database, db);
  const std::string qtable = QuoteIdentifier(table);
  // A table not there yet is made with the file's columns; one made from an
  // older file may lack columns this file brings.
  DbRows existing;
  if (!db->Query("SHOW COLUMNS FROM " + qtable, &existing)) {
    if (db->GetLastErrorNumber() != kErrorUnknownTable) {
      return DatabaseError("cannot read the columns of " + table, db);
    }
    std::string create = "CREATE TABLE IF NOT EXISTS " + qtable + " (";
    for (size_t i = 0; i < columns.size(); ++i) {
      if (i > 0) create += ", ";
      create += QuoteIdentifier(columns[i]) + " LONGTEXT";
    }
    create += ") ENGINE=InnoDB DEFAULT CHARSET=utf8mb4";
    if (!db->Execute(create)) return DatabaseError("cannot create table " + table, db);
  } else {
    std::set<std::string> have;
    for (const DbRow& row : existing) {
      auto it = row.find("Field");
      if (it != row.end()) have.insert(ToLowerAscii(it->second));
    }
    for (const std::string& column : columns) {
      if (have.count(ToLowerAscii(column)) != 0) continue;
      if (!db->Execute("ALTER TABLE " + qtable + " ADD COLUMN " + QuoteIdentifier(column) +
                       " LONGTEXT")) {
        return DatabaseError("cannot add column " + column + " to " + table, db);
      }
    }
  }

  std::string load = std::string("LOAD DATA LOCAL INFILE '") + kInfileName + "' INTO TABLE " +
                     qtable +
                     " CHARACTER SET utf8mb4 FIELDS TERMINATED BY '\\t' ESCAPED BY '\\\\'"
                     " LINES TERMINATED BY '\\n' IGNORE 1 LINES (";
  for (size_t i = 0; i < columns.size(); ++i) {
    if (i > 0) load += ",";
    load += QuoteIdentifier(columns[i]);
  }
  load += ")";

  std::string mark_where;
  if (mark != nullptr) {
    const std::string loaded_table = QuoteIdentifier(kLoadedFilesTable);
    mark_where = " WHERE `path` = " + db->QuoteString(mark->path) +
                 " AND `crc` = " + std::to_string(mark->crc) +
                 " AND `size` = " + std::to_string(mark->size);
    const std::string select = "SELECT `rows` FROM " + loaded_table + mark_where;
    DbRows found;
    // The table is made with the storage's first load; every later file
    // only looks it up.
    if (!db->Query(select, &found)) {
      if (db->GetLastErrorNumber() != kErrorUnknownTable) {
        return DatabaseError("cannot read " + std::string(kLoadedFilesTable), db);
      }
      if (!db->Execute("CREATE TABLE IF NOT EXISTS " + loaded_table +
                       " (`path` VARBINARY(1024) NOT NULL, `crc` INT UNSIGNED NOT NULL,"
                       " `size` BIGINT UNSIGNED NOT NULL, `table_name` VARCHAR(64) NOT NULL,"
                       " `rows` BIGINT NOT NULL, `loaded_at` DATETIME NOT NULL,"
                       " PRIMARY KEY (`path`, `crc`, `size`)) ENGINE=InnoDB")) {
        return DatabaseError("cannot create " + std::string(kLoadedFilesTable), db);
      }
      if (!db->Query(select, &found)) {
        return DatabaseError("cannot read " + std::string(kLoadedFilesTable), db);
      }
    }
    if (!found.empty()) {
      LoadReport report;
      report.already_loaded = true;
      return report;
    }
  }

  if (!db->Execute("START TRANSACTION")) return DatabaseError("cannot start a transaction", db);
  auto rollback = [db] { (void)db->Execute("ROLLBACK"); };
  if (mode == LoadMode::kReplace && !db->Execute("DELETE FROM " + qtable)) {
    LoadReport report = DatabaseError("cannot empty " + table, db);
    rollback();
    return report;
  }
  TableFileSource source(file, columns, expect);
  const bool loaded = db->ExecuteWithLocalInfile(load, &source);
  if (source.failed()) {
    rollback();
    return FileError(source.error());
  }
  if (!loaded) {
    LoadReport report = DatabaseError("cannot load " + file, db);
    rollback();
    return report;
  }
  const uint64_t inserted = db->GetAffectedRows();
  if (!source.finished() || inserted != source.rows()) {
    rollback();
    return FileError("the server took " + std::to_string(inserted) + " of " +
                     std::to_string(source.rows()) + " rows");
  }
  // The mark commits with the rows or not at all. Another importer that
  // got there first makes this insert fail on the key: nothing commits.
  if (mark != nullptr &&
      !db->Execute("INSERT INTO " + QuoteIdentifier(kLoadedFilesTable) + " VALUES (" +
                   db->QuoteString(mark->path) + ", " + std::to_string(mark->crc) + ", " +
                   std::to_string(mark->size) + ", " + db->QuoteString(table) + ", " +
                   std::to_string(inserted) + ", NOW())")) {
    LoadReport report = DatabaseError("cannot record the load of " + file, db);
    rollback();
    return report;
  }
  if (!db->Execute("COMMIT")) {
    LoadReport report = DatabaseError("cannot commit", db);
    rollback();
    return report;
  }
  if (after_commit_) after_commit_(file);
  LoadReport report;
  report.rows = inserted;
  return report;
}

int Importer::CreateTable(const std::string& database, const std::string& table) {
  std::string layout;
  if (table == "TableInfo") {
    layout = "(`name` VARCHAR(64) NOT NULL PRIMARY KEY, `size` BIGINT NOT NULL DEFAULT 0)";
  } else if (table == "AttachInfo") {
    layout =
        "(`table_name` VARCHAR(64) NOT NULL PRIMARY KEY, `file_size` BIGINT NOT NULL DEFAULT 0,"
        " `file_del` INT NOT NULL DEFAULT 0)";
  } else {
    Complain("CreateTable: no layout for table \"%s\"", table.c_str());
    return kImporterFailed;
  }
  if (!IsSqlIdentifier(database) || IsSystemDatabase(database)) {
    Complain("CreateTable: \"%s\" is not a database the importer may write", database.c_str());
    return kImporterFailed;
  }
  ZVDBManager db(ImporterConnectOptions());
  if (!ConnectServer(&db)) {
    Complain("CreateTable: cannot connect to MySQL: %s", db.GetLastErrorText().c_str());
    return kImporterFailed;
  }
  if (!UseDatabase(&db, database) ||
      !db.Execute("CREATE TABLE IF NOT EXISTS " + QuoteIdentifier(table) + " " + layout +
                  " ENGINE=InnoDB DEFAULT CHARSET=utf8mb4")) {
    Complain("CreateTable %s.%s failed: %s (%u)", database.c_str(), table.c_str(),
             db.GetLastErrorText().c_str(), db.GetLastErrorNumber());
    return kImporterFailed;
  }
  return kImporterOk;
}

int Importer::LoadConfigTable(const std::string& target, const std::string& file) {
  const size_t dot = target.find('.');
  if (dot == std::string::npos) {
    Complain("LoadConfigTable: target \"%s\" is not database.table", target.c_str());
    return kImporterFailed;
  }
  const std::string database = target.substr(0, dot);
  const std::string table = target.substr(dot + 1);
  ZVDBManager db(ImporterConnectOptions());
  if (!ConnectServer(&db)) {
    Complain("LoadConfigTable: cannot connect to MySQL: %s", db.GetLastErrorText().c_str());
    return kImporterFailed;
  }
  const LoadReport report = LoadFile(&db, database, table, file, LoadMode::kReplace, std::nullopt);
  if (report.outcome != LoadOutcome::kLoaded) {
    Complain("LoadConfigTable %s from %s failed: %s", target.c_str(), file.c_str(),
             report.error.c_str());
    return kImporterFailed;
  }
  return kImporterOk;
}

int Importer::LoadLogTable() {
  log_stats_ = LogLoadStats();
  server_unreachable_ = false;
  if (data_path_.empty()) {
    Complain("LoadLogTable: no data directory (mysql_path.ini)");
    return kImporterFailed;
  }
  std::vector<std::string> storages;
  ListSubdirectories(data_path_, "*", &storages, false);
  // Only lists that changed since a run found them settled are opened.
  ListChangeRecord record(data_path_);
  (void)record.Load();
  bool ok = true;
  for (const std::string& storage : storages) {
    const std::string list_path = data_path_ + "/" + storage + "/filelist/data.lst2";
    const int64_t looked_at = ListChangeRecord::Now();
    struct stat st;
    if (stat(list_path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) continue;
    if (record.Unchanged(storage, st)) {
      record.Keep(storage);
      continue;
    }
    // A failure leaves the list to be opened again next run, where the
    // failed files show as recorded and the waiting ones are tried again.
    if (LoadStorage(storage, list_path)) {
      record.Settled(storage, st, looked_at);
    } else {
      ok = false;
    }
  }
  if (!record.Save()) {
    Complain("LoadLogTable: cannot write %s/%s: %s", data_path_.c_str(),
             ListChangeRecord::kFileName, std::strerror(errno));
  }
  if (log_stats_.loaded > 0 || !ok) {
    std::printf("Loader: %d file(s) loaded, %d failed, %d left waiting\n", log_stats_.loaded,
                log_stats_.failed, log_stats_.retried);
    std::fflush(stdout);
  }
  return ok ? kImporterOk : kImporterFailed;
}

bool Importer::LoadStorage(const std::string& storage, const std::string& list_path) {
  sqlite3* raw = nullptr;
  const int rc = sqlite3_open_v2(list_path.c_str(), &raw, SQLITE_OPEN_READWRITE, nullptr);
  SqliteHandle list(raw);
  if (rc != SQLITE_OK) {
    Complain("LoadLogTable: cannot open %s: %s", list_path.c_str(),
             raw ? sqlite3_errmsg(raw) : sqlite3_errstr(rc));
    ++log_stats_.retried;
    return false;
  }
  sqlite3_busy_timeout(list.get(), kSqliteBusyMs);
  char* message = nullptr;
  if (sqlite3_exec(list.get(),
                   "CREATE TABLE IF NOT EXISTS loaded (path TEXT, crc INTEGER, time INTEGER, "
                   "status TEXT, error TEXT, PRIMARY KEY(path, crc, time))",
                   nullptr, nullptr, &message) != SQLITE_OK) {
    Complain("LoadLogTable: %s: %s", list_path.c_str(), message ? message : "error");
    sqlite3_free(message);
    ++log_stats_.retried;
    return false;
  }

  // Read the waiting entries first and let go of the list, so that the
  // server may append while the files load.
  std::vector<ListEntry> pending;
  {
    sqlite3_stmt* raw_stmt = nullptr;
    if (sqlite3_prepare_v2(list.get(),
                           "SELECT path, tablename, crc, time, begin, end FROM filelist AS f "
                           "WHERE NOT EXISTS (SELECT 1 FROM loaded AS l WHERE l.path = f.path "
                           "AND l.crc = f.crc AND l.time = f.time) ORDER BY rowid",
                           -1, &raw_stmt, nullptr) != SQLITE_OK) {
      Complain("LoadLogTable: %s: %s", list_path.c_str(), sqlite3_errmsg(list.get()));
      ++log_stats_.retried;
      return false;
    }
    Statement stmt(raw_stmt);
    std::set<std::tuple<std::string, uint32_t, int64_t>> seen;
    int step;
    while ((step = sqlite3_step(stmt.get())) == SQLITE_ROW) {
      ListEntry e;
      e.path = ColumnText(stmt.get(), 0);
      e.tablename = ColumnText(stmt.get(), 1);
      e.crc = static_cast<uint32_t>(sqlite3_column_int64(stmt.get(), 2));
      e.time = sqlite3_column_int64(stmt.get(), 3);
      e.begin = sqlite3_column_int64(stmt.get(), 4);
      e.end = sqlite3_column_int64(stmt.get(), 5);
      if (seen.insert({e.path, e.crc, e.time}).second) pending.push_back(std::move(e));
    }
    if (step != SQLITE_DONE) {
      Complain("LoadLogTable: %s: %s", list_path.c_str(), sqlite3_errmsg(list.get()));
      ++log_stats_.retried;
      return false;
    }
  }
  if (pending.empty()) return true;

  sqlite3_stmt* raw_record = nullptr;
  if (sqlite3_prepare_v2(list.get(), "INSERT OR REPLACE INTO loaded VALUES(?, ?, ?, ?, ?)", -1,
                         &raw_record, nullptr) != SQLITE_OK) {
    Complain("LoadLogTable: %s: %s", list_path.c_str(), sqlite3_errmsg(list.get()));
    ++log_stats_.retried;
    return false;
  }
  Statement record(raw_record);

  const std::string storage_root = RealPath(data_path_ + "/" + storage);
  std::unique_ptr<ZVDBManager> db;
  bool ok = true;
  for (const ListEntry& e : pending) {
    LoadReport report;
    const std::string table = LogTableNameForEntry(e.path, e.tablename);
    const std::string real = RealPath(e.path);
    if (!IsSqlIdentifier(storage) || IsSystemDatabase(storage)) {
      report = FileError("storage folder \"" + storage + "\" is not a database name");
    } else if (table.empty()) {
      report = FileError("no table for list name \"" + e.tablename + "\"");
    } else if (real.empty()) {
      report = FileError("cannot find " + e.path + ": " + std::strerror(errno));
    } else if (storage_root.empty() || real.compare(0, storage_root.size() + 1,
                                                    storage_root + "/") != 0) {
      report = FileError(e.path + " lies outside the storage folder");
    } else if (e.begin != 0 || e.end < 0) {
      report = FileError("the entry does not describe the whole file");
    } else if (server_unreachable_) {
      report.outcome = LoadOutcome::kDatabaseError;
      report.error = "MySQL did not answer";
    } else {
      if (!db) {
        db = std::make_unique<ZVDBManager>(ImporterConnectOptions());
        if (!ConnectServer(db.get())) {
          // Do not knock again for every waiting file of this run.
          server_unreachable_ = true;
          report.outcome = LoadOutcome::kDatabaseError;
          report.error = "cannot connect to MySQL: " + db->GetLastErrorText();
          db.reset();
        }
      }
      if (db) {
        const LoadMark mark{e.path, e.crc, static_cast<uint64_t>(e.end)};
        report = LoadFile(db.get(), storage, table, real, LoadMode::kAppend,
                          FileExpectation{static_cast<uint64_t>(e.end), e.crc}, &mark);
        // A connection that failed may be broken: start afresh next time.
        if (report.outcome == LoadOutcome::kDatabaseError) db.reset();
      }
    }

    if (report.outcome == LoadOutcome::kDatabaseError) {
      Complain("LoadLogTable: %s left waiting: %s", e.path.c_str(), report.error.c_str());
      ++log_stats_.retried;
      ok = false;
      continue;
    }
    const bool loaded = report.outcome == LoadOutcome::kLoaded;
    if (!loaded) {
      Complain("LoadLogTable: %s into %s.%s failed: %s", e.path.c_str(), storage.c_str(),
               table.c_str(), report.error.c_str());
      ++log_stats_.failed;
      ok = false;
    } else {
      ++log_stats_.loaded;
    }
    sqlite3_reset(record.get());
    sqlite3_bind_text(record.get(), 1, e.path.c_str(), static_cast<int>(e.path.size()),
                      SQLITE_TRANSIENT);
    sqlite3_bind_int64(record.get(), 2, e.crc);
    sqlite3_bind_int64(record.get(), 3, e.time);
    sqlite3_bind_text(record.get(), 4, loaded ? "loaded" : "failed", -1, SQLITE_STATIC);
    if (loaded) {
      sqlite3_bind_null(record.get(), 5);
    } else {
      sqlite3_bind_text(record.get(), 5, report.error.c_str(),
                        static_cast<int>(report.error.size()), SQLITE_TRANSIENT);
    }
    if (sqlite3_step(record.get()) != SQLITE_DONE) {
      // The rows and their mark are in MySQL: the next run finds the mark
      // and only writes this note.
      Complain("LoadLogTable: cannot record %s in %s: %s", e.path.c_str(), list_path.c_str(),
               sqlite3_errmsg(list.get()));
      ok = false;
    }
  }
  return ok;
}

int RunImporterProgram(const std::vector<std::string>& args) {
  const auto usage = [] {
    Complain(
        "usage: Loader.exe CreateTable \"db\" \"table\" | LoadConfigTable \"db.table\" \"file\" "
        "| LoadLogTable");
    return kImporterUsage;
  };
  if (args.size() < 2) return usage();
  const std::string& command = args[1];
  const bool create = command == "CreateTable" && args.size() == 4;
  const bool config = command == "LoadConfigTable" && args.size() == 4;
  const bool log = command == "LoadLogTable" && args.size() == 2;
  if (!create && !config && !log) return usage();

  // One import at a time: hold the importer's mutex for the whole run.
  std::unique_ptr<NamedMutexHolder> mutex;
  bool said_waiting = false;
  for (int waited = 0;; waited += kMutexWaitStepMs) {
    NamedEvent::CreateResult result;
    mutex = NamedEvent::Create(kLoaderMutexName, true, &result);
    if (mutex) break;
    if (result == NamedEvent::CreateResult::kFailed) {
      Complain("cannot create the importer mutex: %s", std::strerror(errno));
      return kImporterFailed;
    }
    if (waited >= kMutexWaitLimitMs) {
      Complain("another importer still runs after ten minutes; giving up");
      return kImporterBusy;
    }
    if (!said_waiting) {
      Complain("waiting for another importer to finish");
      said_waiting = true;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(kMutexWaitStepMs));
  }

  // The configuration loads report an unreadable file in the operation
  // log, which belongs to the server (it keeps its own write position in
  // it); the importer says so on standard error instead.
  ZVSyncConfig& config_store = ZVSyncConfig::Instance();
  const std::string home = config_store.GetHomeDirectory();
  const std::string db_config = home + "/config/dbconf.ini";
  if (access(db_config.c_str(), R_OK) == 0) {
    (void)config_store.LoadDbConfig();
  } else {
    // The root fall-back of the connection rule still works.
    Complain("cannot read %s: %s", db_config.c_str(), std::strerror(errno));
  }
  if (log) {
    const std::string mysql_path = home + "/../mysql_path.ini";
    if (access(mysql_path.c_str(), R_OK) == 0) {
      (void)config_store.LoadMysqlPath();
    } else {
      Complain("cannot read %s: %s", mysql_path.c_str(), std::strerror(errno));
    }
  }

  Importer importer(config_store.GetMysqlDataPath());
  int code;
  if (create) {
    code = importer.CreateTable(args[2], args[3]);
  } else if (config) {
    code = importer.LoadConfigTable(args[2], args[3]);
  } else {
    code = importer.LoadLogTable();
  }
  EndDatabaseThread();
  return code;
}

}  // namespace zv
