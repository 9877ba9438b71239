#include "bench_options.h"

#include <gtest/gtest.h>

namespace zv::bench {
namespace {

TEST(BenchOptionsTest, ByteSizesWithAndWithoutUnits) {
  uint64_t n = 0;
  EXPECT_TRUE(ParseByteSize("1048576", &n));
  EXPECT_EQ(n, 1048576u);
  EXPECT_TRUE(ParseByteSize("512K", &n));
  EXPECT_EQ(n, 512u << 10);
  EXPECT_TRUE(ParseByteSize("64m", &n));
  EXPECT_EQ(n, 64u << 20);
  EXPECT_TRUE(ParseByteSize("1GiB", &n));
  EXPECT_EQ(n, 1ull << 30);
}

TEST(BenchOptionsTest, RefusesWhatIsNotASizeAndLeavesTheOutputAlone) {
  uint64_t n = 7;
  for (const char* text : {"", "M", "-1M", "+5", "12X", "3 M", "1T", "18446744073709551616",
                           "99999999999999999999", "17179869184G"}) {
    EXPECT_FALSE(ParseByteSize(text, &n)) << text;
  }
  EXPECT_EQ(n, 7u);
}

}  // namespace
}  // namespace zv::bench
