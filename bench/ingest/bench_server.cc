#include "bench_server.h"

#include <arpa/inet.h>
#include <mariadb/mysql.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <thread>

#include "build_config.h"
#include "datafiles/sync_position.h"
#include "platform/named_object.h"
#include "platform/settings_store.h"
#include "records/account_file.h"
#include "records/sync_account_record.h"

namespace zv::bench {
namespace {

namespace fs = std::filesystem;

constexpr const char* kStopEvent = "Global\\ZentrovaneStopEvent";

bool WriteText(const std::string& path, const std::string& text) {
  std::error_code ec;
  fs::create_directories(fs::path(path).parent_path(), ec);
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << text;
  return static_cast<bool>(out);
}

bool CanConnect(uint16_t port) {
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(port);
  bool ok = ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0;
  ::close(fd);
  return ok;
}

bool PortFree(int type, uint16_t port) {
  int fd = ::socket(AF_INET, type | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(port);
  bool ok = ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0;
  ::close(fd);
  return ok;
}

// Runs statements on a new root connection; then, when number is given,
// reads the first column of the last statement's first row into it.
std::string RootSession(const std::vector<std::string>& statements, uint64_t* number) {
  MYSQL* mysql = mysql_init(nullptr);
  if (mysql == nullptr) return "mysql_init failed";
  unsigned int timeout = 5;
  mysql_options(mysql, MYSQL_OPT_CONNECT_TIMEOUT, &timeout);
  std::string error;
  if (!mysql_real_connect(mysql, "127.0.0.1", "root", kDbPassword, nullptr, 811, nullptr, 0)) {
    error = mysql_error(mysql);
  }
  for (size_t i = 0; i < statements.size() && error.empty(); ++i) {
    if (mysql_real_query(mysql, statements[i].data(), statements[i].size()) != 0) {
      error = mysql_error(mysql);
    }
  }
  if (error.empty() && number != nullptr) {
    MYSQL_RES* result = mysql_store_result(mysql);
    MYSQL_ROW row = result != nullptr ? mysql_fetch_row(result) : nullptr;
    char* end = nullptr;
    if (row != nullptr && row[0] != nullptr) *number = std::strtoull(row[0], &end, 10);
    if (end == nullptr || end == row[0] || *end != '\0') error = "no number";
    if (result != nullptr) mysql_free_result(result);
  }
  mysql_close(mysql);
  return error;
}

}  // namespace

std::string RootQueries(const std::vector<std::string>& statements) {
  return RootSession(statements, nullptr);
}

bool RootNumber(const std::string& sql, uint64_t* value) {
  return RootSession({sql}, value).empty();
}

namespace {

// "CREATE DATABASE ..." or "DROP DATABASE ..." for every storage; the names
// are ours ("zvbench" and digits), never taken from input.
std::vector<std::string> DatabaseStatements(const BenchServer& server, const char* verb) {
  std::vector<std::string> statements;
  for (int k = 0; k < server.accounts(); ++k) {
    statements.push_back(std::string(verb) + " DATABASE IF " + (verb[0] == 'C' ? "NOT " : "") +
                         "EXISTS `" + server.StorageName(k) + "`");
  }
  return statements;
}

// The accounts as the management console creates them: the slot names made
// from the base date 2010-12-16 and device id 0, everything else zero.
bool WriteAccounts(const BenchServer& server, const std::string& password,
                   const std::string& path) {
  CZvAccountFile file;
  file.SetPath(path);
  for (int k = 0; k < server.accounts(); ++k) {
    SyncAccountRecord record;
    std::memset(&record, 0, sizeof(record));
    const std::string user = server.UserName(k);
    const std::string storage = server.StorageName(k);
    if (user.size() >= sizeof(record.userName) || password.size() >= sizeof(record.password) ||
        storage.size() >= sizeof(record.storageName)) {
      return false;
    }
    std::memcpy(record.userName, user.data(), user.size());
    std::memcpy(record.password, password.data(), password.size());
    std::memcpy(record.storageName, storage.data(), storage.size());
    record.baseYear = 2010;
    record.baseMonth = 12;
    record.baseDay = 16;
    for (int slot = 0; slot < kUsedLogSlots; ++slot) {
      const std::string name = FormatDataFileName(2010, 12, 16, 0, 0, 0, kLogSlotKinds[slot]);
      std::memcpy(record.logSlots[slot].name, name.data(), name.size());
    }
    file.Records().push_back(record);
  }
  return file.Save() == kRecordFileOk;
}

}  // namespace

int64_t StatusFieldKib(const std::string& status_text, const std::string& name) {
  size_t at = 0;
  const std::string key = name + ":";
  while ((at = status_text.find(key, at)) != std::string::npos) {
    if (at == 0 || status_text[at - 1] == '\n') {
      char* end = nullptr;
      long long value = std::strtoll(status_text.c_str() + at + key.size(), &end, 10);
      if (end != status_text.c_str() + at + key.size() && value >= 0) return value;
      return -1;
    }
    at += key.size();
  }
  return -1;
}

ProcessMemory ReadProcessMemory(pid_t pid) {
  ProcessMemory memory;
  const std::string text = ReadWholeFile("/proc/" + std::to_string(pid) + "/status");
  int64_t rss = StatusFieldKib(text, "VmRSS");
  int64_t peak = StatusFieldKib(text, "VmHWM");
  if (rss < 0 || peak < 0) return memory;
  memory.rss_kib = static_cast<uint64_t>(rss);
  memory.peak_kib = static_cast<uint64_t>(peak);
  memory.ok = true;
  return memory;
}

uint16_t FreeLoopbackPort() {
  for (int attempt = 0; attempt < 100; ++attempt) {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) break;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof(address);
    uint16_t port = 0;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0 &&
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0) {
      port = ntohs(address.sin_port);
    }
    ::close(fd);
    if (port != 0 && PortFree(SOCK_DGRAM, port)) return port;
  }
  return 0;
}

BenchServer::BenchServer(const std::string& base_dir, bool keep) : keep_(keep) {
  std::string templ = base_dir + "/zvbench-XXXXXX";
  std::vector<char> buffer(templ.begin(), templ.end());
  buffer.push_back('\0');
  if (::mkdtemp(buffer.data()) != nullptr) root_ = buffer.data();
  storage_ = "zvbench" + std::to_string(::getpid());
  namespace_ = "zvbench" + std::to_string(::getpid());
}

BenchServer::~BenchServer() {
  Stop();
  if (database_created_) RootQueries(DatabaseStatements(*this, "DROP"));
  if (!keep_ && !root_.empty()) {
    std::error_code ec;
    fs::remove_all(root_, ec);
  }
}

std::string BenchServer::UserName(int k) const {
  return accounts_ == 1 ? user_ : user_ + std::to_string(k);
}

std::string BenchServer::StorageName(int k) const {
  return accounts_ == 1 ? storage_ : storage_ + "_" + std::to_string(k);
}

std::vector<std::string> BenchServer::Environment() const {
  return {"ZENTROVANE_HOME=" + root_ + "/home",
          "ZENTROVANE_REGISTRY=" + root_ + "/home/config/registry.reg",
          "ZENTROVANE_OBJECT_NAMESPACE=" + namespace_};
}

bool BenchServer::Prepare(const std::string& user, const std::string& password,
                          int accounts) {
  user_ = user;
  accounts_ = accounts;
  if (root_.empty()) {
    error_ = "cannot create the temporary folder";
    return false;
  }
  sync_port_ = FreeLoopbackPort();
  ui_port_ = FreeLoopbackPort();
  while (ui_port_ == sync_port_ && sync_port_ != 0) ui_port_ = FreeLoopbackPort();
  if (sync_port_ == 0 || ui_port_ == 0) {
    error_ = "no free port";
    return false;
  }
  std::error_code ec;
  fs::create_directories(root_ + "/mysql/log_data", ec);
  fs::create_directories(root_ + "/attach", ec);
  bool ok = WriteText(root_ + "/mysql_path.ini", "[mysql]\r\npath=" + root_ + "/mysql\r\n") &&
            WriteText(root_ + "/home/config/dbconf.ini",
                      "[DB_CONFIG]\r\nDbType=1\r\nSQLServer=127.0.0.1\r\nSQLPort=811\r\n"
                      "SQLUser=root\r\nSQLPWD=" + std::string(kDbPasswordCipher) +
                          "\r\nFilePath=" + root_ + "/attach\r\n") &&
            WriteText(root_ + "/home/config/zvtools.ini",
                      "[ZV_CONFIG]\r\nAlarmValue=0\r\nAutoDelOneDay=0\r\n");
  if (!ok) {
    error_ = "cannot write the ini files below " + root_;
    return false;
  }
  std::unique_ptr<SettingsStore> store = SettingsStore::Open(root_ + "/home/config/registry.reg");
  if (!store || !store->WriteDword("SyncPort", sync_port_) ||
      !store->WriteDword("UIPort", ui_port_) || !store->WriteDword("DisableWatchDog", 1) ||
      !store->WriteDword("MinimumRequiredDiskSpace", 0)) {
    error_ = "cannot write the settings file";
    return false;
  }
  // An installation: the server and its companions side by side in the home.
  for (const char* program : {"Zentrovane.exe", "Loader.exe", "zvtar.exe"}) {
    fs::copy_file(std::string(ZV_PROGRAM_DIR) + "/" + program, root_ + "/home/" + program,
                  fs::copy_options::overwrite_existing, ec);
    if (ec) {
      error_ = std::string("cannot copy ") + program + " from " + ZV_PROGRAM_DIR + ": " +
               ec.message();
      return false;
    }
  }
  // The storages' databases exist before their first upload, as the
  // management console leaves them.
  database_created_ = true;
  std::string db_error = RootQueries(DatabaseStatements(*this, "CREATE"));
  if (!db_error.empty()) {
    error_ = "the test database on 127.0.0.1:811 does not answer (scripts/testdb.sh start): " +
             db_error;
    return false;
  }
  if (!WriteAccounts(*this, password, root_ + "/home/config/syncaccount.dat")) {
    error_ = "cannot write the account file (names too long?)";
    return false;
  }
  ::setenv("ZENTROVANE_OBJECT_NAMESPACE", namespace_.c_str(), 1);
  return true;
}

bool BenchServer::Start() {
  const std::string program = root_ + "/home/Zentrovane.exe";
  server_ = BenchChild::Start(program, {"-app"}, Environment(), root_ + "/server-output.txt");
  if (!server_) {
    error_ = "cannot start " + program;
    return false;
  }
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (std::chrono::steady_clock::now() < deadline) {
    if (!server_->Running()) {
      error_ = "the server ended during start-up";
      return false;
    }
    if (CanConnect(sync_port_)) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  error_ = "the server did not listen within 30 s";
  return false;
}

bool BenchServer::Stop() {
  if (!server_) return true;
  bool clean = false;
  if (server_->Running()) {
    SignalNamedEvent(kStopEvent);
    std::optional<int> code = server_->Wait(std::chrono::seconds(60));
    clean = code.has_value() && *code == 0;
  } else {
    clean = server_->Wait(std::chrono::milliseconds(0)).value_or(-1) == 0;
  }
  server_.reset();
  return clean;
}

std::string BenchServer::Diagnostics() const {
  std::string text = ReadWholeFile(root_ + "/server-output.txt");
  std::error_code ec;
  for (const auto& entry : fs::directory_iterator(root_ + "/home/debuglog", ec)) {
    text += ReadWholeFile(entry.path().string());
  }
  if (text.size() > 4000) text = "..." + text.substr(text.size() - 4000);
  return text;
}

}  // namespace zv::bench
