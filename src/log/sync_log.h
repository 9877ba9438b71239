// ZVSyncLog: the process-wide English debug log, one file a day
// (home/debuglog/YYYYMMDDZV.log), seven days kept, a file over 4 MiB
// emptied. Lines: "hh:mm:ss module:line <L> {tid} message".
//
// Call it through the ZV_LOG_* macros: they test the level mask first, so a
// masked level costs one load and a bit test and its arguments are never
// evaluated. Any thread may write; lines never interleave.
#pragma once

#include <atomic>
#include <cstdint>
#include <ctime>
#include <functional>
#include <mutex>
#include <string>

namespace zv {

enum LogLevelBit : uint32_t {
  kLogCritical = 0x01,  // C
  kLogError = 0x02,     // E
  kLogWarning = 0x04,   // W
  kLogInfo = 0x08,      // I
  kLogDebug = 0x10,     // D
  kLogProgress = 0x20,  // R
};

// Role: the debug log of the whole process. Owner: nobody; the instance is
// created on first use and never destroyed. Threads: any; the mask is set
// once at start-up before other threads exist.
class ZVSyncLog {
 public:
  static ZVSyncLog& Instance();

  ZVSyncLog(const ZVSyncLog&) = delete;
  ZVSyncLog& operator=(const ZVSyncLog&) = delete;

  uint32_t GetLevel() const { return level_.load(std::memory_order_relaxed); }
  void SetLevel(uint32_t mask) { level_.store(mask, std::memory_order_relaxed); }

  // Writes one line; does not test the mask (the macros do).
  // REQUIRES: source_file and format not null (else throws 0).
  void Write(const char* source_file, unsigned line, uint32_t level_bit, const char* format, ...)
      __attribute__((format(printf, 5, 6)));

  // Lines of the calling thread are handed to a writer thread of their own
  // while on is set, so that this thread never waits for the disk (or for
  // a lock another thread holds) to log: the controller's loop, which must
  // answer every login within 500 ms, is such a thread. The line keeps its
  // place among the thread's own lines; its time is taken when written.
  static void DeferForThisThread(bool on);
  // Returns once every line handed over so far is written (or after
  // timeout_ms, when not negative; false then).
  bool Flush(int timeout_ms = -1);

  // For tests: the folder the files go to (default home + "/debuglog") and
  // the clock (null restores the system clock). Both close the open file.
  void SetDirectoryForTesting(const std::string& directory);
  void SetClockForTesting(std::function<time_t()> clock);

 private:
  ZVSyncLog();
  struct Impl;

  std::atomic<uint32_t> level_{0xFFFFFFFFu};
  Impl* const impl_;  // owned, never freed (see Instance())
};

}  // namespace zv

#define ZV_LOG_AT(bit, ...)                                                     \
  do {                                                                          \
    if (::zv::ZVSyncLog::Instance().GetLevel() & (bit))                         \
      ::zv::ZVSyncLog::Instance().Write(__FILE__, __LINE__, (bit), __VA_ARGS__); \
  } while (0)

#define ZV_LOG_C(...) ZV_LOG_AT(::zv::kLogCritical, __VA_ARGS__)
#define ZV_LOG_E(...) ZV_LOG_AT(::zv::kLogError, __VA_ARGS__)
#define ZV_LOG_W(...) ZV_LOG_AT(::zv::kLogWarning, __VA_ARGS__)
#define ZV_LOG_I(...) ZV_LOG_AT(::zv::kLogInfo, __VA_ARGS__)
#define ZV_LOG_D(...) ZV_LOG_AT(::zv::kLogDebug, __VA_ARGS__)
#define ZV_LOG_R(...) ZV_LOG_AT(::zv::kLogProgress, __VA_ARGS__)
