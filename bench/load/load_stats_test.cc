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

TEST(LoadStatsTest, AWorkersFiguresAddUpInTheMainProcess) {
  LoadStats worker;
  worker.AddLogin(0.25, false, 900);
  worker.AddLogin(0.5, true, 2000);  // a reconnect does not end the burst
  worker.AddBytes(1000);
  worker.AddFile();
  worker.AddBusy(true);
  worker.AddError("device 1: refused\nagain");
  worker.AddProcessing(500, 700);
  worker.AddProcessing(400, 600);
  worker.AddVersionWait(0.0625, true);

  LoadStats main;
  main.AddLogin(0.125, false, 1000);
  main.AddBytes(1);
  main.AddProcessing(450, 650);
  ASSERT_TRUE(main.Merge(worker.Serialize()));
  EXPECT_EQ(main.logins(), (std::vector<double>{0.125, 0.25}));
  EXPECT_EQ(main.reconnect_logins(), (std::vector<double>{0.5}));
  EXPECT_EQ(main.bytes(), 1001u);
  EXPECT_EQ(main.files(), 1);
  EXPECT_EQ(main.busy(true), 1);
  EXPECT_EQ(main.errors(), 1);
  EXPECT_EQ(main.first_errors(), (std::vector<std::string>{"device 1: refused again"}));
  EXPECT_EQ(main.first_file_end_ns(), 400);
  EXPECT_EQ(main.last_confirm_ns(), 700);
  EXPECT_EQ(main.last_login_ns(), 1000);
  EXPECT_EQ(main.version_waits(true), (std::vector<double>{0.0625}));
  EXPECT_TRUE(main.version_waits(false).empty());

  // A text cut short (a worker that died) adds nothing.
  const std::string text = worker.Serialize();
  EXPECT_FALSE(main.Merge(text.substr(0, text.size() - 4)));
  EXPECT_FALSE(main.Merge("bytes many\nend\n"));
  EXPECT_EQ(main.bytes(), 1001u);
}

}  // namespace
}  // namespace zv::bench
