#include "load_stats.h"

#include <gtest/gtest.h>

#include <thread>

namespace zv::bench {
namespace {

TEST(LoadStatsTest, PercentileByNearestRank) {
  std::vector<double> samples;
  for (int i = 100; i >= 1; --i) samples.push_back(i);  // unsorted on purpose
  EXPECT_EQ(Percentile(samples, 0.50), 50);
  EXPECT_EQ(Percentile(samples, 0.99), 99);
  EXPECT_EQ(Percentile(samples, 1.0), 100);
  EXPECT_EQ(Percentile(samples, 0.0), 1);
  EXPECT_EQ(Percentile({7.0}, 0.99), 7);
  EXPECT_EQ(Percentile({}, 0.5), 0);
  // Three samples: the 99th percentile is the largest, the median the middle.
  EXPECT_EQ(Percentile({3.0, 1.0, 2.0}, 0.99), 3);
  EXPECT_EQ(Percentile({3.0, 1.0, 2.0}, 0.5), 2);
}

TEST(LoadStatsTest, CountsFromManyThreadsAddUp) {
  LoadStats stats;
  std::vector<std::thread> threads;
  for (int t = 0; t < 8; ++t) {
    threads.emplace_back([&stats, t] {
      for (int i = 0; i < 1000; ++i) {
        stats.AddBytes(3);
        stats.AddLogin(0.001 * i, t % 2 == 0);
        if (i % 100 == 0) stats.AddError("thread " + std::to_string(t));
        if (i % 250 == 0) stats.AddBusy(t < 2);
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(stats.bytes(), 8u * 1000u * 3u);
  EXPECT_EQ(stats.logins().size(), 4000u);
  EXPECT_EQ(stats.reconnect_logins().size(), 4000u);
  EXPECT_EQ(stats.errors(), 80);
  EXPECT_EQ(stats.first_errors().size(), 10u);
  EXPECT_EQ(stats.busy(true), 2 * 4);
  EXPECT_EQ(stats.busy(false), 6 * 4);
}

}  // namespace
}  // namespace zv::bench
