// SignalWatcher: turns signals sent to the process (SIGTERM from the
// service manager, SIGINT from a terminal, ...) into calls of a function
// on a thread of its own, where it may take locks and post work; a signal
// handler itself can do neither.
//
// The handler only writes the signal's number to a pipe (async-signal-safe
// and correct whichever thread the kernel picks); the watcher's thread
// reads it and calls on_signal. One watcher at a time in a process (a
// second Start throws 0). Destruction restores the previous handlers and
// joins the thread; it must not run on the watcher's thread.
#pragma once

#include <functional>
#include <memory>
#include <vector>

namespace zv {

class SignalWatcher {
 public:
  // Installs the handlers; null with errno when the pipe or a handler
  // could not be set up (nothing is left installed then).
  static std::unique_ptr<SignalWatcher> Start(const std::vector<int>& signals,
                                              std::function<void(int)> on_signal);
  ~SignalWatcher();
  SignalWatcher(const SignalWatcher&) = delete;
  SignalWatcher& operator=(const SignalWatcher&) = delete;

 private:
  struct State;
  explicit SignalWatcher(std::unique_ptr<State> state);
  std::unique_ptr<State> state_;
};

}  // namespace zv
