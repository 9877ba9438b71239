#include "db/mysql_base.h"

#include <mariadb/errmsg.h>
#include <mariadb/mysql.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <mutex>

namespace zv {

namespace {

std::atomic<uint32_t> g_port_for_testing{0};
std::once_flag g_library_once;

// Per-statement state of a LOAD DATA LOCAL INFILE served by a
// LocalInfileSource.
struct InfileState {
  LocalInfileSource* source = nullptr;
  std::string error;
};

int InfileInit(void** ptr, const char* file_name, void* userdata) {
  auto* state = new InfileState;
  state->source = static_cast<LocalInfileSource*>(userdata);
  *ptr = state;
  if (state->source == nullptr) {
    state->error = "no local file source";
    return 1;
  }
  return state->source->Open(file_name ? file_name : "", &state->error) ? 0 : 1;
}

int InfileRead(void* ptr, char* buffer, unsigned int size) {
  auto* state = static_cast<InfileState*>(ptr);
  return state->source->Read(buffer, size, &state->error);
}

void InfileEnd(void* ptr) {
  auto* state = static_cast<InfileState*>(ptr);
  if (state == nullptr) return;
  if (state->source != nullptr) state->source->Close();
  delete state;
}

int InfileError(void* ptr, char* buffer, unsigned int size) {
  auto* state = static_cast<InfileState*>(ptr);
  const std::string text = state && !state->error.empty() ? state->error : "local file error";
  if (size > 0) std::snprintf(buffer, size, "%s", text.c_str());
  return CR_UNKNOWN_ERROR;
}

}  // namespace

ConnectionParams ConnectionParams::Make(const std::optional<std::string>& user,
                                        const std::optional<std::string>& password,
                                        const std::optional<std::string>& database) {
  ConnectionParams params;
  const uint32_t port = g_port_for_testing.load();
  params.port = port != 0 ? port : kDefaultDbPort;
  params.user = user.value_or(kDefaultDbUser);
  params.password = password.value_or(kDefaultDbPassword);
  params.database = database.value_or(kDefaultDatabase);
  return params;
}

void InitDatabaseLibrary() {
  std::call_once(g_library_once, [] {
    if (mysql_library_init(0, nullptr, nullptr) != 0) {
      std::fprintf(stderr, "mysql_library_init failed\n");
    }
  });
}

void EndDatabaseThread() { mysql_thread_end(); }

void SetDatabasePortForTesting(uint32_t port) { g_port_for_testing.store(port); }

CMysqlBase::CMysqlBase(std::unique_ptr<ConnectionParams> params, const ConnectOptions& options)
    : params_(std::move(params)), options_(options) {
  if (!params_) throw 0;
}

CMysqlBase::~CMysqlBase() {
  FreeResult();
  if (mysql_ != nullptr) mysql_close(mysql_);
}

void CMysqlBase::SetError(const std::string& text, uint32_t number) {
  last_error_text_ = text;
  last_error_number_ = number;
}

void CMysqlBase::FreeResult() {
  if (result_ != nullptr) mysql_free_result(result_);
  result_ = nullptr;
  row_ = nullptr;
  field_count_ = 0;
}

int CMysqlBase::Init() {
  if (mysql_ != nullptr) return 0;
  InitDatabaseLibrary();
  mysql_ = mysql_init(nullptr);
  if (mysql_ == nullptr) {
    SetError("mysql_init() error", CR_OUT_OF_MEMORY);
    return -1;
  }
  unsigned timeout = kDbConnectTimeoutSeconds;
  mysql_optionsv(mysql_, MYSQL_OPT_CONNECT_TIMEOUT, &timeout);
  my_bool local_infile = options_.local_infile ? 1 : 0;
  mysql_optionsv(mysql_, MYSQL_OPT_LOCAL_INFILE, &local_infile);
  // Outside ExecuteWithLocalInfile no local file is ever sent, whatever the
  // server asks for.
  if (options_.local_infile) {
    mysql_set_local_infile_handler(mysql_, InfileInit, InfileRead, InfileEnd, InfileError,
                                   nullptr);
  }
  if (!options_.charset.empty()) {
    mysql_optionsv(mysql_, MYSQL_SET_CHARSET_NAME, options_.charset.c_str());
  }
  return 0;
}

int CMysqlBase::Open() {
  if (Init() != 0) return -1;
  if (connected_) return 0;
  const ConnectionParams& p = *params_;
  if (mysql_real_connect(mysql_, p.host.c_str(), p.user.c_str(), p.password.c_str(),
                         p.database.empty() ? nullptr : p.database.c_str(), p.port, nullptr,
                         0) == nullptr) {
    SetError(std::string("connect failed, error:") + mysql_error(mysql_), mysql_errno(mysql_));
    // A failed connect leaves the handle unusable for another attempt.
    mysql_close(mysql_);
    mysql_ = nullptr;
    return -1;
  }
  connected_ = true;
  return 0;
}

int CMysqlBase::Execute(const std::string& sql) {
  if (Open() != 0) return -1;
  if (mysql_real_query(mysql_, sql.data(), sql.size()) != 0) {
    SetError(std::string("error:") + mysql_error(mysql_), mysql_errno(mysql_));
    return -1;
  }
  return 0;
}

int CMysqlBase::Query(const std::string& sql, DbRows* rows) {
  FreeResult();
  if (Execute(sql) != 0) return -1;
  result_ = mysql_store_result(mysql_);
  if (result_ == nullptr) {
    if (mysql_field_count(mysql_) == 0) return 0;  // a statement without rows
    SetError(std::string("error:") + mysql_error(mysql_), mysql_errno(mysql_));
    return -1;
  }
  field_count_ = mysql_num_fields(result_);
  MYSQL_FIELD* fields = mysql_fetch_fields(result_);
  while ((row_ = mysql_fetch_row(result_)) != nullptr) {
    unsigned long* lengths = mysql_fetch_lengths(result_);
    DbRow row;
    for (unsigned i = 0; i < field_count_; ++i) {
      std::string name(fields[i].name, fields[i].name_length);
      if (row_[i] == nullptr) {
        row[name] = "NULL";
      } else {
        row[name] = std::string(row_[i], lengths[i]);
      }
    }
    if (rows != nullptr) rows->push_back(std::move(row));
  }
  return 0;
}

int CMysqlBase::ExecuteWithLocalInfile(const std::string& sql, LocalInfileSource* source) {
  if (!options_.local_infile) throw 0;
  if (Open() != 0) return -1;
  mysql_set_local_infile_handler(mysql_, InfileInit, InfileRead, InfileEnd, InfileError, source);
  const int rc = mysql_real_query(mysql_, sql.data(), sql.size());
  if (rc != 0) SetError(std::string("error:") + mysql_error(mysql_), mysql_errno(mysql_));
  mysql_set_local_infile_handler(mysql_, InfileInit, InfileRead, InfileEnd, InfileError, nullptr);
  return rc == 0 ? 0 : -1;
}

std::vector<std::string> CMysqlBase::ListTables() {
  std::vector<std::string> names;
  FreeResult();
  if (Execute("SHOW TABLES") != 0) return names;
  MYSQL_RES* res = mysql_store_result(mysql_);
  if (res == nullptr) return names;
  while (MYSQL_ROW row = mysql_fetch_row(res)) {
    unsigned long* lengths = mysql_fetch_lengths(res);
    if (mysql_num_fields(res) > 0 && row[0] != nullptr) names.emplace_back(row[0], lengths[0]);
  }
  mysql_free_result(res);
  return names;
}

bool CMysqlBase::TableExists(const std::string& pattern) {
  if (Open() != 0) return false;
  // The pattern keeps its wildcards; only what would end the literal is
  // escaped.
  if (Execute("SHOW TABLES LIKE " + QuoteString(pattern)) != 0) return false;
  MYSQL_RES* res = mysql_store_result(mysql_);
  if (res == nullptr) return false;
  const bool found = mysql_num_rows(res) > 0;
  mysql_free_result(res);
  return found;
}

std::string CMysqlBase::GetLastErrorText() const { return last_error_text_.substr(0, 100); }

uint64_t CMysqlBase::GetAffectedRows() const {
  return mysql_ != nullptr ? mysql_affected_rows(mysql_) : 0;
}

std::string CMysqlBase::QuoteString(const std::string& text) {
  if (mysql_ == nullptr) throw 0;
  std::string out(text.size() * 2 + 3, '\0');
  out[0] = '\'';
  const unsigned long n =
      mysql_real_escape_string(mysql_, &out[1], text.data(), static_cast<unsigned long>(text.size()));
  out.resize(n + 1);
  out.push_back('\'');
  return out;
}

}  // namespace zv
