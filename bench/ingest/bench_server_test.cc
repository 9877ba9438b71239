#include "bench_server.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include "config/zv_sync_config.h"

namespace zv::bench {
namespace {

TEST(BenchServerTest, StatusFieldsAreReadByNameAtTheStartOfALine) {
  const std::string status =
      "Name:\tZentrovane.exe\n"
      "XVmRSS:\t 99 kB\n"
      "VmHWM:\t   20480 kB\n"
      "VmRSS:\t   12288 kB\n"
      "Threads:\t7\n";
  EXPECT_EQ(StatusFieldKib(status, "VmHWM"), 20480);
  EXPECT_EQ(StatusFieldKib(status, "VmRSS"), 12288);
  EXPECT_EQ(StatusFieldKib(status, "VmSwap"), -1);
  EXPECT_EQ(StatusFieldKib("VmRSS:\tnone\n", "VmRSS"), -1);
}

TEST(BenchServerTest, OwnProcessMemoryIsReadable) {
  ProcessMemory memory = ReadProcessMemory(::getpid());
  ASSERT_TRUE(memory.ok);
  EXPECT_GT(memory.rss_kib, 0u);
  EXPECT_GE(memory.peak_kib, memory.rss_kib);
  EXPECT_FALSE(ReadProcessMemory(-1).ok);
}

TEST(BenchServerTest, TheConfiguredPasswordIsTheDatabasesOwn) {
  EXPECT_EQ(DecryptPassword(kDbPasswordCipher), kDbPassword);
}

TEST(BenchServerTest, FreeLoopbackPortIsNotZero) { EXPECT_NE(FreeLoopbackPort(), 0); }

}  // namespace
}  // namespace zv::bench
