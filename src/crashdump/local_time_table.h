// LocalTimeTable: local time without localtime_r, for a crash handler (the
// C library's conversion takes locks and may read the zone file). Prepare
// asks the C library once for every change of the local zone's UTC offset
// from a starting moment to three years later; ToLocal then needs only
// arithmetic. Moments after the covered span keep the last offset found.
// Owner: whoever prepares it. Prepare on one thread before any ToLocal;
// ToLocal is async-signal-safe and may run on any thread.
#pragma once

#include <ctime>

namespace zv {

class LocalTimeTable {
 public:
  // Learns the offsets from `from` on (not async-signal-safe).
  void Prepare(time_t from);

  // Broken-down local time of t: year, month, day, hour, minute, second,
  // weekday, day of the year, tm_isdst unknown (-1), tm_gmtoff.
  void ToLocal(time_t t, struct tm* out) const;

 private:
  static constexpr int kMaxChanges = 32;
  struct Change {
    time_t from;  // first second with this offset
    long offset;  // seconds east of UTC
  };
  Change changes_[kMaxChanges] = {};
  int count_ = 0;  // 0 until prepared: ToLocal then gives UTC
};

}  // namespace zv
