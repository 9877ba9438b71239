// CDBManager: owns one CMysqlBase and offers statement execution, queries
// and table lookups over it. Short-lived and used by one thread: create,
// SetConnection, work, destroy (which closes the connection).
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "db/mysql_base.h"

namespace zv {

class CDBManager {
 public:
  // The only database type there is.
  static constexpr uint32_t kTypeMysql = 3;

  CDBManager() = default;
  virtual ~CDBManager();
  CDBManager(const CDBManager&) = delete;
  CDBManager& operator=(const CDBManager&) = delete;

  // Replaces the connection object with one for these credentials (the
  // defaults of ConnectionParams::Make for absent values). Does not connect.
  void SetConnection(const std::optional<std::string>& user,
                     const std::optional<std::string>& password,
                     const std::optional<std::string>& database);
  // Options for the connections made by later SetConnection calls.
  void SetConnectOptions(const ConnectOptions& options) { options_ = options; }

  [[nodiscard]] bool Open();
  [[nodiscard]] bool Execute(const std::string& sql);
  [[nodiscard]] bool Query(const std::string& sql, DbRows* rows);
  [[nodiscard]] bool ExecuteWithLocalInfile(const std::string& sql, LocalInfileSource* source);
  // True when a table of the current database matches the SQL LIKE pattern.
  bool TableExists(const std::string& pattern);
  std::vector<std::string> ListTables();

  // "DB not open" without a connection object.
  std::string GetLastErrorText() const;
  // 0 without a connection object.
  uint32_t GetLastErrorNumber() const;
  uint64_t GetAffectedRows() const;
  // The text as a quoted SQL string literal; "" without a connection object.
  std::string QuoteString(const std::string& text);

 protected:
  CMysqlBase* base() { return db_type_ == kTypeMysql ? base_.get() : nullptr; }

 private:
  uint32_t db_type_ = kTypeMysql;
  std::unique_ptr<CMysqlBase> base_;
  std::unique_ptr<ConnectionParams> params_;
  ConnectOptions options_;
};

}  // namespace zv
