#include "bench_child.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <fstream>
#include <sstream>

extern char** environ;

namespace zv::bench {
namespace {

// Children alive right now, for the interrupt handler; 0 marks a free slot.
constexpr int kMaxChildren = 64;
std::atomic<pid_t> g_children[kMaxChildren];

void Register(pid_t pid) {
  for (auto& slot : g_children) {
    pid_t free_slot = 0;
    if (slot.compare_exchange_strong(free_slot, pid)) return;
  }
}

void Unregister(pid_t pid) {
  for (auto& slot : g_children) {
    pid_t expected = pid;
    if (slot.compare_exchange_strong(expected, 0)) return;
  }
}

void OnInterrupt(int signal_number) {
  // Only async-signal-safe calls here.
  for (auto& slot : g_children) {
    pid_t pid = slot.load();
    if (pid > 0) ::kill(pid, SIGKILL);
  }
  ::signal(signal_number, SIG_DFL);
  ::raise(signal_number);
}

}  // namespace

void KillChildrenOnInterrupt() {
  for (int signal_number : {SIGINT, SIGTERM, SIGHUP}) ::signal(signal_number, OnInterrupt);
}

std::unique_ptr<BenchChild> BenchChild::Start(const std::string& program,
                                              const std::vector<std::string>& args,
                                              const std::vector<std::string>& env,
                                              const std::string& output_path) {
  std::vector<std::string> environment;
  for (char** e = environ; *e != nullptr; ++e) {
    std::string entry(*e);
    const std::string name = entry.substr(0, entry.find('='));
    bool replaced = false;
    for (const std::string& mine : env) replaced = replaced || mine.rfind(name + "=", 0) == 0;
    if (!replaced) environment.push_back(entry);
  }
  environment.insert(environment.end(), env.begin(), env.end());

  std::vector<char*> argv;
  argv.push_back(const_cast<char*>(program.c_str()));
  for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
  argv.push_back(nullptr);
  std::vector<char*> envp;
  for (const std::string& entry : environment) envp.push_back(const_cast<char*>(entry.c_str()));
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
  Register(pid);
  return std::unique_ptr<BenchChild>(new BenchChild(pid, pidfd));
}

BenchChild::~BenchChild() {
  if (!exit_code_) {
    ::kill(pid_, SIGKILL);
    Wait(std::chrono::seconds(10));
  }
  if (pidfd_ >= 0) ::close(pidfd_);
}

std::optional<int> BenchChild::Wait(std::chrono::milliseconds timeout) {
  if (exit_code_) return exit_code_;
  if (pidfd_ >= 0) {
    pollfd p{pidfd_, POLLIN, 0};
    if (::poll(&p, 1, static_cast<int>(timeout.count())) != 1) return std::nullopt;
  }
  int status = 0;
  pid_t got = ::waitpid(pid_, &status, pidfd_ >= 0 ? 0 : WNOHANG);
  if (got != pid_) return std::nullopt;
  exit_code_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  Unregister(pid_);
  return exit_code_;
}

void BenchChild::Signal(int signal_number) {
  if (!exit_code_) ::kill(pid_, signal_number);
}

int RunProgram(const std::string& program, const std::vector<std::string>& args,
               const std::vector<std::string>& env, const std::string& output_path,
               std::chrono::milliseconds timeout) {
  auto child = BenchChild::Start(program, args, env, output_path);
  if (!child) return -1;
  return child->Wait(timeout).value_or(-1);
}

std::string ReadWholeFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

}  // namespace zv::bench
