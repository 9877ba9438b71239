// SyncListener: the TCP listening socket of the sync protocol. Accepted on
// the host's event-loop thread; every accepted connection becomes a
// SyncClient session with a worker thread of its own, started on the
// listener's starter thread and handed to the host (NotifyConnected), which
// owns it from then on.
// The accept path does only quick work, so a burst of appliances
// connecting at once is drained without stalling the loop.
#pragma once

#include <cstdint>
#include <memory>

namespace asio {
class io_context;
}

namespace zv {

class SessionHost;

class SyncListener {
 public:
  // Sessions are made with host, which outlives the listener.
  SyncListener(asio::io_context& io, SessionHost& host);
  ~SyncListener();
  SyncListener(const SyncListener&) = delete;
  SyncListener& operator=(const SyncListener&) = delete;

  // Listens on port on all addresses (SO_REUSEADDR) and starts
  // accepting. "Create socket failed!errno=%u\n" or "Listen failed!errno=%u\n"
  // on failure.
  [[nodiscard]] bool Start(uint16_t port);
  // Stops accepting and closes the socket; harmless when not started.
  void Close();

  // The port actually bound (useful when started with port 0).
  uint16_t port() const;

 private:
  struct Impl;
  void ArmAccept();
  // Accepts pending connections, then watches again (or, with a full batch
  // taken, goes on at a later turn).
  void ContinueAccepting();
  enum class AcceptOutcome { kDrained, kBatchFull, kNoDescriptor };
  // Accepts up to a batch: kBatchFull when it was full (more may wait),
  // kNoDescriptor when the process or the system had no descriptor (or no
  // memory) for the next.
  AcceptOutcome AcceptPending();
  // The thread that starts the sessions of accepted connections; false
  // when it cannot run (sessions are then started on the loop).
  bool StartStarter();
  // A session for the accepted connection fd: started and handed to the
  // host (on the starter thread, or on the loop without one).
  void StartSession(int fd, uint32_t address, uint16_t port);

  SessionHost& host_;
  std::unique_ptr<Impl> impl_;
};

}  // namespace zv
