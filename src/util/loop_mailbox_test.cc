#include "util/loop_mailbox.h"

#include <gtest/gtest.h>
#include <poll.h>

#include <atomic>
#include <memory>
#include <thread>
#include <vector>

namespace zv {
namespace {

bool Readable(int fd, int timeout_ms = 0) {
  pollfd p{fd, POLLIN, 0};
  return poll(&p, 1, timeout_ms) == 1 && (p.revents & POLLIN) != 0;
}

TEST(LoopMailboxTest, RunsInPostingOrderAndWakesOnlyWhenSomethingWaits) {
  LoopMailbox mailbox;
  EXPECT_FALSE(Readable(mailbox.wake_fd()));
  std::vector<int> ran;
  for (int i = 0; i < 5; ++i) ASSERT_TRUE(mailbox.Post([&ran, i] { ran.push_back(i); }));
  EXPECT_TRUE(Readable(mailbox.wake_fd()));
  EXPECT_EQ(mailbox.Drain(), 5u);
  EXPECT_EQ(ran, (std::vector<int>{0, 1, 2, 3, 4}));
  EXPECT_FALSE(Readable(mailbox.wake_fd()));
  EXPECT_EQ(mailbox.Drain(), 0u);
}

TEST(LoopMailboxTest, AClosurePostedWhileDrainingRunsAtTheNextDrainAndWakesAgain) {
  LoopMailbox mailbox;
  int second = 0;
  ASSERT_TRUE(mailbox.Post([&] { mailbox.Post([&] { ++second; }); }));
  EXPECT_EQ(mailbox.Drain(), 1u);
  EXPECT_EQ(second, 0);
  EXPECT_TRUE(Readable(mailbox.wake_fd()));
  EXPECT_EQ(mailbox.Drain(), 1u);
  EXPECT_EQ(second, 1);
}

TEST(LoopMailboxTest, ManyPostersLoseNothingAndKeepEachPostersOrder) {
  constexpr int kPosters = 8;
  constexpr int kEach = 20000;
  LoopMailbox mailbox;
  std::vector<int> next(kPosters, 0);  // touched by the consumer only
  std::atomic<int> out_of_order{0};
  std::atomic<int> done_posters{0};
  std::vector<std::thread> posters;
  for (int p = 0; p < kPosters; ++p) {
    posters.emplace_back([&, p] {
      for (int i = 0; i < kEach; ++i) {
        bool posted = mailbox.Post([&, p, i] {
          if (next[p] != i) out_of_order.fetch_add(1);
          next[p] = i + 1;
        });
        if (!posted) out_of_order.fetch_add(1000000);
      }
      done_posters.fetch_add(1);
    });
  }
  size_t ran = 0;
  // The consumer sleeps on the fd as the loop does: a lost wake-up would
  // leave it waiting with closures queued.
  while (ran < size_t{kPosters} * kEach) {
    if (!Readable(mailbox.wake_fd(), 5000)) break;
    ran += mailbox.Drain();
  }
  for (auto& t : posters) t.join();
  EXPECT_EQ(ran, size_t{kPosters} * kEach);
  EXPECT_EQ(out_of_order.load(), 0);
  for (int p = 0; p < kPosters; ++p) EXPECT_EQ(next[p], kEach);
}

TEST(LoopMailboxTest, CloseRefusesLaterPostsAndADrainAfterItRunsEveryAcceptedOne) {
  for (int round = 0; round < 20; ++round) {
    LoopMailbox mailbox;
    std::atomic<int> accepted{0};
    std::atomic<int> ran{0};
    std::atomic<bool> go{false};
    std::vector<std::thread> posters;
    for (int p = 0; p < 4; ++p) {
      posters.emplace_back([&] {
        while (!go.load()) std::this_thread::yield();
        for (int i = 0; i < 5000; ++i) {
          if (mailbox.Post([&] { ran.fetch_add(1); })) accepted.fetch_add(1);
        }
      });
    }
    go.store(true);
    std::this_thread::yield();
    mailbox.Close();
    const int accepted_at_close = accepted.load();
    mailbox.Drain();
    for (auto& t : posters) t.join();
    // Posts accepted after Close returned would run at no later Drain.
    EXPECT_EQ(accepted.load(), ran.load());
    EXPECT_GE(ran.load(), accepted_at_close);
    EXPECT_FALSE(mailbox.Post([] {}));
    EXPECT_TRUE(mailbox.closed());
  }
}

TEST(LoopMailboxTest, ClosuresNeverRunAreDestroyedWithTheMailbox) {
  auto token = std::make_shared<int>(0);
  bool ran = false;
  {
    LoopMailbox mailbox;
    ASSERT_TRUE(mailbox.Post([token, &ran] { ran = true; }));
    ASSERT_TRUE(mailbox.Post([token, &ran] { ran = true; }));
    EXPECT_EQ(token.use_count(), 3);
  }
  EXPECT_EQ(token.use_count(), 1);
  EXPECT_FALSE(ran);
}

}  // namespace
}  // namespace zv
