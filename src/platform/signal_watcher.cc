#include "platform/signal_watcher.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <thread>

namespace zv {
namespace {

// The write end of the running watcher's pipe; -1 when none runs.
std::atomic<int> g_signal_pipe{-1};

extern "C" void ForwardSignal(int signal_number) {
  const int saved = errno;
  const int fd = g_signal_pipe.load();
  if (fd >= 0) {
    unsigned char byte = static_cast<unsigned char>(signal_number);
    // A full pipe drops the signal: dozens of the same are already queued.
    ssize_t ignored = write(fd, &byte, 1);
    (void)ignored;
  }
  errno = saved;
}

}  // namespace

struct SignalWatcher::State {
  int pipe_read = -1;
  int pipe_write = -1;
  int stop_read = -1;  // closed by the destructor's end of the stop pipe
  int stop_write = -1;
  std::vector<int> signals;
  std::vector<struct sigaction> previous;
  std::function<void(int)> on_signal;
  std::thread thread;

  void Run() {
    struct pollfd fds[2] = {{pipe_read, POLLIN, 0}, {stop_read, POLLIN, 0}};
    for (;;) {
      int n = poll(fds, 2, -1);
      if (n < 0 && errno == EINTR) continue;
      if (n < 0 || fds[1].revents != 0) return;
      unsigned char byte = 0;
      ssize_t got = read(pipe_read, &byte, 1);
      if (got == 1) on_signal(byte);
    }
  }

  void Restore() {
    for (size_t i = 0; i < previous.size(); ++i) sigaction(signals[i], &previous[i], nullptr);
    previous.clear();
  }

  ~State() {
    for (int fd : {pipe_read, pipe_write, stop_read, stop_write}) {
      if (fd >= 0) close(fd);
    }
  }
};

SignalWatcher::SignalWatcher(std::unique_ptr<State> state) : state_(std::move(state)) {}

std::unique_ptr<SignalWatcher> SignalWatcher::Start(const std::vector<int>& signals,
                                                    std::function<void(int)> on_signal) {
  auto state = std::make_unique<State>();
  int signal_pipe[2];
  int stop_pipe[2];
  if (pipe2(signal_pipe, O_CLOEXEC | O_NONBLOCK) != 0) return nullptr;
  state->pipe_read = signal_pipe[0];
  state->pipe_write = signal_pipe[1];
  if (pipe2(stop_pipe, O_CLOEXEC) != 0) return nullptr;
  state->stop_read = stop_pipe[0];
  state->stop_write = stop_pipe[1];
  int expected = -1;
  if (!g_signal_pipe.compare_exchange_strong(expected, state->pipe_write)) throw 0;
  state->signals = signals;
  state->on_signal = std::move(on_signal);

  struct sigaction action = {};
  action.sa_handler = ForwardSignal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  for (int signal_number : signals) {
    struct sigaction old = {};
    if (sigaction(signal_number, &action, &old) != 0) {
      const int saved = errno;
      state->Restore();
      g_signal_pipe.store(-1);
      errno = saved;
      return nullptr;
    }
    state->previous.push_back(old);
  }
  // A signal blocked in the starting thread would reach the handler only
  // through another thread; unblock it here so that it never waits.
  sigset_t set;
  sigemptyset(&set);
  for (int signal_number : signals) sigaddset(&set, signal_number);
  pthread_sigmask(SIG_UNBLOCK, &set, nullptr);

  State* raw = state.get();
  state->thread = std::thread([raw] { raw->Run(); });
  return std::unique_ptr<SignalWatcher>(new SignalWatcher(std::move(state)));
}

SignalWatcher::~SignalWatcher() {
  state_->Restore();
  g_signal_pipe.store(-1);
  close(state_->stop_write);
  state_->stop_write = -1;
  state_->thread.join();
}

}  // namespace zv
