#include "server/server_processing_lock.h"

#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

namespace zv {
namespace {

// The lock with a fake importer and the activity texts it set.
class ServerProcessingLockTest : public ::testing::Test {
 protected:
  std::vector<std::string> Shown() {
    std::lock_guard<std::mutex> lock(mu_);
    return shown_;
  }

  std::atomic<int> busy_checks_left_{0};  // the importer runs for this many looks
  std::atomic<int> checks_{0};
  std::mutex mu_;
  std::vector<std::string> shown_;  // guarded by mu_
  ServerProcessingLock lock_{[this] {
                               ++checks_;
                               return busy_checks_left_.fetch_sub(1) > 0;
                             },
                             [this](const std::string& text) {
                               std::lock_guard<std::mutex> lock(mu_);
                               shown_.push_back(text);
                             }};
};

TEST_F(ServerProcessingLockTest, WaitsForTheImporterThenShowsTheActivity) {
  busy_checks_left_ = 2;
  ASSERT_TRUE(lock_.Acquire(1000, "demo-00000001(127.0.0.1):Processing a.dat!"));
  EXPECT_EQ(checks_.load(), 3);  // busy, busy, gone
  lock_.Release();
  EXPECT_EQ(Shown(), (std::vector<std::string>{"demo-00000001(127.0.0.1):Processing a.dat!",
                                               "Idle"}));
}

TEST_F(ServerProcessingLockTest, ImporterThatStaysBusyUsesUpTheTimeOut) {
  busy_checks_left_ = 1000000;
  EXPECT_FALSE(lock_.Acquire(0, "x"));
  EXPECT_EQ(checks_.load(), 1);  // no time left: no pause, no second look
  EXPECT_FALSE(lock_.Acquire(250, "x"));
  EXPECT_EQ(checks_.load(), 1 + 4);  // pauses of 100, 100 and 50 ms between looks
  EXPECT_TRUE(Shown().empty());
  // The lock itself was never taken.
  busy_checks_left_ = 0;
  EXPECT_TRUE(lock_.Acquire(0, ""));
  EXPECT_TRUE(Shown().empty());  // no activity given, none shown
}

// Polls the lock's state until it is held by holder with exactly waiting.
bool StateBecomes(const ServerProcessingLock& lock, const std::string& holder,
                  const std::vector<std::string>& waiting) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  for (;;) {
    const ServerProcessingLock::State state = lock.GetState();
    if (state.held == !holder.empty() && state.holder == holder && state.waiting == waiting) {
      return true;
    }
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
}

TEST_F(ServerProcessingLockTest, StateNamesTheHolderAndTheWaitersInTheirOrder) {
  EXPECT_TRUE(StateBecomes(lock_, "", {}));
  ASSERT_TRUE(lock_.Acquire(0, "holder"));
  std::atomic<int> acquired{0};
  auto wait = [&](const char* name) {
    if (lock_.Acquire(60000, name)) ++acquired;  // held until the test releases it
  };
  std::thread first(wait, "first");
  ASSERT_TRUE(StateBecomes(lock_, "holder", {"first"}));
  std::thread second(wait, "second");
  ASSERT_TRUE(StateBecomes(lock_, "holder", {"first", "second"}));
  // Either waiter may come next; the other stays in the list.
  lock_.Release();
  while (acquired.load() == 0) std::this_thread::yield();
  const ServerProcessingLock::State state = lock_.GetState();
  const std::string other = state.holder == "first" ? "second" : "first";
  EXPECT_TRUE(state.holder == "first" || state.holder == "second") << state.holder;
  EXPECT_EQ(state.waiting, std::vector<std::string>{other});
  lock_.Release();
  first.join();
  second.join();
  EXPECT_EQ(acquired.load(), 2);
  EXPECT_TRUE(lock_.GetState().held);
  EXPECT_TRUE(lock_.GetState().waiting.empty());
  lock_.Release();
  EXPECT_TRUE(StateBecomes(lock_, "", {}));
}

}  // namespace
}  // namespace zv
