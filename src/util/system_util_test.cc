#include "util/system_util.h"

#include <errno.h>
#include <pthread.h>
#include <sys/ptrace.h>
#include <sys/wait.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <thread>

#include <gtest/gtest.h>

#include "test_util.h"

namespace zv {
namespace {

std::string ThreadName() {
  char name[32] = {};
  pthread_getname_np(pthread_self(), name, sizeof name);
  return name;
}

TEST(FormatSystemErrorTest, KnownCodeEndsWithLineBreak) {
  EXPECT_EQ(FormatSystemError(ENOENT), "No such file or directory\n");
}

TEST(FormatSystemErrorTest, UnknownCodeIsEmpty) {
  EXPECT_EQ(FormatSystemError(987654), "");
}

TEST(TickTest, ElapsedTicksIsPerThreadStopwatch) {
  uint32_t first = 0, now = 0, elapsed = 0, after = 0;
  std::thread([&] {
    first = GetElapsedTicks();
    now = GetTickCount32();
    elapsed = GetElapsedTicks();
    after = GetTickCount32();
  }).join();
  // The first call on a thread returns the raw tick count...
  EXPECT_LE(now - first, 1000u);
  // ...the next one the time since then.
  EXPECT_LE(elapsed, after - first);
  EXPECT_LT(elapsed, 1000u);
}

TEST(ThreadIdTest, IsTheKernelId) {
  EXPECT_EQ(GetCurrentThreadId32(), static_cast<uint32_t>(syscall(SYS_gettid)));
  uint32_t other = 0;
  std::thread([&] { other = GetCurrentThreadId32(); }).join();
  EXPECT_NE(other, GetCurrentThreadId32());
}

TEST(SetThreadDebugNameTest, NullFormatIsInvalidParameter) {
  EXPECT_EQ(SetThreadDebugName(GetCurrentThreadId32(), nullptr), 87);
}

TEST(SetThreadDebugNameTest, NamesTheThreadCutToFifteenBytes) {
  std::string seen;
  int rc = -1;
  std::thread([&] {
    rc = SetThreadDebugName(GetCurrentThreadId32(), "ClientThread %u.%u.%u.%u:%u", 10u, 1u, 2u,
                            3u, 810u);
    seen = ThreadName();
  }).join();
  EXPECT_EQ(rc, 0);
  EXPECT_EQ(seen, "ClientThread 10");
}

TEST(SetThreadDebugNameTest, NamesAnotherThreadById) {
  std::mutex mu;
  std::condition_variable cv;
  uint32_t tid = 0;
  bool named = false;
  std::string seen;
  std::thread worker([&] {
    std::unique_lock<std::mutex> lock(mu);
    tid = GetCurrentThreadId32();
    cv.notify_all();
    cv.wait(lock, [&] { return named; });
    seen = ThreadName();
  });
  {
    std::unique_lock<std::mutex> lock(mu);
    cv.wait(lock, [&] { return tid != 0; });
    EXPECT_EQ(SetThreadDebugName(tid, "DiskMonitorThread"), 0);
    named = true;
  }
  cv.notify_all();
  worker.join();
  EXPECT_EQ(seen, "DiskMonitorThre");
}

TEST(DebuggerTest, TracedChildSeesItsTracer) {
  pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    // This process becomes the child's tracer.
    if (ptrace(PTRACE_TRACEME, 0, nullptr, nullptr) != 0) _exit(2);
    _exit(IsDebuggerAttached() ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  if (WEXITSTATUS(status) == 2) GTEST_SKIP() << "ptrace not permitted here";
  EXPECT_EQ(WEXITSTATUS(status), 0);
}

TEST(DebuggerTest, NotTracedUnderTheTestRunner) {
  // The suite does not run under a tracer; strace or gdb would flip this.
  std::string status = testing::ReadFileBytes("/proc/self/status");
  bool traced = status.find("TracerPid:\t0\n") == std::string::npos;
  EXPECT_EQ(IsDebuggerAttached(), traced);
}

TEST(ProcessorTest, NameIsTidy) {
  std::string name = GetProcessorName();
  EXPECT_EQ(name.find("  "), std::string::npos);
  if (!name.empty()) {
    EXPECT_NE(name.front(), ' ');
    EXPECT_NE(name.back(), ' ');
    EXPECT_EQ(name.find('\t'), std::string::npos);
    EXPECT_EQ(name.find('\n'), std::string::npos);
  }
}

TEST(ProcessorTest, BrandTextIsTidied) {
  EXPECT_EQ(TidyBrandString("  Intel(R)  Xeon(R)   CPU\t E5-2680  @ 2.40GHz  \n"),
            "Intel(R) Xeon(R) CPU E5-2680 @ 2.40GHz");
  EXPECT_EQ(TidyBrandString(std::string_view("AMD EPYC\0  junk", 16)), "AMD EPYC");
  EXPECT_EQ(TidyBrandString("     "), "");
  EXPECT_EQ(TidyBrandString(""), "");
  EXPECT_EQ(TidyBrandString("A"), "A");
}

TEST(ProcessorTest, PhysicalMemoryMatchesProcMeminfo) {
  std::string meminfo = testing::ReadFileBytes("/proc/meminfo");
  unsigned long long kib = 0;
  ASSERT_EQ(std::sscanf(meminfo.c_str(), "MemTotal: %llu kB", &kib), 1);
  EXPECT_EQ(GetPhysicalMemoryMiB(), kib >> 10);
}

TEST(XorBufferTest, MasksEveryByteInPlace) {
  uint8_t data[] = {0x00, 0xFF, 0x5A, 0xA5, 0x12};
  XorBuffer(data, 0x5A, sizeof data);
  const uint8_t expected[] = {0x5A, 0xA5, 0x00, 0xFF, 0x48};
  EXPECT_EQ(std::memcmp(data, expected, sizeof data), 0);
  XorBuffer(data, 0x5A, 0);
  EXPECT_EQ(std::memcmp(data, expected, sizeof data), 0);
}

// The word-wise loop against a byte-at-a-time reference, for every length up
// to two rounds of 32 bytes and every start offset within a word; the bytes
// around the range stay as they were.
TEST(XorBufferTest, MatchesByteLoopAtEveryLengthAndAlignment) {
  constexpr size_t kGuard = 8;
  for (uint8_t mask : {uint8_t{0x00}, uint8_t{0x5A}, uint8_t{0xFF}, uint8_t{0x81}}) {
    for (size_t offset = 0; offset < 16; ++offset) {
      for (size_t length = 0; length <= 64; ++length) {
        uint8_t buffer[kGuard + 16 + 64 + kGuard];
        for (size_t i = 0; i < sizeof buffer; ++i) buffer[i] = static_cast<uint8_t>(i * 37 + 11);
        uint8_t expected[sizeof buffer];
        std::memcpy(expected, buffer, sizeof buffer);
        for (size_t i = 0; i < length; ++i) expected[kGuard + offset + i] ^= mask;

        XorBuffer(buffer + kGuard + offset, mask, length);
        ASSERT_EQ(std::memcmp(buffer, expected, sizeof buffer), 0)
            << "mask " << int{mask} << " offset " << offset << " length " << length;
      }
    }
  }
}

}  // namespace
}  // namespace zv
