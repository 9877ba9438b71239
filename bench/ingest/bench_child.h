// BenchChild: a program started by a benchmark (the server, the account
// tool, the rsync daemon and client), with a bounded wait for its end.
// Output goes to a file so that a failure can be shown afterwards.
//
// Owned by the benchmark's main thread.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "spawned_process.h"

namespace zv::bench {

class BenchChild {
 public:
  // Starts program with args; env entries ("NAME=value") are added to the
  // benchmark's own environment, replacing variables of the same name.
  static std::unique_ptr<BenchChild> Start(const std::string& program,
                                           const std::vector<std::string>& args,
                                           const std::vector<std::string>& env,
                                           const std::string& output_path);
  ~BenchChild();  // kills a child still running
  BenchChild(const BenchChild&) = delete;
  BenchChild& operator=(const BenchChild&) = delete;

  pid_t pid() const { return process_->pid(); }
  // The exit code (128 + signal for a signal) once it ended within timeout.
  std::optional<int> Wait(std::chrono::milliseconds timeout);
  bool Running() { return !Wait(std::chrono::milliseconds(0)).has_value(); }
  void Signal(int signal_number) { process_->Kill(signal_number); }

 private:
  explicit BenchChild(std::unique_ptr<support::SpawnedProcess> process)
      : process_(std::move(process)) {}
  std::unique_ptr<support::SpawnedProcess> process_;
};

// Makes SIGINT, SIGTERM and SIGHUP kill every child still running (the
// server above all, which would otherwise outlive an interrupted benchmark)
// before the benchmark itself ends with the signal. Call once at start.
void KillChildrenOnInterrupt();

// Runs a program to its end (at most timeout); its exit code or -1.
int RunProgram(const std::string& program, const std::vector<std::string>& args,
               const std::vector<std::string>& env, const std::string& output_path,
               std::chrono::milliseconds timeout = std::chrono::minutes(10));

// Reads a whole file ("" when it cannot be read).
std::string ReadWholeFile(const std::string& path);

}  // namespace zv::bench
