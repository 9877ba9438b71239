#include "spawned_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

namespace zv::support {

std::unique_ptr<SpawnedProcess> SpawnedProcess::Start(const std::string& program,
                                                      const std::vector<std::string>& args,
                                                      const std::vector<std::string>& env,
                                                      const std::string& output_path) {
  std::vector<char*> argv;
  argv.push_back(const_cast<char*>(program.c_str()));
  for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
  argv.push_back(nullptr);
  std::vector<char*> envp;
  for (const std::string& entry : env) envp.push_back(const_cast<char*>(entry.c_str()));
  envp.push_back(nullptr);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, output_path.c_str(),
                                   O_WRONLY | O_CREAT | O_APPEND, 0644);
  posix_spawn_file_actions_adddup2(&actions, 1, 2);
  pid_t pid = -1;
  int rc = posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  if (rc != 0) return nullptr;
  int pidfd = static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
  return std::unique_ptr<SpawnedProcess>(new SpawnedProcess(pid, pidfd));
}

SpawnedProcess::~SpawnedProcess() {
  if (!exit_code_) {
    ::kill(pid_, SIGKILL);
    Wait(std::chrono::seconds(10));
  }
  if (pidfd_ >= 0) ::close(pidfd_);
}

std::optional<int> SpawnedProcess::Wait(std::chrono::milliseconds timeout) {
  if (exit_code_) return exit_code_;
  if (pidfd_ >= 0) {
    pollfd p{pidfd_, POLLIN, 0};
    if (::poll(&p, 1, static_cast<int>(timeout.count())) != 1) return std::nullopt;
  }
  int status = 0;
  pid_t got = ::waitpid(pid_, &status, pidfd_ >= 0 ? 0 : WNOHANG);
  if (got != pid_) return std::nullopt;
  exit_code_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  return exit_code_;
}

void SpawnedProcess::Kill(int signal_number) {
  if (!exit_code_) ::kill(pid_, signal_number);
}

}  // namespace zv::support
