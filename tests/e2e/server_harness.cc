#include "server_harness.h"

#include <unistd.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstring>
#include <filesystem>

#include "platform/named_object.h"
#include "platform/settings_store.h"
#include "server/sync_srv_dlg.h"
#include "util/file_util.h"

extern char** environ;

namespace zv::e2e {
namespace {

std::string ReadFolderFiles(const std::string& folder) {
  return ::zv::testing::ReadFolderText(folder, ".log");
}

bool CanConnect(uint16_t port) {
  const int fd = ::zv::testing::ConnectToLoopback(port);
  if (fd < 0) return false;
  ::close(fd);
  return true;
}

}  // namespace

std::string ProgramPath(const std::string& name) {
  return ::zv::testing::ProgramDirectory() + "/" + name;
}

ServerHome::ServerHome() : namespace_(::zv::testing::UniqueName("e2e")) {
  sync_port_ = ::zv::testing::FreeTcpUdpPort();
  ui_port_ = ::zv::testing::FreeTcpUdpPort();
  while (ui_port_ == sync_port_) ui_port_ = ::zv::testing::FreeTcpUdpPort();
  CreateDirectoryTree(home() + "/config");
  CreateDirectoryTree(dir_.Sub("mysql"));
  CreateDirectoryTree(dir_.Sub("attach"));
  ::zv::testing::WriteFileBytes(dir_.Sub("mysql_path.ini"),
                                "[mysql]\r\npath=" + dir_.Sub("mysql") + "\r\n");
  ::zv::testing::WriteFileBytes(home() + "/config/dbconf.ini",
                                "[DB_CONFIG]\r\nDbType=1\r\nSQLServer=127.0.0.1\r\nSQLPort=811\r\n"
                                "SQLUser=root\r\nFilePath=" + dir_.Sub("attach") + "\r\n");
  ::zv::testing::WriteFileBytes(home() + "/config/zvtools.ini",
                                "[ZV_CONFIG]\r\nAlarmValue=0\r\nAutoDelOneDay=0\r\n");
  dwords_["SyncPort"] = sync_port_;
  dwords_["UIPort"] = ui_port_;
  dwords_["MinimumRequiredDiskSpace"] = 0;
  dwords_["DisableWatchDog"] = 1;
  dwords_["LogLevel"] = 0xFFFFFFFF;
  WriteRegistry();
}

void ServerHome::SetDword(const std::string& name, uint32_t value) {
  dwords_[name] = value;
  WriteRegistry();
}

void ServerHome::WriteRegistry() const {
  std::unique_ptr<SettingsStore> store = SettingsStore::Open(registry());
  if (!store) return;
  for (const auto& [name, value] : dwords_) (void)store->WriteDword(name, value);
}

std::string ServerHome::InstallCompanions() const {
  for (const char* program : {"Loader.exe", "zvtar.exe"}) {
    std::error_code ec;
    std::filesystem::create_symlink(ProgramPath(program), home() + "/" + program, ec);
    if (ec) return std::string(program) + ": " + ec.message();
  }
  return "";
}

bool ServerHome::AddAccount(const std::string& user, const std::string& password,
                            const std::string& storage, const std::string& schedule) {
  std::vector<std::string> args = {"add", account_file(), "--user", user, "--password", password,
                                   "--storage", storage};
  if (!schedule.empty()) {
    args.push_back("--schedule");
    args.push_back(schedule);
  }
  return RunToEnd(ProgramPath("zvaccount"), args, Environment()) == 0;
}

std::vector<std::string> ServerHome::Environment() const {
  std::vector<std::string> env;
  for (char** e = environ; *e != nullptr; ++e) {
    std::string entry(*e);
    if (entry.rfind("ZENTROVANE_", 0) == 0 || entry.rfind("NOTIFY_SOCKET=", 0) == 0 ||
        entry.rfind("INVOCATION_ID=", 0) == 0) {
      continue;
    }
    env.push_back(entry);
  }
  env.push_back("ZENTROVANE_HOME=" + home());
  env.push_back("ZENTROVANE_REGISTRY=" + registry());
  env.push_back("ZENTROVANE_OBJECT_NAMESPACE=" + namespace_);
  return env;
}

std::string ServerHome::DebugLog() const { return ReadFolderFiles(home() + "/debuglog"); }

size_t ServerHome::DebugLogCount(const std::string& text) const {
  const std::string all = DebugLog();
  size_t count = 0;
  for (size_t at = all.find(text); at != std::string::npos; at = all.find(text, at + 1)) ++count;
  return count;
}

long ServerHome::OpLogFind(const std::string& utf8_message) const {
  std::string all = ReadFolderFiles(home() + "/log");
  size_t at = all.find(::zv::testing::Utf8ToGbk(utf8_message));
  return at == std::string::npos ? -1 : static_cast<long>(at);
}

bool ServerHome::OpLogHas(const std::string& utf8_message) const {
  return OpLogFind(utf8_message) >= 0;
}

size_t ServerHome::OpLogCount(const std::string& utf8_message) const {
  const std::string all = ReadFolderFiles(home() + "/log");
  const std::string wanted = ::zv::testing::Utf8ToGbk(utf8_message);
  size_t count = 0;
  for (size_t at = all.find(wanted); at != std::string::npos; at = all.find(wanted, at + 1)) {
    ++count;
  }
  return count;
}

int RunToEnd(const std::string& program, const std::vector<std::string>& args,
             const std::vector<std::string>& env, std::string* output) {
  ::zv::testing::ScopedTempDir scratch;
  const std::string path = scratch.Sub("output.txt");
  auto child = ChildProcess::Start(program, args, env, path);
  if (!child) return -1;
  std::optional<int> code = child->Wait(std::chrono::seconds(60));
  if (output != nullptr) *output = ::zv::testing::ReadFileBytes(path);
  return code.value_or(-1);
}

ServerProcess::~ServerProcess() {
  if (process_ && process_->Running()) {
    Stop(std::chrono::seconds(10));
  }
}

bool ServerProcess::Launch(const std::vector<std::string>& args) {
  output_path_ = home_.root() + "/server-output-" + ::zv::testing::UniqueName("") + ".txt";
  if (descriptor_limit_ == 0) {
    process_ = ChildProcess::Start(ProgramPath("Zentrovane.exe"), args, home_.Environment(),
                                   output_path_);
  } else {
    // prlimit sets the limit and executes the server in its own process.
    const std::string limit = std::to_string(descriptor_limit_);
    std::vector<std::string> limited = {"--nofile=" + limit + ":" + limit, "--",
                                        ProgramPath("Zentrovane.exe")};
    limited.insert(limited.end(), args.begin(), args.end());
    process_ = ChildProcess::Start("/usr/bin/prlimit", limited, home_.Environment(), output_path_);
  }
  return process_ != nullptr;
}

bool ServerProcess::Start(const std::vector<std::string>& args) {
  // Started means initialised: the TCP port listens a little before the
  // datagram sockets are bound, and a query sent in between is lost. And
  // the disk monitor's first check, which holds the processing lock and
  // rewrites the statistics tables, is over.
  const char* const kStarted = "同步器启动成功!";
  const char* const kChecked = "Disk Monitor Check Finished!";
  const size_t starts_before = home_.OpLogCount(kStarted);
  const size_t checks_before = home_.DebugLogCount(kChecked);
  if (!Launch(args)) return false;
  return WaitUntil([&] {
           return !process_->Running() ||
                  (CanConnect(home_.sync_port()) &&
                   home_.OpLogCount(kStarted) > starts_before &&
                   home_.DebugLogCount(kChecked) > checks_before);
         }) &&
         process_->Running();
}

std::optional<int> ServerProcess::Stop(std::chrono::milliseconds timeout) {
  if (!process_) return std::nullopt;
  SignalStopEvent(home_.object_namespace());
  return process_->Wait(timeout);
}

std::optional<int> ServerProcess::WaitExit(std::chrono::milliseconds timeout) {
  if (!process_) return std::nullopt;
  return process_->Wait(timeout);
}

std::string ServerProcess::Output() const { return ::zv::testing::ReadFileBytes(output_path_); }

bool SignalStopEvent(const std::string& object_namespace) {
  ::zv::testing::ScopedEnv scope("ZENTROVANE_OBJECT_NAMESPACE", object_namespace);
  return SignalNamedEvent(kStopEventName);
}

bool StopEventExists(const std::string& object_namespace) {
  ::zv::testing::ScopedEnv scope("ZENTROVANE_OBJECT_NAMESPACE", object_namespace);
  return NamedObjectExists(kStopEventName);
}

}  // namespace zv::e2e
