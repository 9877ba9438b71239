#include "server/server_processing_lock.h"

#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
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

TEST_F(ServerProcessingLockTest, StateNamesTheHolderAndTheWaiters) {
  ASSERT_TRUE(lock_.Acquire(0, "holder"));
  std::thread waiter([this] { EXPECT_TRUE(lock_.Acquire(60000, "waiter")); });
  while (lock_.GetState().waiting.empty()) std::this_thread::yield();
  ServerProcessingLock::State state = lock_.GetState();
  EXPECT_TRUE(state.held);
  EXPECT_EQ(state.holder, "holder");
  EXPECT_EQ(state.waiting, std::vector<std::string>{"waiter"});
  lock_.Release();
  waiter.join();
  state = lock_.GetState();
  EXPECT_EQ(state.holder, "waiter");
  EXPECT_TRUE(state.waiting.empty());
  lock_.Release();
  EXPECT_FALSE(lock_.GetState().held);
}

}  // namespace
}  // namespace zv
