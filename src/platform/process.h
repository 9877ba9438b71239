// ProcessHandle: a started child process, held through a pidfd so that
// waiting can be polled in steps and a dead child is reaped exactly once.
// One thread uses a handle at a time.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace zv {

// Splits a Windows command line into arguments by the Windows rules
// (blanks separate, double quotes group, backslashes before a quote escape).
std::vector<std::string> SplitCommandLine(std::string_view command_line);

// Raises the soft limit of open descriptors of this process to its hard
// limit (each connected appliance holds a socket and an event descriptor,
// and a service starts with a soft limit of 1024). Returns the soft limit
// now in force, 0 when it cannot be read.
uint64_t RaiseDescriptorLimit();

class ProcessHandle {
 public:
  enum class WaitResult { kExited, kTimedOut, kFailed };

  // Starts argv[0] with the arguments (posix_spawn, stdin from /dev/null,
  // stdout and stderr inherited, no other descriptor passed on, no signal
  // blocked or ignored, own process group not created). Null on failure;
  // errno tells why. argv[0] without '/' is looked up in PATH.
  static std::unique_ptr<ProcessHandle> Spawn(const std::vector<std::string>& argv);

  // Closes the pidfd; does not kill or wait. A child still running is
  // reaped in the background once it ends, so no zombie stays behind.
  ~ProcessHandle();
  ProcessHandle(const ProcessHandle&) = delete;
  ProcessHandle& operator=(const ProcessHandle&) = delete;

  pid_t pid() const { return pid_; }

  // Waits up to timeout_ms (negative: without limit) for the process to end.
  WaitResult Wait(int timeout_ms);
  // The exit code once ended: the exit status, the code asked for by
  // Terminate when it was killed that way, else 128 + signal. False while
  // the process runs (errno EBUSY) or when its status was lost (ECHILD).
  bool GetExitCode(uint32_t* code) const;
  // SIGKILL through the pidfd; the exit code reported afterwards is
  // exit_code (the real one when the process had already ended by itself).
  // False with errno ESRCH once the process has been reaped.
  bool Terminate(uint32_t exit_code);

 private:
  ProcessHandle(pid_t pid, int pidfd) : pid_(pid), pidfd_(pidfd) {}
  // Collects the child's status once it has ended (block: wait for that).
  // Only records what happened, so GetExitCode may call it.
  bool Reap(bool block) const;

  const pid_t pid_;
  const int pidfd_;
  bool terminated_ = false;
  uint32_t terminate_code_ = 0;
  // Filled in by Reap.
  mutable bool reaped_ = false;
  mutable bool exit_known_ = false;
  mutable uint32_t exit_code_ = 0;
};

// Processes whose image name equals name (ASCII case-insensitive): base
// name of /proc/PID/exe, falling back to the first 15 characters in
// /proc/PID/comm where exe may not be read (other users' processes).
// Processes that have ended but are not yet reaped are left out.
std::vector<pid_t> FindProcessesByImageName(const std::string& name);

// Full path of the running executable (from /proc/self/exe; a program file
// replaced since the start gives the path of the new one). Empty when it
// cannot be read.
std::string ExecutablePath();

// Directory of the running executable (from /proc/self/exe).
std::string ExecutableDirectory();

// The home directory of the installation: $ZENTROVANE_HOME when set and not
// empty, else the folder of the executable; trailing separators removed.
// The configuration and the logs find their folders below it.
std::string HomeDirectory();

}  // namespace zv
