#include "server/session_registry.h"

#include <asio/io_context.hpp>
#include <asio/steady_timer.hpp>

#include <chrono>
#include <utility>

#include "protocol/sync_client.h"

namespace zv {
namespace {

// How soon a session that said it ends, but has not returned yet, is
// looked at again.
constexpr std::chrono::milliseconds kEndedSessionRecheck{5};

}  // namespace

SessionRegistry::SessionRegistry(asio::io_context& io, std::function<void(size_t)> on_count)
    : io_(io), on_count_(std::move(on_count)) {}

SessionRegistry::~SessionRegistry() { Close(); }

void SessionRegistry::Add(std::unique_ptr<SyncClient> session) {
  if (session == nullptr) throw 0;
  if (closed_) {
    // Shut-down has stopped every registered session already.
    session->Stop();
    return;
  }
  SyncClient* key = session.get();
  sessions_.emplace(key, std::move(session));
  on_count_(sessions_.size());
  // A session whose connection closed at once may have said that it ends
  // before it was handed over; that notice found nothing to reap.
  if (key->IsEnding()) OnEnding(key);
}

void SessionRegistry::OnEnding(SyncClient* session) {
  if (closed_) return;
  auto it = sessions_.find(session);
  // Reaped already (by another notice, a stop, or at its hand-over), or a
  // new session at the same address that is not ending: nothing to do.
  if (it == sessions_.end() || !session->IsEnding()) return;
  if (!session->HasEnded()) {
    // The worker said so before its last steps; joining it now would hold
    // up every login queued on the loop until the scheduler runs it again.
    auto timer = std::make_shared<asio::steady_timer>(io_, kEndedSessionRecheck);
    timer->async_wait([this, session, timer](const asio::error_code& error) {
      if (!error) OnEnding(session);
    });
    return;
  }
  Reap(it);
  on_count_(sessions_.size());
}

void SessionRegistry::StopIf(const std::function<bool(const SyncClient&)>& stop) {
  for (auto it = sessions_.begin(); it != sessions_.end();) {
    it = stop(*it->second) ? Reap(it) : std::next(it);
  }
}

void SessionRegistry::Close() {
  closed_ = true;
  for (auto it = sessions_.begin(); it != sessions_.end();) it = Reap(it);
}

void SessionRegistry::ForEach(const std::function<void(const SyncClient&)>& visit) const {
  for (const auto& [key, session] : sessions_) visit(*session);
}

SessionRegistry::Map::iterator SessionRegistry::Reap(Map::iterator it) {
  std::unique_ptr<SyncClient> session = std::move(it->second);
  it = sessions_.erase(it);
  session->Stop();
  return it;
}

}  // namespace zv
