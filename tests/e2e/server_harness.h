// Harness of the end-to-end tests: a real Zentrovane.exe started as a child
// process in a home of its own (ZENTROVANE_HOME), with its own settings
// file (ZENTROVANE_REGISTRY), object namespace (ZENTROVANE_OBJECT_NAMESPACE)
// and free ports, driven over loopback.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "spawned_process.h"
#include "test_util.h"

namespace zv::e2e {

// A temporary installation: <root>/home is the server's home, <root>/mysql
// the MySQL folder named by <root>/mysql_path.ini, <root>/attach the
// attachment folder.
class ServerHome {
 public:
  ServerHome();

  const std::string& root() const { return dir_.path(); }
  std::string home() const { return dir_.Sub("home"); }
  std::string registry() const { return dir_.Sub("home/config/registry.reg"); }
  std::string account_file() const { return home() + "/config/syncaccount.dat"; }
  std::string syncpos() const { return home() + "/config/syncpos"; }
  const std::string& object_namespace() const { return namespace_; }
  uint16_t sync_port() const { return sync_port_; }
  uint16_t ui_port() const { return ui_port_; }

  // Settings written to the registry file before the start (DWORDs).
  void SetDword(const std::string& name, uint32_t value);
  // Writes the registry file from the settings.
  void WriteRegistry() const;

  // An installation: the importer and the tar tool of this build linked
  // beside the server. "" when done, else what failed.
  std::string InstallCompanions() const;

  // Adds an account with the zvaccount tool; false when it failed.
  [[nodiscard]] bool AddAccount(const std::string& user, const std::string& password,
                                const std::string& storage, const std::string& schedule = "");

  // Environment of a child that runs in this home.
  std::vector<std::string> Environment() const;

  // All lines of the debug logs written so far.
  std::string DebugLog() const;
  // How often the debug logs hold text.
  size_t DebugLogCount(const std::string& text) const;
  // True when the operation log holds the message (UTF-8 text, stored GBK).
  bool OpLogHas(const std::string& utf8_message) const;
  // How often the operation log holds the message.
  size_t OpLogCount(const std::string& utf8_message) const;
  // Byte offset of the message in the concatenated operation logs, or -1.
  long OpLogFind(const std::string& utf8_message) const;

 private:
  ::zv::testing::ScopedTempDir dir_;
  std::string namespace_;
  uint16_t sync_port_ = 0;
  uint16_t ui_port_ = 0;
  std::map<std::string, uint32_t> dwords_;
};

// A child process with a bounded wait: Start(program, args, env,
// output_path) runs program in exactly the environment env with stdout and
// stderr in output_path; destruction kills a child still running.
using ChildProcess = ::zv::support::SpawnedProcess;

// Runs a program to its end (bounded) and returns its exit code, or -1.
int RunToEnd(const std::string& program, const std::vector<std::string>& args,
             const std::vector<std::string>& env, std::string* output = nullptr);

// A running server in a home.
class ServerProcess {
 public:
  explicit ServerProcess(const ServerHome& home) : home_(home) {}
  ~ServerProcess();

  // Starts "Zentrovane.exe -app" and waits until its listener accepts
  // connections (or the process ended). True when it is ready.
  [[nodiscard]] bool Start(const std::vector<std::string>& args = {"-app"});
  // Starts without waiting for readiness.
  [[nodiscard]] bool Launch(const std::vector<std::string>& args);
  // Later starts run with at most limit open descriptors (soft and hard,
  // through prlimit), as a host with a low limit would.
  void LimitDescriptors(unsigned limit) { descriptor_limit_ = limit; }
  // Signals the stop event and waits for the exit; the exit code.
  std::optional<int> Stop(std::chrono::milliseconds timeout = std::chrono::seconds(30));
  std::optional<int> WaitExit(std::chrono::milliseconds timeout);
  ChildProcess* process() { return process_.get(); }
  std::string Output() const;

 private:
  const ServerHome& home_;
  std::unique_ptr<ChildProcess> process_;
  std::string output_path_;
  unsigned descriptor_limit_ = 0;  // 0: the test's own
};

// Signals a named event of a namespace; false when no owner exists.
bool SignalStopEvent(const std::string& object_namespace);
bool StopEventExists(const std::string& object_namespace);

// Waits (polling, bounded) until predicate holds.
template <typename Predicate>
bool WaitUntil(Predicate predicate, std::chrono::milliseconds timeout = std::chrono::seconds(20)) {
  auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    if (predicate()) return true;
    if (std::chrono::steady_clock::now() >= deadline) return false;
    struct timespec pause = {0, 10 * 1000 * 1000};
    nanosleep(&pause, nullptr);
  }
}

// Path of a program of this build.
std::string ProgramPath(const std::string& name);

}  // namespace zv::e2e
