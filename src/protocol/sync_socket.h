// SyncSocket: a blocking TCP socket of one client session with per-call
// time-outs and cross-thread cancellation. The session's worker thread does
// all sends and receives; any other thread may call Cancel(), which wakes a
// blocked call at once (poll() on the socket plus an eventfd).
#pragma once

#include <cstddef>
#include <cstdint>

namespace zv {

// Error code of a send or receive that timed out or was cancelled.
inline constexpr int kSocketTimedOut = 10004;

class SyncSocket {
 public:
  SyncSocket();
  virtual ~SyncSocket();
  SyncSocket(const SyncSocket&) = delete;
  SyncSocket& operator=(const SyncSocket&) = delete;

  // Takes ownership of a connected socket (and creates the cancel event).
  [[nodiscard]] bool Attach(int fd);
  // Closes the socket; safe to call more than once.
  void Close();
  bool is_open() const { return fd_ >= 0; }

  // Any thread: wakes a blocked call; every later call fails with
  // kSocketTimedOut until Close().
  void Cancel();
  bool cancelled() const;

  // Sends up to size bytes within timeout_ms. Returns the count sent (> 0),
  // or -1 with *error set (errno, or kSocketTimedOut on time-out/cancel).
  long SendSome(const void* data, size_t size, uint32_t timeout_ms, int* error);
  // Receives up to size bytes within timeout_ms. Returns the count (> 0),
  // 0 when the peer closed, or -1 with *error set as for SendSome.
  long ReceiveSome(void* data, size_t size, uint32_t timeout_ms, int* error);

  int fd() const { return fd_; }

 private:
  // Waits until fd_ is ready for events or the time-out/cancel; returns
  // 1 when ready, 0 on time-out or cancel (error kSocketTimedOut), -1 on
  // a poll failure.
  int WaitReady(short events, uint32_t timeout_ms, int* error);

  int fd_ = -1;
  int cancel_fd_ = -1;
  // Set by Cancel(); read by the worker.
  alignas(4) volatile int cancelled_flag_ = 0;
};

}  // namespace zv
