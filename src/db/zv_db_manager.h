// ZVDBManager: a CDBManager with the server's rule for credentials: the
// configured SQLUser and deciphered SQLPWD first, then root with the
// default password. Created on the stack of the thread that uses it,
// connected to one database, destroyed after a few statements.
#pragma once

#include <string>

#include "db/db_manager.h"

namespace zv {

class ZVDBManager : public CDBManager {
 public:
  ZVDBManager() = default;
  explicit ZVDBManager(const ConnectOptions& options) { SetConnectOptions(options); }
  ~ZVDBManager() override;

  // Connects to database ("" selects none). On failure logs
  // "Connect mysql %s failed!" once and leaves current_database() empty.
  [[nodiscard]] bool Connect(const std::string& database);
  // True when a connection without a database can be made.
  static bool TestConnection();

  const std::string& current_database() const { return current_database_; }

 private:
  std::string current_database_;
};

}  // namespace zv
