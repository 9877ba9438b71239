#include "platform/signal_watcher.h"

#include <signal.h>

#include <gtest/gtest.h>

#include <condition_variable>
#include <mutex>
#include <thread>

namespace zv {
namespace {

TEST(SignalWatcherTest, SignalArrivesOnTheWatcherThreadAndOldHandlerReturns) {
  struct sigaction ignore = {};
  ignore.sa_handler = SIG_IGN;
  struct sigaction before = {};
  ASSERT_EQ(sigaction(SIGUSR2, &ignore, &before), 0);

  std::mutex mu;
  std::condition_variable cv;
  int received = 0;
  std::thread::id on_thread;
  {
    auto watcher = SignalWatcher::Start({SIGUSR1, SIGUSR2}, [&](int signal_number) {
      std::lock_guard<std::mutex> lock(mu);
      received = signal_number;
      on_thread = std::this_thread::get_id();
      cv.notify_all();
    });
    ASSERT_NE(watcher, nullptr);
    // A second watcher in the same process is a programming error.
    EXPECT_THROW(SignalWatcher::Start({SIGUSR1}, [](int) {}), int);

    raise(SIGUSR2);
    std::unique_lock<std::mutex> lock(mu);
    ASSERT_TRUE(cv.wait_for(lock, std::chrono::seconds(10), [&] { return received != 0; }));
    EXPECT_EQ(received, SIGUSR2);
    EXPECT_NE(on_thread, std::this_thread::get_id());
  }
  struct sigaction after = {};
  ASSERT_EQ(sigaction(SIGUSR2, nullptr, &after), 0);
  EXPECT_EQ(after.sa_handler, SIG_IGN);
  sigaction(SIGUSR2, &before, nullptr);
  // Once it is gone, another may start.
  EXPECT_NE(SignalWatcher::Start({SIGUSR1}, [](int) {}), nullptr);
}

}  // namespace
}  // namespace zv
