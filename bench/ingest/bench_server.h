// BenchServer: a throwaway Zentrovane installation for the benchmarks: a
// temporary root holding the home (own settings file, object namespace and
// free ports), the MySQL folder with the data directory of received files,
// the attachment folder and scratch space for the baselines, all on the
// same file system; one account; the real Zentrovane.exe started from this
// build's program folder. The database is the test MariaDB on
// 127.0.0.1:811 (scripts/testdb.sh); the storage's database is dropped at
// the end.
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

// Resident memory of a process, from /proc/<pid>/status.
struct ProcessMemory {
  uint64_t rss_kib = 0;   // VmRSS
  uint64_t peak_kib = 0;  // VmHWM
  bool ok = false;
};
ProcessMemory ReadProcessMemory(pid_t pid);
// The value in KiB of a "Name:   123 kB" line of a status text, or -1.
int64_t StatusFieldKib(const std::string& status_text, const std::string& name);

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
  [[nodiscard]] bool Prepare(const std::string& user, const std::string& password);
  // Starts "Zentrovane.exe -app" and waits until it accepts connections.
  [[nodiscard]] bool Start();
  // Signals the stop event and waits for the exit; true when it exited 0.
  bool Stop();

  const std::string& root() const { return root_; }
  std::string Scratch(const std::string& name) const { return root_ + "/" + name; }
  // Where the received files of the storage lie.
  std::string StorageDir() const { return root_ + "/mysql/log_data/" + storage_; }
  uint16_t sync_port() const { return sync_port_; }
  const std::string& storage() const { return storage_; }
  pid_t server_pid() const { return server_ ? server_->pid() : -1; }
  bool running() const { return server_ && server_->Running(); }
  const std::string& error() const { return error_; }
  // The tail of the server's output and debug log, for a failure report.
  std::string Diagnostics() const;

 private:
  std::vector<std::string> Environment() const;

  std::string root_;
  bool keep_;
  std::string storage_;
  std::string namespace_;
  uint16_t sync_port_ = 0;
  uint16_t ui_port_ = 0;
  bool database_created_ = false;
  std::unique_ptr<BenchChild> server_;
  std::string error_;
};

}  // namespace zv::bench
