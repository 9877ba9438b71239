#include "crashdump/local_time_table.h"

#include <cstdint>

namespace zv {
namespace {

constexpr time_t kDay = 86400;
constexpr time_t kSpan = 3 * 366 * kDay;

long OffsetAt(time_t t) {
  struct tm local;
  if (localtime_r(&t, &local) == nullptr) return 0;
  return local.tm_gmtoff;
}

}  // namespace

void LocalTimeTable::Prepare(time_t from) {
  count_ = 0;
  long current = OffsetAt(from);
  changes_[count_++] = {from, current};
  // Zones change their offset at most a few times a year and never twice
  // within a day: a daily probe finds each change, a bisection its second.
  for (time_t t = from + kDay; t <= from + kSpan && count_ < kMaxChanges; t += kDay) {
    const long offset = OffsetAt(t);
    if (offset == current) continue;
    time_t before = t - kDay;  // still the old offset
    time_t after = t;          // already the new one
    while (after - before > 1) {
      const time_t middle = before + (after - before) / 2;
      if (OffsetAt(middle) == current) {
        before = middle;
      } else {
        after = middle;
      }
    }
    current = offset;
    changes_[count_++] = {after, current};
  }
}

void LocalTimeTable::ToLocal(time_t t, struct tm* out) const {
  long offset = 0;
  for (int i = 0; i < count_; ++i) {
    if (i > 0 && changes_[i].from > t) break;
    offset = changes_[i].offset;
  }
  const int64_t local = static_cast<int64_t>(t) + offset;
  int64_t days = local / kDay;
  int64_t seconds = local % kDay;
  if (seconds < 0) {
    seconds += kDay;
    --days;
  }
  // Civil date from days since 1970-01-01 (proleptic Gregorian), counted
  // in 400-year eras that start on 1 March.
  const int64_t z = days + 719468;
  const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const int64_t day_of_era = z - era * 146097;
  const int64_t year_of_era =
      (day_of_era - day_of_era / 1460 + day_of_era / 36524 - day_of_era / 146096) / 365;
  const int64_t day_of_year =
      day_of_era - (365 * year_of_era + year_of_era / 4 - year_of_era / 100);
  const int64_t mp = (5 * day_of_year + 2) / 153;
  const int64_t day = day_of_year - (153 * mp + 2) / 5 + 1;
  const int64_t month = mp < 10 ? mp + 3 : mp - 9;
  const int64_t year = year_of_era + era * 400 + (month <= 2 ? 1 : 0);

  static constexpr int kDaysBefore[12] = {0, 31, 59, 90, 120, 151, 181, 212, 243, 273, 304, 334};
  const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;

  *out = {};
  out->tm_year = static_cast<int>(year - 1900);
  out->tm_mon = static_cast<int>(month - 1);
  out->tm_mday = static_cast<int>(day);
  out->tm_hour = static_cast<int>(seconds / 3600);
  out->tm_min = static_cast<int>(seconds / 60 % 60);
  out->tm_sec = static_cast<int>(seconds % 60);
  out->tm_wday = static_cast<int>(((days % 7) + 11) % 7);  // 1970-01-01 was a Thursday
  out->tm_yday = kDaysBefore[month - 1] + static_cast<int>(day) - 1 + (leap && month > 2 ? 1 : 0);
  out->tm_isdst = -1;
  out->tm_gmtoff = offset;
}

}  // namespace zv
