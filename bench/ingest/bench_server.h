// BenchServer: a throwaway Zentrovane installation for the benchmarks: a
// temporary root holding the home (own settings file, object namespace and
// free ports), the MySQL folder with the data directory of received files,
// the attachment folder and scratch space for the baselines, all on the
// same file system; one account per storage; the real Zentrovane.exe
// started from this build's program folder. The database is the test
// MariaDB on 127.0.0.1:811 (scripts/testdb.sh); the storages' databases are
// dropped at the end.
//
// Owned by the benchmark's main thread. Sets ZENTROVANE_OBJECT_NAMESPACE in
// the benchmark's own environment, so that the stop event can be signalled.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "bench_child.h"

namespace zv::bench {

// The test database's root password, and as dbconf.ini's SQLPWD holds it
// (so that every connection gets in at its first attempt).
inline constexpr const char* kDbPassword = "qormelt";
inline constexpr const char* kDbPasswordCipher = "8d149b9e141ea003";

// Resident memory of a process, from /proc/<pid>/status.
struct ProcessMemory {
  uint64_t rss_kib = 0;   // VmRSS
  uint64_t peak_kib = 0;  // VmHWM
  bool ok = false;
};
ProcessMemory ReadProcessMemory(pid_t pid);
// The value in KiB of a "Name:   123 kB" line of a status text, or -1.
int64_t StatusFieldKib(const std::string& status_text, const std::string& name);

// Runs statements as root on the test database, one connection for all,
// stopping at the first failure; "" or the error text.
std::string RootQueries(const std::vector<std::string>& statements);
// The first column of the first row of a query as a number; false when the
// query fails or gives no number.
bool RootNumber(const std::string& sql, uint64_t* value);

// A TCP port of 127.0.0.1 that is free for TCP and UDP right now.
uint16_t FreeLoopbackPort();

class BenchServer {
 public:
  // Makes the installation below base_dir (a new folder "zvbench-XXXXXX").
  // keep: leave the folder when done.
  BenchServer(const std::string& base_dir, bool keep);
  ~BenchServer();  // stops the server, drops the database, removes the folder

  BenchServer(const BenchServer&) = delete;
  BenchServer& operator=(const BenchServer&) = delete;

  // False with error() when the installation could not be written.
  // accounts: that many accounts, each with a storage and database of its
  // own; with more than one, account k is user + k with storage
  // StorageName(k), all with the same password.
  [[nodiscard]] bool Prepare(const std::string& user, const std::string& password,
                             int accounts = 1);
  // Starts "Zentrovane.exe -app" and waits until it accepts connections.
  [[nodiscard]] bool Start();
  // Signals the stop event and waits for the exit; true when it exited 0.
  bool Stop();

  const std::string& root() const { return root_; }
  std::string Scratch(const std::string& name) const { return root_ + "/" + name; }
  int accounts() const { return accounts_; }
  std::string UserName(int k) const;
  std::string StorageName(int k) const;
  // Where the received files of storage k lie.
  std::string StorageDir(int k = 0) const { return DataDir() + "/" + StorageName(k); }
  std::string DataDir() const { return root_ + "/mysql/log_data"; }
  std::string DebugLogDir() const { return root_ + "/home/debuglog"; }
  uint16_t sync_port() const { return sync_port_; }
  pid_t server_pid() const { return server_ ? server_->pid() : -1; }
  bool running() const { return server_ && server_->Running(); }
  const std::string& error() const { return error_; }
  // The tail of the server's output and debug log, for a failure report.
  std::string Diagnostics() const;

 private:
  std::vector<std::string> Environment() const;

  std::string root_;
  bool keep_;
  std::string storage_;  // the first storage's name, the others' prefix
  std::string user_;
  int accounts_ = 1;
  std::string namespace_;
  uint16_t sync_port_ = 0;
  uint16_t ui_port_ = 0;
  bool database_created_ = false;
  std::unique_ptr<BenchChild> server_;
  std::string error_;
};

}  // namespace zv::bench
