#include "db/db_manager.h"

namespace zv {

CDBManager::~CDBManager() = default;

void CDBManager::SetConnection(const std::optional<std::string>& user,
                               const std::optional<std::string>& password,
                               const std::optional<std::string>& database) {
  params_ = std::make_unique<ConnectionParams>(ConnectionParams::Make(user, password, database));
  base_.reset();
  base_ = std::make_unique<CMysqlBase>(std::make_unique<ConnectionParams>(*params_), options_);
}

bool CDBManager::Open() {
  CMysqlBase* b = base();
  return b != nullptr && b->Open() == 0;
}

bool CDBManager::Execute(const std::string& sql) {
  CMysqlBase* b = base();
  return b != nullptr && b->Execute(sql) == 0;
}

bool CDBManager::Query(const std::string& sql, DbRows* rows) {
  CMysqlBase* b = base();
  return b != nullptr && b->Query(sql, rows) == 0;
}

bool CDBManager::ExecuteWithLocalInfile(const std::string& sql, LocalInfileSource* source) {
  CMysqlBase* b = base();
  return b != nullptr && b->ExecuteWithLocalInfile(sql, source) == 0;
}

bool CDBManager::TableExists(const std::string& pattern) {
  CMysqlBase* b = base();
  return b != nullptr && b->TableExists(pattern);
}

std::vector<std::string> CDBManager::ListTables() {
  CMysqlBase* b = base();
  return b != nullptr ? b->ListTables() : std::vector<std::string>();
}

std::string CDBManager::GetLastErrorText() const {
  return base_ ? base_->GetLastErrorText() : std::string("DB not open");
}

uint32_t CDBManager::GetLastErrorNumber() const {
  return base_ ? base_->GetLastErrorNumber() : 0;
}

uint64_t CDBManager::GetAffectedRows() const { return base_ ? base_->GetAffectedRows() : 0; }

std::string CDBManager::QuoteString(const std::string& text) {
  CMysqlBase* b = base();
  if (b == nullptr || b->Init() != 0) return std::string();
  return b->QuoteString(text);
}

}  // namespace zv
