// LoopMailbox: closures handed by any thread to one consumer thread (the
// controller's loop, the debug log's writer), without a lock that both
// sides take.
//
// Hundreds of session threads post to the loop (logins to admit, ended
// sessions to collect). Behind a mutex, a poster that the scheduler
// preempts while holding it holds up the loop and every other poster until
// it runs again, which with hundreds of runnable threads on few processors
// can be longer than the 500 ms a login may wait. Here a post is one
// compare-and-swap on a list head: a preempted poster delays nobody. The
// first closure into an empty mailbox writes an eventfd, which the loop
// watches; the loop then takes the whole list at once and runs it in the
// order it was posted.
#pragma once

#include <atomic>
#include <cstddef>
#include <functional>

namespace zv {

class LoopMailbox {
 public:
  // Throws std::system_error when no eventfd can be made.
  LoopMailbox();
  // Closures never run are destroyed unrun.
  ~LoopMailbox();
  LoopMailbox(const LoopMailbox&) = delete;
  LoopMailbox& operator=(const LoopMailbox&) = delete;

  // Readable while closures wait; the loop watches it. Owned here.
  int wake_fd() const { return wake_fd_; }

  // Any thread. False once Close has begun (fn is destroyed unrun).
  bool Post(std::function<void()> fn);

  // The loop thread only. Clears the wake-up, then runs every closure
  // posted so far, oldest first, each once. Closures may post again; those
  // run at the next Drain. Returns how many ran.
  size_t Drain();

  // Makes wake_fd readable, as a post does (also after Close: a consumer
  // that waits on it then sees that the mailbox has closed).
  void Wake();

  // Refuses posts from now on and returns once no Post is half way, so
  // that a Drain after it runs everything that was ever accepted.
  void Close();
  bool closed() const { return closed_.load(std::memory_order_acquire); }

 private:
  struct Node {
    std::function<void()> fn;
    Node* next = nullptr;
  };

  int wake_fd_ = -1;
  std::atomic<Node*> head_{nullptr};  // newest first
  std::atomic<bool> closed_{false};
  std::atomic<int> posting_{0};  // Posts between their closed check and their push
};

}  // namespace zv
