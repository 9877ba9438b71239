// Blocks handed to the writer thread of a data file (WriteAsync): the file
// on disk, the running CRC and the position records must come out as with
// blocks written on the session's thread, also when the copy or a flush
// fails.
#include <gtest/gtest.h>
#include <signal.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <thread>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "datafiles/data_file_test_util.h"
#include "datafiles/sync_data_file.h"
#include "datafiles/sync_position.h"
#include "records/test_home.h"
#include "test_util.h"
#include "util/crc.h"
#include "util/file_util.h"

namespace zv {
namespace {

using namespace ::zv::data_file_testing;  // the shared data-file test helpers
using ::zv::testing::DebugLogWatch;
using ::zv::testing::ReadFileBytes;

const bool kHomeRegistered = ::zv::testing::RegisterTestHome();

// The clock of TestDataFile is never moved here: only the 10 MiB rule
// flushes.

// Where the file first differs from the expected bytes ("" when it does not).
std::string FirstDifference(const std::string& path, const std::string& expected) {
  const std::string actual = ReadFileBytes(path);
  if (actual == expected) return "";
  size_t i = 0;
  while (i < actual.size() && i < expected.size() && actual[i] == expected[i]) ++i;
  return "differs at byte " + std::to_string(i) + " (size " + std::to_string(actual.size()) + ")";
}

FileAnnouncement Announce(uint32_t size, uint32_t offset) {
  return ::zv::data_file_testing::Announce(kName, size, offset);
}

int FailingSync(int) {
  errno = EIO;
  return -1;
}

// Puts the real data sync back however the test ends.
struct RealSyncAtExit {
  ~RealSyncAtExit() { SyncDataFile::SetDataSyncForTesting(nullptr); }
};

class SyncDataFileAsyncTest : public DataFileTest {
 protected:
  // Runs body in a child process whose files cannot grow past max_file_bytes
  // (a full disk, for the writes of that process alone); body returns what
  // went wrong, empty when nothing did.
  std::string InChildWithFileLimit(rlim_t max_file_bytes,
                                   const std::function<std::string()>& body) {
    int fds[2];
    if (pipe(fds) != 0) return "no pipe";
    const pid_t child = fork();
    if (child == 0) {
      close(fds[0]);
      signal(SIGXFSZ, SIG_IGN);
      struct rlimit limit = {max_file_bytes, max_file_bytes};
      setrlimit(RLIMIT_FSIZE, &limit);
      std::string result;
      try {
        result = body();
      } catch (...) {
        result = "exception";
      }
      (void)!write(fds[1], result.data(), result.size());
      _exit(0);
    }
    close(fds[1]);
    std::string result;
    char buffer[512];
    for (ssize_t n; (n = read(fds[0], buffer, sizeof buffer)) > 0;) result.append(buffer, n);
    close(fds[0]);
    int status = 0;
    if (child < 0 || waitpid(child, &status, 0) != child || !WIFEXITED(status)) {
      return "child failed: " + result;
    }
    return result;
  }
};

// As a session does it: two receive buffers, the one that is free refilled
// while the other is being copied; every fifth block is written on the
// session's thread. The odd block size puts the 10 MiB flushes inside
// blocks, and the file ends with a short block.
TEST_F(SyncDataFileAsyncTest, AlternatingBuffersAndMixedWritesGiveTheSourceBytes) {
  constexpr uint32_t kBlock = 700000;
  constexpr uint32_t kSize = 31 * kMiB + 12345;
  const std::string source = Content(0, kSize);
  TestDataFile file(&position_);
  ASSERT_TRUE(file.OpenForTransfer(Announce(kSize, 0)));
  std::string buffers[2];
  std::vector<std::pair<uint32_t, uint32_t>> crc_at;  // block end, CRC of the bytes before it
  uint32_t crc = 0;
  int turn = 0;
  for (uint32_t at = 0; at < kSize; at += kBlock, turn ^= 1) {
    const uint32_t n = std::min(kBlock, kSize - at);
    buffers[turn].assign(source, at, n);
    if (at / kBlock % 5 == 4) {
      ASSERT_TRUE(file.Write(buffers[turn].data(), n, at)) << at;
      buffers[turn].assign(n, '\xEE');  // a plain Write is done with it
    } else {
      ASSERT_TRUE(file.WriteAsync(buffers[turn].data(), n, at)) << at;
    }
    // The caller thread counts the block at once.
    ASSERT_EQ(file.offset(), at + n);
    crc = CCrc().Update(crc, source.data() + at, n);
    crc_at.emplace_back(at + n, crc);
    // The other buffer is free now: spoil it, as the next receive would.
    buffers[turn ^ 1].assign(kBlock, '\xEE');
  }
  EXPECT_TRUE(file.IsComplete());
  EXPECT_FALSE(file.is_open());
  EXPECT_EQ(file.running_crc(), CrcOf(source));
  EXPECT_TRUE(file.VerifyCrc(CrcOf(source)));
  EXPECT_EQ(FirstDifference(DataPath(), source), "");
  EXPECT_GE(file.flush_count(), 4u);  // three periodic flushes and the last byte

  // Every progress record names a block end with the CRC of exactly the
  // bytes before it, about every 10 MiB; the last one is the slot on disk.
  uint32_t last = 0;
  int periodic = 0;
  for (const TestDataFile::Update& u : file.updates) {
    if (u.full) continue;
    ++periodic;
    auto it =
        std::find_if(crc_at.begin(), crc_at.end(), [&](auto& e) { return e.first == u.offset; });
    ASSERT_NE(it, crc_at.end()) << u.offset;
    EXPECT_EQ(u.crc, it->second) << u.offset;
    EXPECT_GE(u.offset - last, SyncDataFile::kFlushBytes);
    EXPECT_LT(u.offset - last, SyncDataFile::kFlushBytes + kBlock);
    last = u.offset;
  }
  EXPECT_EQ(periodic, 3);
  EXPECT_GT(last, kSize - SyncDataFile::kFlushBytes);
  const LogTableSlot slot = SlotOnDisk();
  EXPECT_EQ(slot.storedBytes, last);
  EXPECT_EQ(slot.announcedSize, kSize);
}

// A wrong offered offset and a block past the announced size are refused by
// the call itself, and change neither the offset, the CRC nor the file.
TEST_F(SyncDataFileAsyncTest, OffsetAndSizeChecksRefuseAtOnce) {
  const std::string data = Content(0, 4000);
  TestDataFile file(&position_);
  ASSERT_TRUE(file.OpenForTransfer(Announce(3000, 0)));
  ASSERT_TRUE(file.WriteAsync(data.data(), 1000, 0));
  const uint32_t crc = CrcOf(std::string_view(data).substr(0, 1000));
  DebugLogWatch log;
  EXPECT_FALSE(file.WriteAsync(data.data() + 1000, 500, 1500));
  EXPECT_TRUE(log.Saw("File offset unmatched!current:1000 offered:1500")) << log.NewText();
  EXPECT_FALSE(file.WriteAsync(data.data() + 1000, 2500, 1000));
  EXPECT_TRUE(log.Saw("File offset overflowed!offset=3500,size=3000")) << log.NewText();
  EXPECT_FALSE(file.WriteAsync(data.data() + 1000, 2500, SyncDataFile::kUncheckedOffset));
  EXPECT_EQ(file.offset(), 1000u);
  EXPECT_EQ(file.running_crc(), crc);
  ASSERT_TRUE(file.FinishPendingWrite());
  EXPECT_EQ(ReadFileBytes(DataPath()), data.substr(0, 1000));
  // The rest still fits.
  ASSERT_TRUE(file.WriteAsync(data.data() + 1000, 2000, 1000));
  EXPECT_TRUE(file.IsComplete());
  EXPECT_EQ(ReadFileBytes(DataPath()), data.substr(0, 3000));
}

// A refused call is one of the calls after which the caller may reuse the
// buffer of the block still being copied, so it must not return before that
// copy is done. (A large block and a change at its very end make an early
// return show in the file.)
TEST_F(SyncDataFileAsyncTest, RefusedBlockLeavesTheCallerBufferFree) {
  constexpr uint32_t kBlock = 9 * kMiB;
  const std::string source = Content(0, kBlock);
  for (const uint32_t offered : {uint32_t{5}, SyncDataFile::kUncheckedOffset}) {
    TestDataFile file(&position_);
    ASSERT_TRUE(file.OpenForTransfer(Announce(kBlock + 10, 0)));
    std::string buffer = source;
    ASSERT_TRUE(file.WriteAsync(buffer.data(), kBlock, 0));
    EXPECT_TRUE(file.HasPendingWrite());
    // A wrong offset, or (unchecked) a block past the announced size.
    EXPECT_FALSE(file.WriteAsync(buffer.data(), 11, offered));
    EXPECT_FALSE(file.HasPendingWrite());
    buffer[kBlock - 1] ^= 0x5A;
    ASSERT_TRUE(file.FinishPendingWrite());
    EXPECT_EQ(file.running_crc(), CrcOf(source));
    EXPECT_EQ(FirstDifference(DataPath(), source), "") << "offered " << offered;
  }
}

// A copy that fails (the file size limit stands in for a full disk) is
// reported by the next call that looks at the file (by the call itself when
// the block is the last one); the offset and CRC fall back to before the
// failed block and the slot names only the bytes before it.
TEST_F(SyncDataFileAsyncTest, FailedCopyIsReportedAndNothingOfTheBlockCounts) {
  const std::string data = Content(0, 12000);
  const uint32_t crc6000 = CrcOf(std::string_view(data).substr(0, 6000));
  struct Case {
    const char* reporter;
    uint32_t size;
    std::function<bool(TestDataFile&)> report;  // null: the destructor
  };
  const Case cases[] = {
      {"next WriteAsync", 12000,
       [&](TestDataFile& f) { return f.WriteAsync(data.data() + 9000, 3000, 9000); }},
      {"FinishPendingWrite", 12000, [](TestDataFile& f) { return f.FinishPendingWrite(); }},
      {"PollPendingWrite once the copy is done", 12000,
       [](TestDataFile& f) {
         while (f.HasPendingWrite()) {
           if (!f.PollPendingWrite()) return false;
           std::this_thread::yield();
         }
         return true;
       }},
      {"Flush", 12000, [](TestDataFile& f) { return f.Flush(); }},
      {"destructor", 12000, nullptr},
      {"the last block itself", 9000, nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.reporter);
    ASSERT_TRUE(DeletePath(DataPath()));
    const std::string problem = InChildWithFileLimit(8000, [&]() -> std::string {
      TestDataFile file(&position_);
      if (!file.OpenForTransfer(Announce(c.size, 0))) return "open failed";
      if (!file.WriteAsync(data.data(), 3000, 0) ||
          !file.WriteAsync(data.data() + 3000, 3000, 3000)) {
        return "first blocks refused";
      }
      // The copy of this block fails past 8000 bytes.
      const bool accepted = file.WriteAsync(data.data() + 6000, 3000, 6000);
      if (c.size == 9000) {
        if (accepted || file.IsComplete()) return "the failed last block completed the file";
      } else {
        if (!accepted || file.offset() != 9000) return "block not taken at once";
        if (!c.report) return "";  // the destructor waits and records
        if (c.report(file)) return "the failed copy was not reported";
      }
      if (file.offset() != 6000) return "offset " + std::to_string(file.offset());
      if (file.running_crc() != crc6000) return "CRC not that of 6000 bytes";
      if (position_.Records()[0].logSlots[0].storedBytes != 6000) return "slot in memory";
      if (file.WriteAsync(data.data() + 9000, 3000, 9000))
        return "block after the failed one accepted";
      if (!file.FinishPendingWrite()) return "a write outstanding after the report";
      return "";
    });
    EXPECT_EQ(problem, "");
    const LogTableSlot slot = SlotOnDisk();
    EXPECT_EQ(slot.storedBytes, 6000u);
    EXPECT_EQ(slot.runningCrc, crc6000);
    EXPECT_LE(FileSize(DataPath()), 8000);
    EXPECT_EQ(ReadFileBytes(DataPath()).substr(0, 6000), data.substr(0, 6000));
  }
}

// A poll takes a finished copy's result without waiting: the CRC then
// counts the block and the caller's buffer is free.
TEST_F(SyncDataFileAsyncTest, PollTakesAFinishedCopyWithoutWaiting) {
  const std::string data = Content(0, 3 * kMiB);
  TestDataFile file(&position_);
  ASSERT_TRUE(file.OpenForTransfer(Announce(4 * kMiB, 0)));
  ASSERT_TRUE(file.WriteAsync(data.data(), 3 * kMiB, 0));
  EXPECT_TRUE(file.HasPendingWrite());
  while (file.HasPendingWrite()) {
    ASSERT_TRUE(file.PollPendingWrite());
    std::this_thread::yield();
  }
  EXPECT_EQ(file.running_crc(), CrcOf(data));
  EXPECT_TRUE(file.PollPendingWrite());  // nothing outstanding
  EXPECT_EQ(file.offset(), 3 * kMiB);
}

// Destroying the object while a block is being copied waits for the copy and
// records all of it; the next connection resumes there.
TEST_F(SyncDataFileAsyncTest, DestructorWaitsForTheOutstandingCopyAndRecordsIt) {
  constexpr uint32_t kSize = 20 * kMiB, kWritten = 9 * kMiB + 99;
  const std::string source = Content(0, kSize);
  {
    TestDataFile file(&position_);
    ASSERT_TRUE(file.OpenForTransfer(Announce(kSize, 0)));
    ASSERT_TRUE(file.WriteAsync(source.data(), 3 * kMiB, 0));
    ASSERT_TRUE(file.WriteAsync(source.data() + 3 * kMiB, kWritten - 3 * kMiB, 3 * kMiB));
    EXPECT_EQ(SlotOnDisk().storedBytes, 0u);
  }
  const uint32_t crc = CrcOf(std::string_view(source).substr(0, kWritten));
  const LogTableSlot slot = SlotOnDisk();
  EXPECT_EQ(slot.storedBytes, kWritten);
  EXPECT_EQ(slot.runningCrc, crc);
  EXPECT_EQ(FirstDifference(DataPath(), source.substr(0, kWritten)), "");

  TestDataFile again(&position_);
  ASSERT_TRUE(again.OpenForTransfer(Announce(kSize, kWritten)));
  EXPECT_EQ(again.running_crc(), crc);
  ASSERT_TRUE(again.WriteAsync(source.data() + kWritten, 5 * kMiB, kWritten));
  const uint32_t at = kWritten + 5 * kMiB;
  ASSERT_TRUE(again.WriteAsync(source.data() + at, kSize - at, at));
  EXPECT_TRUE(again.IsComplete());
  EXPECT_TRUE(again.VerifyCrc(CrcOf(source)));
  EXPECT_EQ(FirstDifference(DataPath(), source), "");
}

// A data sync that fails in the periodic flush after asynchronous blocks is
// reported by a later call, at the latest when the flush after next is due
// (it waits for the failed one; the next one only polls it, and its helper
// may not have run yet on a busy machine), and nothing is recorded as on
// disk afterwards, also when later syncs succeed.
TEST_F(SyncDataFileAsyncTest, FailedSyncAfterAsyncBlocksEndsTheTransfer) {
  RealSyncAtExit restore;
  const std::string block = Content(0, kMiB);
  {
    TestDataFile file(&position_);
    ASSERT_TRUE(file.OpenForTransfer(Announce(40 * kMiB, 0)));
    SyncDataFile::SetDataSyncForTesting(&FailingSync);
    uint32_t at = 0;
    DebugLogWatch log;
    for (; at < 35 * kMiB; at += kMiB) {
      if (!file.WriteAsync(block.data(), kMiB, at)) break;
    }
    EXPECT_GE(at, 10 * kMiB);  // the first flush starts at 10 MiB
    EXPECT_LE(at, 29 * kMiB);  // the third one waits for the first
    EXPECT_TRUE(log.Saw("Write file failed during _FlushFileBuffers()!")) << log.NewText();
    SyncDataFile::SetDataSyncForTesting(nullptr);
    EXPECT_FALSE(file.WriteAsync(block.data(), kMiB, SyncDataFile::kUncheckedOffset));
    EXPECT_FALSE(file.Flush());
    EXPECT_FALSE(file.FinishPendingFlush());
    EXPECT_EQ(file.flush_count(), 0u);
  }
  EXPECT_EQ(SlotOnDisk().storedBytes, 0u);
  EXPECT_EQ(position_.Records()[0].logSlots[0].storedBytes, 0u);
}

// Data syncs where the first one waits until a second one has begun (3 s
// at most; g_overlapped tells whether it came) and then fails when
// g_fail_first_sync is set; later ones are immediate.
std::atomic<int> g_sync_calls{0};
std::atomic<bool> g_fail_first_sync{false};
std::atomic<bool> g_overlapped{false};
int SlowFirstSync(int fd) {
  if (g_sync_calls.fetch_add(1) == 0) {
    const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(3);
    while (g_sync_calls.load() < 2 && std::chrono::steady_clock::now() < give_up) {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    g_overlapped = g_sync_calls.load() >= 2;
    if (g_fail_first_sync.load()) {
      errno = EIO;
      return -1;
    }
  }
  return fdatasync(fd);
}

// While the flush at 10 MiB still syncs, the one at 20 MiB starts; its
// save must not overtake the older one, or the position file would end at
// the older offset.
TEST_F(SyncDataFileAsyncTest, ANewerFlushSavesOnlyAfterTheOlderOne) {
  RealSyncAtExit restore;
  g_sync_calls = 0;
  g_overlapped = false;
  g_fail_first_sync = false;
  SyncDataFile::SetDataSyncForTesting(&SlowFirstSync);
  const std::string block = Content(0, kMiB);
  TestDataFile file(&position_);
  ASSERT_TRUE(file.OpenForTransfer(Announce(40 * kMiB, 0)));
  for (uint32_t at = 0; at < 21 * kMiB; at += kMiB) {
    ASSERT_TRUE(file.WriteAsync(block.data(), kMiB, at)) << at;
  }
  ASSERT_TRUE(file.FinishPendingFlush());
  EXPECT_TRUE(g_overlapped.load());  // the second sync began during the first
  EXPECT_EQ(file.flush_count(), 2u);
  EXPECT_EQ(SlotOnDisk().storedBytes, 20 * kMiB);
  EXPECT_EQ(position_.Records()[0].logSlots[0].storedBytes, 20 * kMiB);
}

// A sync that fails while a newer flush is already under way fails the
// newer one too, although its own sync reported success: nothing after the
// lost write is ever recorded as on disk.
TEST_F(SyncDataFileAsyncTest, AFailedOlderSyncFailsTheNewerFlush) {
  RealSyncAtExit restore;
  g_sync_calls = 0;
  g_overlapped = false;
  g_fail_first_sync = true;
  SyncDataFile::SetDataSyncForTesting(&SlowFirstSync);
  const std::string block = Content(0, kMiB);
  {
    TestDataFile file(&position_);
    ASSERT_TRUE(file.OpenForTransfer(Announce(40 * kMiB, 0)));
    uint32_t at = 0;
    for (; at < 21 * kMiB; at += kMiB) {
      if (!file.WriteAsync(block.data(), kMiB, at)) break;
    }
    // Not known before the second flush has started (its block is the one
    // to 20 MiB), which the failing sync waits for; the next write may
    // already find it, as the write polls the older flush.
    ASSERT_GE(at, 20 * kMiB);
    EXPECT_FALSE(file.FinishPendingFlush());
    EXPECT_TRUE(g_overlapped.load());
    EXPECT_FALSE(file.WriteAsync(block.data(), kMiB, at));
    EXPECT_EQ(file.flush_count(), 0u);
  }
  EXPECT_EQ(SlotOnDisk().storedBytes, 0u);
  EXPECT_EQ(position_.Records()[0].logSlots[0].storedBytes, 0u);
}

// Pages of the file that the page cache holds, among [from, from + length).
size_t CachedPages(const std::string& path, uint64_t from, uint64_t length) {
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return SIZE_MAX;
  void* map = mmap(nullptr, length, PROT_READ, MAP_SHARED, fd, static_cast<off_t>(from));
  close(fd);
  if (map == MAP_FAILED) return SIZE_MAX;
  const long page = sysconf(_SC_PAGESIZE);
  std::vector<unsigned char> resident((length + page - 1) / page);
  size_t cached = SIZE_MAX;
  if (mincore(map, length, resident.data()) == 0) {
    cached = static_cast<size_t>(std::count_if(resident.begin(), resident.end(),
                                               [](unsigned char r) { return (r & 1) != 0; }));
  }
  munmap(map, length);
  return cached;
}

// Bytes on disk leave the page cache at each flush (their processing reads
// them once, much later); bytes not yet flushed stay where they were put.
TEST_F(SyncDataFileAsyncTest, FlushedBytesLeaveThePageCache) {
  constexpr uint32_t kBlock = kMiB;
  constexpr uint32_t kSize = 16 * kMiB;
  const std::string source = Content(0, kSize);
  TestDataFile file(&position_);
  ASSERT_TRUE(file.OpenForTransfer(Announce(kSize, 0)));
  for (uint32_t at = 0; at < 12 * kMiB; at += kBlock) {
    ASSERT_TRUE(file.WriteAsync(source.data() + at, kBlock, at));
  }
  ASSERT_TRUE(file.FinishPendingFlush());  // the flush at 10 MiB is done
  const size_t pages_per_mib = kMiB / static_cast<size_t>(sysconf(_SC_PAGESIZE));
  EXPECT_EQ(CachedPages(DataPath(), 0, 10 * kMiB), 0u);
  EXPECT_EQ(CachedPages(DataPath(), 10 * kMiB, 2 * kMiB), 2 * pages_per_mib);
  for (uint32_t at = 12 * kMiB; at < kSize; at += kBlock) {
    ASSERT_TRUE(file.WriteAsync(source.data() + at, kBlock, at));
  }
  ASSERT_TRUE(file.IsComplete());
  EXPECT_EQ(CachedPages(DataPath(), 0, kSize), 0u);
  EXPECT_EQ(FirstDifference(DataPath(), source), "");
}

}  // namespace
}  // namespace zv
