#include "bench_child.h"

#include <signal.h>

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

  auto process = support::SpawnedProcess::Start(program, args, environment, output_path);
  if (!process) return nullptr;
  Register(process->pid());
  return std::unique_ptr<BenchChild>(new BenchChild(std::move(process)));
}

// Kills through Wait, so that the child leaves the register once reaped.
BenchChild::~BenchChild() {
  if (!process_->exit_code()) {
    process_->Kill(SIGKILL);
    Wait(std::chrono::seconds(10));
  }
}

std::optional<int> BenchChild::Wait(std::chrono::milliseconds timeout) {
  if (process_->exit_code()) return process_->exit_code();
  std::optional<int> exit_code = process_->Wait(timeout);
  if (exit_code) Unregister(process_->pid());
  return exit_code;
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
