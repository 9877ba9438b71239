#include "platform/process.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/eventfd.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <mutex>
#include <thread>

#include "platform/ascii_case.h"
#include "platform/file_system.h"

extern char** environ;

namespace zv {

uint64_t RaiseDescriptorLimit() {
  struct rlimit limit;
  if (getrlimit(RLIMIT_NOFILE, &limit) != 0) return 0;
  if (limit.rlim_cur < limit.rlim_max) {
    struct rlimit raised = limit;
    raised.rlim_cur = limit.rlim_max;
    if (setrlimit(RLIMIT_NOFILE, &raised) == 0) limit = raised;
  }
  return static_cast<uint64_t>(limit.rlim_cur);
}


namespace {

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

int PidfdOpen(pid_t pid) { return static_cast<int>(syscall(SYS_pidfd_open, pid, 0)); }

int PidfdSendSignal(int pidfd, int sig) {
  return static_cast<int>(syscall(SYS_pidfd_send_signal, pidfd, sig, nullptr, 0));
}

int64_t NowMs() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

// Reaps children whose handles were closed before they ended, so that no
// zombie stays behind. One thread, started on first use, never stopped.
class DetachedChildReaper {
 public:
  static DetachedChildReaper& Instance() {
    static DetachedChildReaper* reaper = new DetachedChildReaper();  // never destroyed
    return *reaper;
  }

  // Takes over pidfd; the child is reaped once it ends.
  void Adopt(pid_t pid, int pidfd) {
    std::lock_guard<std::mutex> lock(mu_);
    if (owner_ != getpid()) {
      // First use, or first use in a forked child that has no thread.
      if (wake_fd_ >= 0) close(wake_fd_);
      for (const Child& c : children_) close(c.pidfd);
      children_.clear();
      wake_fd_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
      if (wake_fd_ < 0) {
        close(pidfd);
        return;
      }
      owner_ = getpid();
      try {
        std::thread([this] { Run(); }).detach();
      } catch (...) {
        close(wake_fd_);
        wake_fd_ = -1;
        owner_ = 0;
        close(pidfd);
        return;
      }
    }
    children_.push_back({pid, pidfd});
    uint64_t one = 1;
    ssize_t ignored = write(wake_fd_, &one, sizeof one);
    (void)ignored;
  }

 private:
  struct Child {
    pid_t pid;
    int pidfd;
  };

  void Run() {
    std::vector<pollfd> fds;
    std::vector<Child> watched;
    for (;;) {
      {
        std::lock_guard<std::mutex> lock(mu_);
        watched = children_;
        fds.assign(1, pollfd{wake_fd_, POLLIN, 0});
      }
      for (const Child& c : watched) fds.push_back({c.pidfd, POLLIN, 0});
      if (poll(fds.data(), fds.size(), -1) < 0) continue;
      if (fds[0].revents != 0) {
        uint64_t value;
        ssize_t ignored = read(fds[0].fd, &value, sizeof value);
        (void)ignored;
      }
      std::lock_guard<std::mutex> lock(mu_);
      for (size_t i = 1; i < fds.size(); ++i) {
        if (fds[i].revents == 0) continue;
        pid_t pid = watched[i - 1].pid;
        int status;
        pid_t rc = waitpid(pid, &status, WNOHANG);
        if (rc == 0) continue;  // not yet (cannot really happen)
        for (auto it = children_.begin(); it != children_.end(); ++it) {
          if (it->pid == pid) {
            close(it->pidfd);
            children_.erase(it);
            break;
          }
        }
      }
    }
  }

  std::mutex mu_;
  pid_t owner_ = 0;             // guarded by mu_
  int wake_fd_ = -1;            // guarded by mu_
  std::vector<Child> children_;  // guarded by mu_
};

// Reads /proc/PID/exe; false with errno on failure.
bool ReadExeLink(const std::string& proc_dir, std::string* out) {
  char buffer[4096];
  ssize_t n = readlink((proc_dir + "/exe").c_str(), buffer, sizeof buffer - 1);
  if (n < 0) return false;
  out->assign(buffer, static_cast<size_t>(n));
  constexpr std::string_view kDeleted = " (deleted)";
  if (out->size() > kDeleted.size() &&
      out->compare(out->size() - kDeleted.size(), kDeleted.size(), kDeleted) == 0) {
    out->resize(out->size() - kDeleted.size());
  }
  return true;
}

// A small file of /proc; empty when it cannot be read.
std::string ReadSmallFile(const std::string& path) {
  std::string text;
  return ReadFileToString(path, &text, 4096) ? text : std::string();
}

// True for a process that has ended but is not yet reaped.
bool IsZombie(const std::string& proc_dir) {
  std::string stat = ReadSmallFile(proc_dir + "/stat");
  // "pid (comm) S ...": the state follows the last ')'.
  size_t paren = stat.rfind(')');
  if (paren == std::string::npos || paren + 2 >= stat.size()) return true;  // gone
  char state = stat[paren + 2];
  return state == 'Z' || state == 'X';
}

}  // namespace

std::vector<std::string> SplitCommandLine(std::string_view line) {
  std::vector<std::string> args;
  size_t i = 0;
  const size_t n = line.size();
  while (i < n && IsBlank(line[i])) ++i;
  if (i >= n) return args;

  // The program name: quotes group and are dropped; backslashes are plain
  // characters there.
  std::string program;
  bool in_quotes = false;
  for (; i < n; ++i) {
    char c = line[i];
    if (c == '"') {
      in_quotes = !in_quotes;
    } else if (IsBlank(c) && !in_quotes) {
      break;
    } else {
      program.push_back(c);
    }
  }
  args.push_back(std::move(program));

  for (;;) {
    while (i < n && IsBlank(line[i])) ++i;
    if (i >= n) break;
    std::string arg;
    in_quotes = false;
    while (i < n) {
      char c = line[i];
      if (IsBlank(c) && !in_quotes) break;
      if (c == '\\') {
        size_t run = 0;
        while (i < n && line[i] == '\\') {
          ++run;
          ++i;
        }
        if (i < n && line[i] == '"') {
          // 2k backslashes + quote: k backslashes, the quote groups;
          // 2k+1 backslashes + quote: k backslashes and a literal quote.
          arg.append(run / 2, '\\');
          if (run % 2 == 1) {
            arg.push_back('"');
            ++i;
          }
        } else {
          arg.append(run, '\\');
        }
      } else if (c == '"') {
        if (in_quotes && i + 1 < n && line[i + 1] == '"') {
          arg.push_back('"');  // "" inside quotes is one literal quote
          i += 2;
        } else {
          in_quotes = !in_quotes;
          ++i;
        }
      } else {
        arg.push_back(c);
        ++i;
      }
    }
    args.push_back(std::move(arg));
  }
  return args;
}

std::unique_ptr<ProcessHandle> ProcessHandle::Spawn(const std::vector<std::string>& argv) {
  if (argv.empty() || argv[0].empty()) {
    errno = EINVAL;
    return nullptr;
  }
  for (const std::string& arg : argv) {
    if (arg.find('\0') != std::string::npos) {
      errno = EINVAL;
      return nullptr;
    }
  }
  std::vector<char*> args;
  args.reserve(argv.size() + 1);
  for (const std::string& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
  args.push_back(nullptr);

  posix_spawn_file_actions_t actions;
  posix_spawnattr_t attr;
  posix_spawn_file_actions_init(&actions);
  posix_spawnattr_init(&attr);
  // stdin from /dev/null; nothing but stdout and stderr is inherited.
  posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addclosefrom_np(&actions, 3);
  // The child starts with no signal blocked and every handler at default,
  // whatever this process has set up for itself.
  sigset_t none;
  sigset_t all;
  sigemptyset(&none);
  sigfillset(&all);
  sigdelset(&all, SIGKILL);
  sigdelset(&all, SIGSTOP);
  posix_spawnattr_setsigmask(&attr, &none);
  posix_spawnattr_setsigdefault(&attr, &all);
  posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);

  pid_t pid = 0;
  int rc;
  if (argv[0].find('/') == std::string::npos) {
    rc = posix_spawnp(&pid, args[0], &actions, &attr, args.data(), environ);
  } else {
    rc = posix_spawn(&pid, args[0], &actions, &attr, args.data(), environ);
  }
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attr);
  if (rc != 0) {
    errno = rc;
    return nullptr;
  }
  int pidfd = PidfdOpen(pid);
  if (pidfd < 0) {
    int saved = errno;
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
    errno = saved;
    return nullptr;
  }
  fcntl(pidfd, F_SETFD, FD_CLOEXEC);
  return std::unique_ptr<ProcessHandle>(new ProcessHandle(pid, pidfd));
}

ProcessHandle::~ProcessHandle() {
  if (pidfd_ < 0) return;
  if (!reaped_ && !Reap(false)) {
    DetachedChildReaper::Instance().Adopt(pid_, pidfd_);
    return;
  }
  close(pidfd_);
}

bool ProcessHandle::Reap(bool block) const {
  if (reaped_) return true;
  int status = 0;
  pid_t rc;
  do {
    rc = waitpid(pid_, &status, block ? 0 : WNOHANG);
  } while (rc < 0 && errno == EINTR);
  if (rc == 0) return false;
  reaped_ = true;
  if (rc < 0) {
    // Reaped elsewhere (or SIGCHLD ignored): the status is lost.
    exit_known_ = terminated_;
    exit_code_ = terminate_code_;
    return true;
  }
  exit_known_ = true;
  if (WIFEXITED(status)) {
    exit_code_ = static_cast<uint32_t>(WEXITSTATUS(status));
  } else if (WIFSIGNALED(status)) {
    int sig = WTERMSIG(status);
    exit_code_ = terminated_ && sig == SIGKILL ? terminate_code_ : 128u + static_cast<uint32_t>(sig);
  } else {
    exit_known_ = false;
  }
  return true;
}

ProcessHandle::WaitResult ProcessHandle::Wait(int timeout_ms) {
  if (reaped_) return WaitResult::kExited;
  int64_t deadline = timeout_ms >= 0 ? NowMs() + timeout_ms : 0;
  for (;;) {
    int remaining = -1;
    if (timeout_ms >= 0) {
      int64_t left = deadline - NowMs();
      remaining = left > 0 ? static_cast<int>(left) : 0;
    }
    pollfd pfd{pidfd_, POLLIN, 0};
    int rc = poll(&pfd, 1, remaining);
    if (rc < 0) {
      if (errno == EINTR) continue;
      return WaitResult::kFailed;
    }
    if (rc == 0) return WaitResult::kTimedOut;
    return Reap(true) ? WaitResult::kExited : WaitResult::kFailed;
  }
}

bool ProcessHandle::GetExitCode(uint32_t* code) const {
  if (!reaped_) {
    if (!Reap(false)) {
      errno = EBUSY;  // still running
      return false;
    }
  }
  if (!exit_known_) {
    errno = ECHILD;
    return false;
  }
  *code = exit_code_;
  return true;
}

bool ProcessHandle::Terminate(uint32_t exit_code) {
  if (reaped_) {
    errno = ESRCH;
    return false;
  }
  if (PidfdSendSignal(pidfd_, SIGKILL) != 0) return false;
  terminated_ = true;
  terminate_code_ = exit_code;
  return true;
}

std::vector<pid_t> FindProcessesByImageName(const std::string& name) {
  std::vector<pid_t> pids;
  if (name.empty()) return pids;
  DIR* proc = opendir("/proc");
  if (proc == nullptr) return pids;
  while (dirent* entry = readdir(proc)) {
    char* end = nullptr;
    long pid = std::strtol(entry->d_name, &end, 10);
    if (pid <= 0 || end == entry->d_name || *end != '\0') continue;
    std::string dir = std::string("/proc/") + entry->d_name;
    std::string image;
    if (ReadExeLink(dir, &image)) {
      size_t slash = image.find_last_of('/');
      if (slash != std::string::npos) image.erase(0, slash + 1);
    } else if (errno == EACCES || errno == EPERM) {
      // Another user's process: the kernel's 15-byte name is all we get.
      image = ReadSmallFile(dir + "/comm");
      if (!image.empty() && image.back() == '\n') image.pop_back();
      if (!EqualsIgnoringCase(image, std::string_view(name).substr(0, 15))) continue;
      if (IsZombie(dir)) continue;
      pids.push_back(static_cast<pid_t>(pid));
      continue;
    } else {
      continue;  // kernel threads, processes that are gone
    }
    if (!EqualsIgnoringCase(image, name)) continue;
    if (IsZombie(dir)) continue;
    pids.push_back(static_cast<pid_t>(pid));
  }
  closedir(proc);
  return pids;
}

std::string ExecutablePath() {
  std::string exe;
  if (!ReadExeLink("/proc/self", &exe)) return std::string();
  return exe;
}

std::string ExecutableDirectory() {
  std::string exe = ExecutablePath();
  if (exe.empty()) return std::string();
  size_t slash = exe.find_last_of('/');
  if (slash == std::string::npos) return std::string();
  if (slash == 0) return "/";
  return exe.substr(0, slash);
}

std::string HomeDirectory() {
  const char* env = std::getenv("ZENTROVANE_HOME");
  std::string home = env != nullptr && *env != '\0' ? env : ExecutableDirectory();
  while (!home.empty() && (home.back() == '/' || home.back() == '\\')) home.pop_back();
  return home;
}

}  // namespace zv
