// SyncSocket: a blocking TCP socket of one client session with per-call
// time-outs and cross-thread cancellation.
//
// Owned by its session. The session's worker thread does every send and
// receive; any other thread may call Cancel(), which wakes a blocked call at
// once (Cancel() shuts the socket down, which wakes its poll(); a session
// costs one descriptor, its socket). A call that times out or is cancelled fails with
// kSocketTimedOut, the code of an interrupted blocking call.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>

namespace zv {

// Error code of a send or receive that timed out or was cancelled.
inline constexpr int kSocketTimedOut = 10004;

class SyncSocket {
 public:
  SyncSocket();
  virtual ~SyncSocket();
  SyncSocket(const SyncSocket&) = delete;
  SyncSocket& operator=(const SyncSocket&) = delete;

  // Takes ownership of a connected socket; true.
  // REQUIRES: no socket attached (else throws 0), fd >= 0.
  [[nodiscard]] bool Attach(int fd);
  // Closes the socket; safe to call more than once. Called by the thread
  // that does the calls, or after it ended.
  void Close();
  bool is_open() const { return fd_.load() >= 0; }

  // Any thread: wakes a blocked call; this and every later call fail with
  // kSocketTimedOut. The connection is shut down in both directions.
  void Cancel();
  bool cancelled() const { return cancelled_.load(); }

  // One send call: sends up to size bytes within timeout_ms. Returns the
  // count sent (> 0), or -1 with *error set (errno, or kSocketTimedOut on
  // time-out or cancel). REQUIRES: size > 0.
  long SendSome(const void* data, size_t size, uint32_t timeout_ms, int* error);
  // One receive call: up to size bytes within timeout_ms. Returns the count
  // (> 0), 0 when the peer closed, or -1 with *error set as for SendSome.
  long ReceiveSome(void* data, size_t size, uint32_t timeout_ms, int* error);

  // Bytes received and not yet read; 0 when closed or unknown.
  size_t PendingBytes() const;

  // Waits up to timeout_ms or until Cancel(); true when cancelled.
  bool WaitForCancel(uint32_t timeout_ms);

 private:
  // Waits until the socket is ready for events; 1 when ready, 0 on time-out
  // or cancel (*error = kSocketTimedOut), -1 on a poll failure (*error =
  // errno).
  int WaitReady(short events, int64_t deadline_ms, int* error);
  // Makes the non-blocking call(fd) until it does not find the socket busy,
  // waiting for events in between; its result, or -1 with *error set as
  // for SendSome.
  template <typename Call>
  long CallWhenReady(short events, uint32_t timeout_ms, int* error, Call call);

  std::atomic<int> fd_{-1};
  std::mutex mu_;  // guards closing fd_ against Cancel()
  std::condition_variable cancel_cv_;  // with mu_: WaitForCancel's wake-up
  std::atomic<bool> cancelled_{false};
};

}  // namespace zv
