#include "util/loop_mailbox.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <system_error>
#include <thread>

namespace zv {

LoopMailbox::LoopMailbox() {
  wake_fd_ = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  if (wake_fd_ < 0) throw std::system_error(errno, std::generic_category(), "eventfd");
}

LoopMailbox::~LoopMailbox() {
  Node* node = head_.exchange(nullptr, std::memory_order_acquire);
  while (node != nullptr) {
    Node* next = node->next;
    delete node;
    node = next;
  }
  close(wake_fd_);
}

bool LoopMailbox::Post(std::function<void()> fn) {
  // Announce the post before looking at closed_; Close sets closed_ before
  // it waits for posting_ to drop to zero. Whichever comes second sees the
  // other, so no post slips in after Close has returned.
  posting_.fetch_add(1, std::memory_order_seq_cst);
  if (closed_.load(std::memory_order_seq_cst)) {
    posting_.fetch_sub(1, std::memory_order_release);
    return false;
  }
  Node* node = new Node{std::move(fn), nullptr};
  Node* old = head_.load(std::memory_order_relaxed);
  do {
    node->next = old;
  } while (!head_.compare_exchange_weak(old, node, std::memory_order_release,
                                        std::memory_order_relaxed));
  if (old == nullptr) Wake();  // the mailbox was empty: the loop may be asleep
  posting_.fetch_sub(1, std::memory_order_release);
  return true;
}

void LoopMailbox::Wake() {
  // A full counter (never, in practice) still leaves the fd readable.
  const uint64_t one = 1;
  ssize_t written;
  do {
    written = write(wake_fd_, &one, sizeof(one));
  } while (written < 0 && errno == EINTR);
}

size_t LoopMailbox::Drain() {
  // Clear the wake-up first: a post after the exchange below finds the
  // list empty and writes again.
  uint64_t count;
  while (read(wake_fd_, &count, sizeof(count)) < 0 && errno == EINTR) {
  }
  Node* newest = head_.exchange(nullptr, std::memory_order_acquire);
  Node* oldest = nullptr;
  while (newest != nullptr) {
    Node* next = newest->next;
    newest->next = oldest;
    oldest = newest;
    newest = next;
  }
  size_t ran = 0;
  while (oldest != nullptr) {
    Node* next = oldest->next;
    // Freed even if the closure throws (which stops the loop anyway).
    struct Free {
      Node* node;
      ~Free() { delete node; }
    } free{oldest};
    oldest->fn();
    ++ran;
    oldest = next;
  }
  return ran;
}

void LoopMailbox::Close() {
  closed_.store(true, std::memory_order_seq_cst);
  while (posting_.load(std::memory_order_acquire) != 0) std::this_thread::yield();
}

}  // namespace zv
