// SpawnedProcess: a program started for a test or a benchmark, with its
// input from /dev/null and its output appended to a file, and a bounded
// wait for its end (through a pidfd).
//
// Not thread-safe: owned by one thread.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace zv::support {

class SpawnedProcess {
 public:
  // Starts program with args in exactly the environment env ("NAME=value"
  // entries); stdout and stderr are appended to output_path (created when
  // missing). Null when the program could not be started.
  static std::unique_ptr<SpawnedProcess> Start(const std::string& program,
                                               const std::vector<std::string>& args,
                                               const std::vector<std::string>& env,
                                               const std::string& output_path);
  ~SpawnedProcess();  // kills a child still running and reaps it (bounded)
  SpawnedProcess(const SpawnedProcess&) = delete;
  SpawnedProcess& operator=(const SpawnedProcess&) = delete;

  pid_t pid() const { return pid_; }
  // Waits up to timeout for the exit and reaps the child; the exit code
  // (128 + signal for a signal), or nullopt when it is still running.
  std::optional<int> Wait(std::chrono::milliseconds timeout);
  // The exit code once the child was reaped.
  const std::optional<int>& exit_code() const { return exit_code_; }
  bool Running() { return !Wait(std::chrono::milliseconds(0)).has_value(); }
  // Sends signal_number unless the child was reaped already.
  void Kill(int signal_number);

 private:
  SpawnedProcess(pid_t pid, int pidfd) : pid_(pid), pidfd_(pidfd) {}
  pid_t pid_;
  int pidfd_;  // -1 when none could be opened: Wait then only looks
  std::optional<int> exit_code_;
};

}  // namespace zv::support
