// CMysqlBase: one connection to the local MySQL server through the client
// library, with statement execution, whole-result queries and table
// listing. Created and used by one thread (usually through CDBManager);
// several objects may live on several threads at once.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

// The client library's handle types, kept out of this header.
struct st_mysql;
struct st_mysql_res;

namespace zv {

inline constexpr const char* kDefaultDbHost = "127.0.0.1";
inline constexpr uint32_t kDefaultDbPort = 811;
inline constexpr const char* kDefaultDbUser = "root";
inline constexpr const char* kDefaultDbPassword = "qormelt";
inline constexpr const char* kDefaultDatabase = "aclog";
// Seconds a connection attempt may take before it fails, so that a dead
// server never hangs a session.
inline constexpr unsigned kDbConnectTimeoutSeconds = 5;

// One row of a query: column name -> value as text ("NULL" for SQL NULL).
using DbRow = std::map<std::string, std::string>;
using DbRows = std::vector<DbRow>;

struct ConnectionParams {
  std::string host = kDefaultDbHost;
  uint32_t port = kDefaultDbPort;
  std::string user;
  std::string password;
  std::string database;
  std::string extra;  // not used
  uint32_t flags = 0;  // not used

  // The server's parameters: 127.0.0.1:811, and the defaults root,
  // qormelt and aclog for values that are absent. An empty string is a
  // value and is used as it is ("" as database: none selected).
  static ConnectionParams Make(const std::optional<std::string>& user,
                               const std::optional<std::string>& password,
                               const std::optional<std::string>& database);
};

// Options of a connection beyond the server's defaults. The server's own
// connections use none of them; the importer asks for LOAD DATA LOCAL and
// a character set.
struct ConnectOptions {
  bool local_infile = false;
  std::string charset;  // empty: the client library's default
};

// A stream the client library reads instead of a file for LOAD DATA LOCAL
// INFILE: the statement names the file, and Open receives that name.
class LocalInfileSource {
 public:
  virtual ~LocalInfileSource() = default;
  // False with *error set when the stream cannot be opened.
  virtual bool Open(const std::string& file_name, std::string* error) = 0;
  // Up to size bytes into buffer: the count, 0 at the end, -1 with *error
  // on failure (the statement then fails).
  virtual int Read(char* buffer, unsigned size, std::string* error) = 0;
  virtual void Close() = 0;
};

// Initialises the client library once per process; every connection calls
// it first, so callers need not. Thread-safe.
void InitDatabaseLibrary();
// Releases what the client library keeps for the calling thread. Threads
// that used a connection call it before they end.
void EndDatabaseThread();

// Tests only: the port ConnectionParams::Make uses (0 restores 811).
void SetDatabasePortForTesting(uint32_t port);

class CMysqlBase {
 public:
  explicit CMysqlBase(std::unique_ptr<ConnectionParams> params,
                      const ConnectOptions& options = ConnectOptions());
  virtual ~CMysqlBase();
  CMysqlBase(const CMysqlBase&) = delete;
  CMysqlBase& operator=(const CMysqlBase&) = delete;

  // Creates the client handle once. 0, or -1 ("mysql_init() error").
  virtual int Init();
  // Init, then connects unless connected. 0 or -1 ("connect failed,
  // error:%s").
  int Open();
  // Open, then runs the statement. 0 or -1 ("error:%s" and the number).
  int Execute(const std::string& sql);
  // Execute and appends one map per row of the result to *rows.
  int Query(const std::string& sql, DbRows* rows);
  // Execute with source serving the statement's LOAD DATA LOCAL INFILE.
  // REQUIRES: the connection was made with ConnectOptions::local_infile.
  int ExecuteWithLocalInfile(const std::string& sql, LocalInfileSource* source);

  // Names of the tables of the current database; empty on any failure.
  std::vector<std::string> ListTables();
  // True when a table name of the current database matches the SQL LIKE
  // pattern ('%' and '_' are wildcards).
  bool TableExists(const std::string& pattern);

  // The first 100 characters of the last error text.
  std::string GetLastErrorText() const;
  uint32_t GetLastErrorNumber() const { return last_error_number_; }
  // Rows changed by the last statement (LOAD DATA: rows inserted).
  uint64_t GetAffectedRows() const;
  // The text as a quoted SQL string literal for this connection.
  // REQUIRES: Init succeeded.
  std::string QuoteString(const std::string& text);

  const ConnectionParams& params() const { return *params_; }

 private:
  void SetError(const std::string& text, uint32_t number);
  void FreeResult();

  st_mysql* mysql_ = nullptr;
  std::unique_ptr<ConnectionParams> params_;
  ConnectOptions options_;
  bool connected_ = false;
  st_mysql_res* result_ = nullptr;
  char** row_ = nullptr;
  unsigned field_count_ = 0;
  std::string last_error_text_;
  uint32_t last_error_number_ = 0;
};

}  // namespace zv
