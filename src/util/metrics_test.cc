#include "util/metrics.h"

#include <gtest/gtest.h>

#include <thread>
#include <vector>


namespace zv::metrics {
namespace {

TEST(MetricsTest, ExpositionOfEachTypeByteForByte) {
  Registry registry;
  Family<Counter>& logins = registry.AddCounter("zv_logins_total", "Logins.\nBy result\\code.",
                                                {"result"});
  logins.With({"WrongPassword"}).Add(2);
  logins.With({"NoError"}).Add();
  registry.AddGauge("zv_sessions", "Sessions.").With({}).Set(-3);
  Histogram& wait = registry.AddHistogram("zv_wait_seconds", "Wait.", {"waiter"}, {0.5, 2})
                        .With({"a\"b\\c\nd"});
  wait.Observe(0.25);
  wait.Observe(0.5);  // a bound belongs to its own bucket
  wait.Observe(3);

  EXPECT_EQ(registry.Exposition(),
            "# HELP zv_logins_total Logins.\\nBy result\\\\code.\n"
            "# TYPE zv_logins_total counter\n"
            "zv_logins_total{result=\"NoError\"} 1\n"
            "zv_logins_total{result=\"WrongPassword\"} 2\n"
            "# HELP zv_sessions Sessions.\n"
            "# TYPE zv_sessions gauge\n"
            "zv_sessions -3\n"
            "# HELP zv_wait_seconds Wait.\n"
            "# TYPE zv_wait_seconds histogram\n"
            "zv_wait_seconds_bucket{waiter=\"a\\\"b\\\\c\\nd\",le=\"0.5\"} 2\n"
            "zv_wait_seconds_bucket{waiter=\"a\\\"b\\\\c\\nd\",le=\"2\"} 2\n"
            "zv_wait_seconds_bucket{waiter=\"a\\\"b\\\\c\\nd\",le=\"+Inf\"} 3\n"
            "zv_wait_seconds_sum{waiter=\"a\\\"b\\\\c\\nd\"} 3.75\n"
            "zv_wait_seconds_count{waiter=\"a\\\"b\\\\c\\nd\"} 3\n");
}

TEST(MetricsTest, ProgrammingErrorsThrowZero) {
  Registry registry;
  registry.AddCounter("zv_a_total", "A.", {"x"});
  struct Case {
    const char* what;
    std::function<void()> call;
  } cases[] = {
      {"same name twice", [&] { registry.AddGauge("zv_a_total", "again"); }},
      {"name with a dash", [&] { registry.AddGauge("zv-b", "b"); }},
      {"label with a colon", [&] { registry.AddGauge("zv_c", "c", {"a:b"}); }},
      {"le on a histogram", [&] { registry.AddHistogram("zv_e", "e", {"le"}, {1}); }},
      {"bounds not ascending", [&] { registry.AddHistogram("zv_f", "f", {}, {2, 1}); }},
      {"too few label values", [&] { registry.AddCounter("zv_g", "g", {"x", "y"}).With({"1"}); }},
  };
  for (const Case& c : cases) {
    bool threw_zero = false;
    try {
      c.call();
    } catch (int code) {
      threw_zero = code == 0;
    }
    EXPECT_TRUE(threw_zero) << c.what;
  }
}

TEST(MetricsTest, ConcurrentUpdatesAreAllCounted) {
  Registry registry;
  Counter& counter = registry.AddCounter("zv_n_total", "N.").With({});
  Histogram& histogram = registry.AddHistogram("zv_h_seconds", "H.", {}, {1}).With({});
  constexpr int kThreads = 4;
  constexpr int kEach = 100000;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < kEach; ++i) {
        counter.Add(3);
        histogram.Observe(i % 2 == 0 ? 0.5 : 1.5);
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(counter.value(), 3u * kThreads * kEach);
  EXPECT_EQ(histogram.BucketCounts(), (std::vector<uint64_t>{kThreads * kEach / 2,
                                                             kThreads * kEach / 2}));
  EXPECT_DOUBLE_EQ(histogram.sum(), kThreads * kEach * 1.0);
}

}  // namespace
}  // namespace zv::metrics
