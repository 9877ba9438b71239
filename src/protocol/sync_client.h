// SyncClient: one appliance's session. The controller's event-loop thread
// creates it for an accepted connection and calls Start(); the session's own
// worker thread runs the handshake, the login and the block loop, and at its
// end posts NotifyDisconnected(this) to the controller, which then Stop()s
// and deletes the session on its own thread.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>

#include "protocol/sync_socket.h"
#include "records/sync_account_record.h"

namespace zv {

class SyncClient : public SyncSocket {
 public:
  SyncClient();              // allocates nothing yet
  ~SyncClient() override;    // "Socket not closed!" at 0x04 if still open; frees the buffer

  // Controller thread. Allocates the 0x800800-byte block buffer ("No memory!"),
  // takes ownership of the accepted socket, creates and starts the worker
  // ("Create work thread failed!errno=%u"). A second Start throws 0.
  bool Start(int accepted_fd, uint32_t peer_address, uint16_t peer_port);  // host byte order
  // Any thread but the worker: sets the stop flag, cancels the blocking call,
  // joins the worker. Idempotent.
  void Stop();

  void GetRecord(SyncAccountRecord* out) const;   // under the record lock
  std::string GetSessionKey() const;              // "" before login
  uint32_t peer_address() const { return peer_address_; }
  uint16_t peer_port() const { return peer_port_; }

 protected:
  // The worker's body.
  void Run();

 private:
  uint32_t peer_address_ = 0;
  uint16_t peer_port_ = 0;
  std::thread worker_;
  std::atomic<bool> stop_{false};
  mutable std::mutex record_mutex_;
  SyncAccountRecord record_{};
  std::string session_key_;
  unsigned char* buffer_ = nullptr;
};

}  // namespace zv
