#include "server/session_registry.h"

#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <asio/io_context.hpp>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <vector>

#include "db/processing_lock.h"
#include "protocol/session_host.h"
#include "protocol/sync_client.h"

namespace zv {
namespace {

class FreeLock final : public ProcessingLock {
 public:
  bool Acquire(uint32_t, const std::string&) override { return true; }
  void Release() override {}
};

// A host that only records the sessions' end notices.
class NoticeHost final : public SessionHost {
 public:
  uint32_t Authenticate(const ClientAuthBlock&, SyncAccountRecord*) override {
    return kUserNotFound;
  }
  bool CheckDiskSpace(const std::string&) override { return true; }
  ProcessingLock& processing_lock() override { return lock_; }
  bool NotifyConnected(std::unique_ptr<SyncClient>) override { return false; }
  bool NotifyDisconnected(SyncClient* session) override {
    std::lock_guard<std::mutex> lock(mu_);
    ended_.push_back(session);
    cv_.notify_all();
    return true;
  }
  void ShowSpeed(uint32_t, uint32_t) override {}
  void ShowClientRow(const std::string&, uint32_t, const char*, ...) override {}
  bool IsInteractive() const override { return false; }

  bool WaitNotice(SyncClient* session) {
    std::unique_lock<std::mutex> lock(mu_);
    return cv_.wait_for(lock, std::chrono::seconds(30), [&] {
      return std::find(ended_.begin(), ended_.end(), session) != ended_.end();
    });
  }

 private:
  FreeLock lock_;
  std::mutex mu_;
  std::condition_variable cv_;
  std::vector<SyncClient*> ended_;
};

class SessionRegistryTest : public ::testing::Test {
 protected:
  // A started session whose peer is still open (*peer) or closed already.
  std::unique_ptr<SyncClient> StartSession(int* peer) {
    int fds[2];
    EXPECT_EQ(0, ::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds));
    auto session = std::make_unique<SyncClient>(host_);
    EXPECT_TRUE(session->Start(fds[0], 0x7F000001, 1));
    *peer = fds[1];
    return session;
  }

  // Runs the loop until the registry holds count sessions (bounded).
  bool RunUntilSize(size_t count) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (registry_.size() != count && std::chrono::steady_clock::now() < deadline) {
      io_.restart();
      io_.run_one_for(std::chrono::milliseconds(100));
    }
    return registry_.size() == count;
  }

  NoticeHost host_;
  asio::io_context io_;
  std::vector<size_t> counts_;
  SessionRegistry registry_{io_, [this](size_t count) { counts_.push_back(count); }};
};

// A connection closed at once: the session's end notice reaches the loop
// before the listener's hand-over. The registry still reaps it.
TEST_F(SessionRegistryTest, SessionThatEndedBeforeItsHandOverIsReaped) {
  int peer = -1;
  std::unique_ptr<SyncClient> session = StartSession(&peer);
  ::close(peer);
  SyncClient* raw = session.get();
  ASSERT_TRUE(host_.WaitNotice(raw));
  registry_.OnEnding(raw);  // the notice first: nothing registered yet
  EXPECT_EQ(registry_.size(), 0u);
  registry_.Add(std::move(session));
  EXPECT_TRUE(RunUntilSize(0));
  EXPECT_EQ(counts_, (std::vector<size_t>{1, 0}));
}

TEST_F(SessionRegistryTest, EndNoticeAfterTheHandOverReapsOnceEnded) {
  int peer = -1;
  std::unique_ptr<SyncClient> session = StartSession(&peer);
  SyncClient* raw = session.get();
  registry_.Add(std::move(session));
  registry_.OnEnding(raw);  // a notice for a session that is not ending: ignored
  EXPECT_EQ(registry_.size(), 1u);
  ::close(peer);
  ASSERT_TRUE(host_.WaitNotice(raw));
  registry_.OnEnding(raw);
  EXPECT_TRUE(RunUntilSize(0));
  registry_.OnEnding(raw);  // a late second notice finds nothing
  EXPECT_EQ(counts_, (std::vector<size_t>{1, 0}));
}

TEST_F(SessionRegistryTest, StopIfAndCloseStopRunningSessions) {
  int peers[3];
  std::vector<SyncClient*> raw;
  for (int& peer : peers) {
    std::unique_ptr<SyncClient> session = StartSession(&peer);
    raw.push_back(session.get());
    registry_.Add(std::move(session));
  }
  registry_.StopIf([&](const SyncClient& session) { return &session == raw[1]; });
  EXPECT_EQ(registry_.size(), 2u);
  EXPECT_TRUE(host_.WaitNotice(raw[1]));  // stopped: its worker ended
  registry_.Close();
  EXPECT_EQ(registry_.size(), 0u);
  // Closed: a session handed over now is stopped at once.
  int late_peer = -1;
  registry_.Add(StartSession(&late_peer));
  EXPECT_EQ(registry_.size(), 0u);
  for (int peer : peers) ::close(peer);
  ::close(late_peer);
}

}  // namespace
}  // namespace zv
