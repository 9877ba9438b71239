#include "crashdump/local_time_table.h"

#include <gtest/gtest.h>

#include <ctime>

#include "test_util.h"

namespace zv {
namespace {

// The table against the C library, hour by hour over three years and
// second by second around every change of offset, in zones with summer
// time on either hemisphere, half-hour offsets and none at all. POSIX
// zone strings need no zone files.
TEST(LocalTimeTableTest, AgreesWithTheCLibrary) {
  struct Case {
    const char* zone;
  };
  const Case cases[] = {
      {"CET-1CEST,M3.5.0,M10.5.0/3"},      // Central Europe
      {"NST3:30NDT,M3.2.0,M11.1.0"},       // Newfoundland: -3:30, summer time
      {"AEST-10AEDT,M10.1.0,M4.1.0/3"},    // south-east Australia
      {"IST-5:30"},                        // India: no summer time
      {"UTC0"},
  };
  const time_t from = 1704067200;  // 2024-01-01 00:00:00 UTC
  for (const Case& c : cases) {
    testing::ScopedEnv zone("TZ", c.zone);
    tzset();
    LocalTimeTable table;
    table.Prepare(from);
    auto check = [&](time_t t) {
      struct tm want;
      ASSERT_NE(nullptr, localtime_r(&t, &want));
      struct tm got;
      table.ToLocal(t, &got);
      ASSERT_EQ(want.tm_gmtoff, got.tm_gmtoff) << c.zone << " at " << t;
      ASSERT_TRUE(want.tm_year == got.tm_year && want.tm_mon == got.tm_mon &&
                  want.tm_mday == got.tm_mday && want.tm_hour == got.tm_hour &&
                  want.tm_min == got.tm_min && want.tm_sec == got.tm_sec &&
                  want.tm_wday == got.tm_wday && want.tm_yday == got.tm_yday)
          << c.zone << " at " << t;
    };
    long previous = 0;
    for (time_t t = from; t < from + 3 * 365 * 86400; t += 3600) {
      struct tm local;
      localtime_r(&t, &local);
      if (t != from && local.tm_gmtoff != previous) {
        for (time_t s = t - 3602; s <= t + 2; ++s) check(s);  // the change is in there
      }
      previous = local.tm_gmtoff;
      check(t);
      check(t + 1799);
    }
  }
  tzset();
}

}  // namespace
}  // namespace zv
