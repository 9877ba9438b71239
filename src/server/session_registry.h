// SessionRegistry: the sessions of the server. It owns every session from
// the moment the listener hands it over (Add) until it is reaped: once its
// worker has ended, or when the server stops it (an account change, the
// shut-down). Reap is the one place a session is stopped and destroyed.
//
// A session's worker frees its buffers and lets its thread exit on its own
// (see SyncClient::Run); what is left to reap is a small object and, at
// most, a thread that is about to return. A session that said it ends but
// has not yet returned is looked at again shortly rather than joined, so
// that the loop never waits for a thread the scheduler has not run yet.
//
// Owned by the controller; every operation runs on its loop thread.
#pragma once

#include <cstddef>
#include <functional>
#include <map>
#include <memory>

namespace asio {
class io_context;
}

namespace zv {

class SyncClient;

class SessionRegistry {
 public:
  // io: the controller's loop. on_count: called with the number of sessions
  // after each change.
  SessionRegistry(asio::io_context& io, std::function<void(size_t)> on_count);
  // Stops every session still registered.
  ~SessionRegistry();
  SessionRegistry(const SessionRegistry&) = delete;
  SessionRegistry& operator=(const SessionRegistry&) = delete;

  // Takes a started session over; one that is ending already (its notice
  // may have come first) is reaped once it has ended. After Close the
  // session is stopped and destroyed at once instead.
  void Add(std::unique_ptr<SyncClient> session);
  // The session's worker said it ends: reaps it once it has ended. Nothing
  // happens for a session that is not registered or not ending.
  void OnEnding(SyncClient* session);
  // Reaps every session for which stop(session) is true, in registry order.
  void StopIf(const std::function<bool(const SyncClient&)>& stop);
  // Reaps every session and refuses new ones (shut-down).
  void Close();

  // Visits every session in registry order.
  void ForEach(const std::function<void(const SyncClient&)>& visit) const;
  size_t size() const { return sessions_.size(); }

 private:
  using Map = std::map<SyncClient*, std::unique_ptr<SyncClient>>;

  // Removes the session, stops it (joining a worker that still runs) and
  // destroys it. Returns the next position.
  Map::iterator Reap(Map::iterator it);

  asio::io_context& io_;
  const std::function<void(size_t)> on_count_;
  // Keyed by address: the registry's order is that of the addresses, as the
  // controller's set of sessions always was.
  Map sessions_;
  bool closed_ = false;
};

}  // namespace zv
