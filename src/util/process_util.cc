#include "util/process_util.h"

#include <errno.h>
#include <poll.h>
#include <signal.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <vector>

namespace zv {

namespace {

// Exit code reported when a child's status could not be read.
constexpr uint32_t kExitCodeUnknown = 1359;
constexpr int kKillWaitMs = 1000;

int64_t NowMs() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

}  // namespace

std::unique_ptr<ProcessHandle> StartProcess(const std::vector<std::string>& argv) {
  return ProcessHandle::Spawn(argv);
}

uint32_t RunProcess(const std::vector<std::string>& argv, bool wait) {
  std::unique_ptr<ProcessHandle> process = StartProcess(argv);
  if (!process) return errno != 0 ? static_cast<uint32_t>(errno) : static_cast<uint32_t>(EINVAL);
  if (!wait) return 0;
  if (process->Wait(-1) != ProcessHandle::WaitResult::kExited) {
    return errno != 0 ? static_cast<uint32_t>(errno) : kExitCodeUnknown;
  }
  uint32_t code = kExitCodeUnknown;
  if (!process->GetExitCode(&code)) return kExitCodeUnknown;
  return code;
}

uint32_t CountProcessesByName(const std::string& image_name) {
  return static_cast<uint32_t>(FindProcessesByImageName(image_name).size());
}

int KillProcessesByName(const std::string& image_name) {
  const pid_t self = getpid();
  std::vector<int> killed;  // pidfds of the processes sent SIGKILL
  for (pid_t pid : FindProcessesByImageName(image_name)) {
    if (pid == self) continue;
    // Through a pidfd, so a pid reused meanwhile is never hit.
    int pidfd = static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
    if (pidfd < 0) continue;  // gone already, or not ours to touch
    if (syscall(SYS_pidfd_send_signal, pidfd, SIGKILL, nullptr, 0) != 0) {
      close(pidfd);
      continue;
    }
    killed.push_back(pidfd);
  }
  if (killed.empty()) return 0;

  // Wait for all of them together (a pidfd turns readable when its process
  // has ended).
  std::vector<pollfd> pending;
  for (int fd : killed) pending.push_back({fd, POLLIN, 0});
  const int64_t deadline = NowMs() + kKillWaitMs;
  bool timed_out = false;
  while (!pending.empty()) {
    int64_t left = deadline - NowMs();
    if (left <= 0) {
      timed_out = true;
      break;
    }
    int rc = poll(pending.data(), pending.size(), static_cast<int>(left));
    if (rc < 0) {
      if (errno == EINTR) continue;
      timed_out = true;
      break;
    }
    std::vector<pollfd> still;
    for (const pollfd& p : pending) {
      if (p.revents == 0) still.push_back({p.fd, POLLIN, 0});
    }
    pending.swap(still);
  }
  for (int fd : killed) close(fd);
  return timed_out ? -1 : static_cast<int>(killed.size());
}

}  // namespace zv
