#include "datafiles/sync_data_file.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "datafiles/data_file_test_util.h"
#include "datafiles/sync_position.h"
#include "records/test_home.h"
#include "test_util.h"
#include "util/crc.h"
#include "util/file_util.h"

namespace zv {
namespace {

using namespace ::zv::data_file_testing;  // the shared data-file test helpers
using ::zv::testing::DebugLogWatch;
using ::zv::testing::FileExists;
using ::zv::testing::ReadFileBytes;
using ::zv::testing::TestDataDirectory;
using ::zv::testing::WriteFileBytes;

const bool kHomeRegistered = ::zv::testing::RegisterTestHome();

class SyncDataFileTest : public DataFileTest {
 protected:
  LogTableSlot& Slot(int index = 0) { return position_.Records()[0].logSlots[index]; }
  // A slot as the position file on disk holds it now; the file holds
  // exactly the one record.
  LogTableSlot SlotOnDisk(int index = 0) const {
    EXPECT_EQ(RecordsOnDisk().size(), 1u);
    return DataFileTest::SlotOnDisk(index);
  }
  // Puts slot 0 on an unfinished file: name, stored, announced, CRC.
  void SetSlot(const char* name, uint32_t stored, uint32_t announced, uint32_t crc) {
    LogTableSlot& slot = Slot();
    std::memset(slot.name, 0, sizeof slot.name);
    std::strcpy(slot.name, name);
    slot.storedBytes = stored;
    slot.announcedSize = announced;
    slot.runningCrc = crc;
    ASSERT_EQ(position_.Save(), 0);
  }
};

TEST_F(SyncDataFileTest, AnnouncementIsReadFromTheWireLayout) {
  uint8_t wire[80] = {};
  std::memcpy(wire, kName, std::strlen(kName));
  const uint8_t tail[16] = {2, 0, 0, 0, 0x10, 0x27, 0, 0, 0xEE, 0xEE, 0xEE, 0xEE, 0, 0x10, 0, 0};
  std::memcpy(wire + 64, tail, sizeof tail);
  FileAnnouncement a = FileAnnouncement::FromBytes(wire);
  EXPECT_EQ(a.name, kName);
  EXPECT_EQ(a.file_type, 2u);
  EXPECT_EQ(a.size, 10000u);
  EXPECT_EQ(a.offset, 4096u);
  std::memset(wire, 'n', 64);
  EXPECT_EQ(FileAnnouncement::FromBytes(wire).name, std::string(63, 'n'));
}

TEST_F(SyncDataFileTest, FreshStartNamesTheSlotAndWritesTheWholeFile) {
  auto file = std::make_unique<TestDataFile>(&position_);
  ASSERT_TRUE(file->OpenForTransfer(Announce(kName, 1000, 0)));
  EXPECT_EQ(file->kind_index(), 0);
  EXPECT_EQ(file->full_path(), DataPath());
  LogTableSlot slot = SlotOnDisk();
  EXPECT_STREQ(slot.name, kName);
  EXPECT_EQ(slot.storedBytes, 0u);
  EXPECT_EQ(slot.announcedSize, 1000u);
  const std::string data = Content(0, 1000);
  ASSERT_TRUE(file->Write(data.data(), 600, 0));
  ASSERT_TRUE(file->Write(data.data() + 600, 400, SyncDataFile::kUncheckedOffset));
  EXPECT_TRUE(file->IsComplete());
  EXPECT_FALSE(file->is_open());
  EXPECT_EQ(file->running_crc(), CrcOf(data));
  EXPECT_TRUE(file->VerifyCrc(CrcOf(data)));
  EXPECT_EQ(ReadFileBytes(DataPath()), data);
  EXPECT_TRUE(file->Process([](unsigned n) { return n < 5; }));
  EXPECT_EQ(file->processed_waits, 5u);
}

TEST_F(SyncDataFileTest, ResumeAtTheStoredOffsetIsAccepted) {
  const std::string data = Content(0, 10000);
  SetSlot(kName, 4096, 10000, CrcOf(std::string_view(data).substr(0, 4096)));
  WriteFileBytes(DataPath(), data.substr(0, 4096) + std::string(6000 - 4096, 'z'));
  TestDataFile file(&position_);
  ASSERT_TRUE(file.OpenForTransfer(Announce(kName, 10000, 4096)));
  EXPECT_EQ(file.offset(), 4096u);
  EXPECT_TRUE(file.updates.empty());
  ASSERT_TRUE(file.Write(data.data() + 4096, 10000 - 4096, 4096));
  EXPECT_TRUE(file.IsComplete());
  EXPECT_TRUE(file.VerifyCrc(CrcOf(data)));
  EXPECT_EQ(ReadFileBytes(DataPath()), data);
}

TEST_F(SyncDataFileTest, ResumeWithAShorterFileResetsTheSlot) {
  SetSlot(kName, 4096, 10000, 0xABCDEF01);
  WriteFileBytes(DataPath(), std::string(3000, 'p'));
  DebugLogWatch log;
  TestDataFile file(&position_);
  EXPECT_FALSE(file.OpenForTransfer(Announce(kName, 10000, 4096)));
  EXPECT_TRUE(log.Saw("Table file is smaller than offered offset"));
  EXPECT_TRUE(log.Saw("CheckSyncPosition failed!"));
  LogTableSlot slot = SlotOnDisk();
  EXPECT_STREQ(slot.name, kName);
  EXPECT_EQ(slot.storedBytes, 0u);
  EXPECT_EQ(slot.announcedSize, 10000u);
  EXPECT_EQ(slot.runningCrc, 0u);
  EXPECT_FALSE(FileExists(DataPath()));  // the unfinished file is gone
  EXPECT_FALSE(file.is_open());
}

TEST_F(SyncDataFileTest, ResumeMismatchesAreEachRefused) {
  struct Case {
    uint32_t stored, announced;
    const char* slot_name;
    int file_size;  // -1: no file
    const char* message;
  } cases[] = {
      {4000, 10000, kName, 6000, "Table info unmatched!"},
      {4096, 9999, kName, 6000, "Table info unmatched!"},
      {4096, 10000, "20101216_1530_00A1B2C3_A2.dat", 6000, "Table info unmatched!"},
      {4096, 10000, kName, -1, "Table file doesn't exist!"},
      {4096, 10000, kName, 10001, "Table file is larger than offered filesize"},
  };
  for (const Case& c : cases) {
    SetSlot(c.slot_name, c.stored, c.announced, 1);
    ASSERT_TRUE(DeletePath(DataPath()));
    if (c.file_size >= 0) WriteFileBytes(DataPath(), std::string(c.file_size, 'q'));
    DebugLogWatch log;
    TestDataFile file(&position_);
    EXPECT_FALSE(file.OpenForTransfer(Announce(kName, 10000, 4096))) << c.message;
    EXPECT_TRUE(log.Saw(c.message)) << c.message;
    EXPECT_EQ(SlotOnDisk().storedBytes, 0u);
    EXPECT_STREQ(SlotOnDisk().name, kName);
  }
}

TEST_F(SyncDataFileTest, OffsetAtTheSizeIsRefusedWithTheSlotUnchanged) {
  SetSlot(kName, 4096, 10000, 0x11111111);
  WriteFileBytes(DataPath(), std::string(4096, 'p'));
  const std::string before = ReadFileBytes(PositionPath());
  TestDataFile file(&position_);
  EXPECT_FALSE(file.OpenForTransfer(Announce(kName, 10000, 10000)));
  EXPECT_FALSE(file.OpenForTransfer(Announce(kName, 10000, 20000)));
  EXPECT_EQ(ReadFileBytes(PositionPath()), before);
  EXPECT_EQ(Slot().storedBytes, 4096u);
  EXPECT_EQ(FileSize(DataPath()), 4096);
}

TEST_F(SyncDataFileTest, OffsetZeroDeletesTheUnfinishedFileOfTheSlot) {
  SetSlot(kName, 4096, 10000, 0x11111111);
  WriteFileBytes(DataPath(), std::string(4096, 'p'));
  // A second name for the partial file shows whether it was deleted (the
  // link keeps its bytes) or only truncated (the link would be empty).
  ASSERT_EQ(link(DataPath().c_str(), dir_.Sub("witness").c_str()), 0);
  TestDataFile file(&position_);
  ASSERT_TRUE(file.OpenForTransfer(Announce(kName, 10000, 0)));
  EXPECT_EQ(FileSize(dir_.Sub("witness")), 4096);
  EXPECT_EQ(FileSize(DataPath()), 0);
  LogTableSlot slot = SlotOnDisk();
  EXPECT_EQ(slot.storedBytes, 0u);
  EXPECT_EQ(slot.runningCrc, 0u);
  ASSERT_EQ(file.updates.size(), 1u);
  EXPECT_TRUE(file.updates[0].full);
}

TEST_F(SyncDataFileTest, OffsetMismatchWritesNothing) {
  TestDataFile file(&position_);
  ASSERT_TRUE(file.OpenForTransfer(Announce(kName, 1000, 0)));
  const std::string data = Content(0, 200);
  ASSERT_TRUE(file.Write(data.data(), 96, 0));
  DebugLogWatch log;
  EXPECT_FALSE(file.Write(data.data() + 96, 100, 100));
  EXPECT_TRUE(log.Saw("File offset unmatched!current:96 offered:100"));
  EXPECT_EQ(file.offset(), 96u);
  EXPECT_EQ(file.running_crc(), CrcOf(std::string_view(data).substr(0, 96)));
  EXPECT_EQ(ReadFileBytes(DataPath()), data.substr(0, 96));
}

TEST_F(SyncDataFileTest, BlockPastTheAnnouncedSizeFailsAndWritesNothing) {
  TestDataFile file(&position_);
  ASSERT_TRUE(file.OpenForTransfer(Announce(kName, 100, 0)));
  const std::string data = Content(0, 128);
  ASSERT_TRUE(file.Write(data.data(), 64, 0));
  DebugLogWatch log;
  EXPECT_FALSE(file.Write(data.data() + 64, 64, 64));
  EXPECT_TRUE(log.Saw("File offset overflowed!offset=128,size=100"));
  EXPECT_EQ(file.offset(), 64u);
  EXPECT_EQ(FileSize(DataPath()), 64);
  // The rest of the file still fits.
  ASSERT_TRUE(file.Write(data.data() + 64, 36, 64));
  EXPECT_TRUE(file.IsComplete());
}

TEST_F(SyncDataFileTest, OneMiBInSmallBlocksFlushesOnceAtTheEnd) {
  TestDataFile file(&position_);
  ASSERT_TRUE(file.OpenForTransfer(Announce(kName, kMiB, 0)));
  const std::string data = Content(0, kMiB);
  const std::string position_before = ReadFileBytes(PositionPath());
  for (uint32_t at = 0; at < kMiB; at += 64 * 1024) {
    ASSERT_TRUE(file.Write(data.data() + at, 64 * 1024, at));
    EXPECT_EQ(file.flush_count(), at + 64 * 1024 == kMiB ? 1u : 0u);
  }
  EXPECT_TRUE(file.IsComplete());
  EXPECT_FALSE(file.is_open());
  EXPECT_EQ(file.updates.size(), 1u);  // only the fresh start at open
  EXPECT_EQ(ReadFileBytes(PositionPath()), position_before);
  EXPECT_EQ(ReadFileBytes(DataPath()), data);
}

TEST_F(SyncDataFileTest, LargeFileRecordsProgressEveryTenMiB) {
  constexpr uint32_t kSize = 35 * kMiB;
  TestDataFile file(&position_);
  ASSERT_TRUE(file.OpenForTransfer(Announce(kName, kSize, 0)));
  file.updates.clear();
  uint32_t crc = 0;
  CCrc reference;
  for (uint32_t at = 0; at < kSize; at += kMiB) {
    const std::string block = Content(at, kMiB);
    crc = reference.Update(crc, block.data(), block.size());
    ASSERT_TRUE(file.Write(block.data(), kMiB, at));
    const uint32_t written = at + kMiB;
    if (written % (10 * kMiB) == 0) {
      ASSERT_TRUE(file.FinishPendingFlush());
      ASSERT_FALSE(file.updates.empty());
      EXPECT_EQ(file.updates.back().offset, written);
      EXPECT_EQ(file.updates.back().crc, crc);
      const LogTableSlot slot = SlotOnDisk();
      EXPECT_EQ(slot.storedBytes, written);
      EXPECT_EQ(slot.runningCrc, crc);
      EXPECT_EQ(slot.announcedSize, kSize);
    }
  }
  ASSERT_EQ(file.updates.size(), 3u);
  EXPECT_EQ(file.updates[0].offset, 10 * kMiB);
  EXPECT_EQ(file.updates[1].offset, 20 * kMiB);
  EXPECT_EQ(file.updates[2].offset, 30 * kMiB);
  EXPECT_FALSE(file.updates[0].full);
  EXPECT_EQ(file.flush_count(), 4u);
  EXPECT_TRUE(file.IsComplete());
  EXPECT_TRUE(file.VerifyCrc(crc));
  EXPECT_EQ(FileSize(DataPath()), static_cast<off_t>(kSize));
}

TEST_F(SyncDataFileTest, FiveSecondsAfterTheLastFlushTheNextBlockFlushes) {
  TestDataFile file(&position_);
  ASSERT_TRUE(file.OpenForTransfer(Announce(kName, kMiB, 0)));
  file.updates.clear();
  const std::string data = Content(0, 4000);
  file.clock = 0xFFFFF000;  // the tick count wraps in between
  ASSERT_TRUE(file.Write(data.data(), 1000, 0));
  file.clock += 4999;
  ASSERT_TRUE(file.Write(data.data() + 1000, 1000, 1000));
  EXPECT_EQ(file.flush_count(), 0u);
  EXPECT_TRUE(file.updates.empty());
  file.clock += 1;
  ASSERT_TRUE(file.Write(data.data() + 2000, 1000, 2000));
  ASSERT_TRUE(file.FinishPendingFlush());
  EXPECT_EQ(file.flush_count(), 1u);
  ASSERT_EQ(file.updates.size(), 1u);
  EXPECT_EQ(SlotOnDisk().storedBytes, 3000u);
  EXPECT_EQ(SlotOnDisk().runningCrc, CrcOf(std::string_view(data).substr(0, 3000)));
  // The interval counts again from that flush.
  file.clock += 4999;
  ASSERT_TRUE(file.Write(data.data() + 3000, 1000, 3000));
  EXPECT_EQ(file.flush_count(), 1u);
}

TEST_F(SyncDataFileTest, DestroyingTheObjectRecordsUnflushedBlocks) {
  const std::string data = Content(0, 3000);
  {
    TestDataFile file(&position_);
    ASSERT_TRUE(file.OpenForTransfer(Announce(kName, kMiB, 0)));
    for (uint32_t at = 0; at < 3000; at += 1000)
      ASSERT_TRUE(file.Write(data.data() + at, 1000, at));
    EXPECT_EQ(file.flush_count(), 0u);
    EXPECT_EQ(SlotOnDisk().storedBytes, 0u);
  }
  const LogTableSlot slot = SlotOnDisk();
  EXPECT_EQ(slot.storedBytes, 3000u);
  EXPECT_EQ(slot.runningCrc, CrcOf(data));
  EXPECT_EQ(ReadFileBytes(DataPath()), data);

  // The next connection resumes from there.
  TestDataFile again(&position_);
  ASSERT_TRUE(again.OpenForTransfer(Announce(kName, kMiB, 3000)));
  EXPECT_EQ(again.running_crc(), CrcOf(data));
}

// The flush helper's data sync, held at a gate the test opens: shows what
// the session does while the disk has not confirmed the bytes yet.
class SyncGate {
 public:
  SyncGate() {
    instance_ = this;
    SyncDataFile::SetDataSyncForTesting(&SyncGate::Sync);
  }
  ~SyncGate() {
    Open();
    SyncDataFile::SetDataSyncForTesting(nullptr);
    instance_ = nullptr;
  }
  void Open() {
    std::lock_guard<std::mutex> lock(mu_);
    open_ = true;
    cv_.notify_all();
  }
  // Waits until n syncs have started; false after a minute (a failure, not
  // a hang).
  bool AwaitStarted(int n) {
    std::unique_lock<std::mutex> lock(mu_);
    return cv_.wait_for(lock, std::chrono::minutes(1), [&] { return started_ >= n; });
  }
  int started() {
    std::lock_guard<std::mutex> lock(mu_);
    return started_;
  }
  int most_at_once() {
    std::lock_guard<std::mutex> lock(mu_);
    return most_at_once_;
  }
  bool timed_out() {
    std::lock_guard<std::mutex> lock(mu_);
    return timed_out_;
  }

 private:
  static int Sync(int fd) {
    SyncGate* gate = instance_;
    {
      std::unique_lock<std::mutex> lock(gate->mu_);
      ++gate->started_;
      gate->most_at_once_ = std::max(gate->most_at_once_, ++gate->active_);
      gate->cv_.notify_all();
      if (!gate->cv_.wait_for(lock, std::chrono::minutes(1), [&] { return gate->open_; })) {
        gate->timed_out_ = true;
      }
      --gate->active_;
    }
    return fdatasync(fd);
  }

  static inline SyncGate* instance_ = nullptr;
  std::mutex mu_;
  std::condition_variable cv_;
  bool open_ = false;
  int started_ = 0, active_ = 0, most_at_once_ = 0;
  bool timed_out_ = false;
};

// The 10 MiB flush runs beside the session: blocks keep being written while
// the disk has not confirmed the earlier ones, and the position names them
// only once it has, with the CRC of exactly those bytes.
TEST_F(SyncDataFileTest, PeriodicFlushRunsBesideTheSessionAndSavesOnlySyncedBytes) {
  constexpr uint32_t kSize = 25 * kMiB;
  TestDataFile file(&position_);
  ASSERT_TRUE(file.OpenForTransfer(Announce(kName, kSize, 0)));
  SyncGate gate;
  uint32_t crc_at_ten = 0, crc = 0;
  CCrc reference;
  for (uint32_t at = 0; at < 15 * kMiB; at += kMiB) {
    const std::string block = Content(at, kMiB);
    crc = reference.Update(crc, block.data(), block.size());
    if (at + kMiB == 10 * kMiB) crc_at_ten = crc;
    ASSERT_TRUE(file.Write(block.data(), kMiB, at));  // never waits for the gate
  }
  ASSERT_TRUE(gate.AwaitStarted(1));
  EXPECT_EQ(SlotOnDisk().storedBytes, 0u);  // the sync has not finished yet
  EXPECT_EQ(file.flush_count(), 0u);

  gate.Open();
  ASSERT_TRUE(file.FinishPendingFlush());
  LogTableSlot slot = SlotOnDisk();
  EXPECT_EQ(slot.storedBytes, 10 * kMiB);
  EXPECT_EQ(slot.runningCrc, crc_at_ten);
  EXPECT_EQ(Slot().storedBytes, 10 * kMiB);  // the record in memory agrees
  EXPECT_EQ(file.flush_count(), 1u);

  for (uint32_t at = 15 * kMiB; at < kSize; at += kMiB) {
    const std::string block = Content(at, kMiB);
    crc = reference.Update(crc, block.data(), block.size());
    ASSERT_TRUE(file.Write(block.data(), kMiB, at));
  }
  EXPECT_TRUE(file.IsComplete());
  EXPECT_EQ(gate.started(), 3);  // at 10 and 20 MiB, and the last byte
  EXPECT_EQ(gate.most_at_once(), 1);
  EXPECT_FALSE(gate.timed_out());
  EXPECT_EQ(SlotOnDisk().storedBytes, 20 * kMiB);
  EXPECT_TRUE(file.VerifyCrc(crc));
}

// The next 10 MiB waits for the last flush, so syncs and saves of one file
// never overlap, and the slot on disk only ever grows.
TEST_F(SyncDataFileTest, OnePeriodicFlushAtATime) {
  constexpr uint32_t kSize = 45 * kMiB;
  TestDataFile file(&position_);
  ASSERT_TRUE(file.OpenForTransfer(Announce(kName, kSize, 0)));
  SyncGate gate;
  std::thread writer([&] {
    for (uint32_t at = 0; at < kSize; at += kMiB) {
      const std::string block = Content(at, kMiB);
      if (!file.Write(block.data(), kMiB, at)) return;
    }
  });
  const bool started = gate.AwaitStarted(1);
  gate.Open();
  writer.join();
  ASSERT_TRUE(started);
  EXPECT_TRUE(file.IsComplete());
  EXPECT_EQ(gate.started(), 5);
  EXPECT_EQ(gate.most_at_once(), 1);
  EXPECT_EQ(file.flush_count(), 5u);
  EXPECT_EQ(SlotOnDisk().storedBytes, 40 * kMiB);
}

int FailingSync(int) {
  errno = EIO;
  return -1;
}

// A sync that fails is reported at the next wait; nothing written after it
// is ever recorded as on disk, also when a later sync claims success (the
// kernel reports a lost write only once).
TEST_F(SyncDataFileTest, FailedPeriodicFlushEndsTheTransferAndRecordsNothingMore) {
  const std::string block = Content(0, kMiB);
  {
    TestDataFile file(&position_);
    ASSERT_TRUE(file.OpenForTransfer(Announce(kName, 30 * kMiB, 0)));
    SyncDataFile::SetDataSyncForTesting(&FailingSync);
    for (uint32_t at = 0; at < 10 * kMiB; at += kMiB) {
      ASSERT_TRUE(file.Write(block.data(), kMiB, at));
    }
    DebugLogWatch log;
    EXPECT_FALSE(file.FinishPendingFlush());
    EXPECT_TRUE(log.Saw("Write file failed during _FlushFileBuffers()!")) << log.NewText();
    SyncDataFile::SetDataSyncForTesting(nullptr);
    EXPECT_FALSE(file.Write(block.data(), kMiB, 10 * kMiB));
    EXPECT_FALSE(file.Flush());
    EXPECT_EQ(file.flush_count(), 0u);
  }
  const LogTableSlot slot = SlotOnDisk();
  EXPECT_STREQ(slot.name, kName);
  EXPECT_EQ(slot.storedBytes, 0u);
  EXPECT_EQ(Slot().storedBytes, 0u);
}

// A position save that fails is reported as before, at the next wait.
TEST_F(SyncDataFileTest, FailedPositionSaveOfAPeriodicFlushIsReported) {
  TestDataFile file(&position_);
  ASSERT_TRUE(file.OpenForTransfer(Announce(kName, 30 * kMiB, 0)));
  // A folder where the temporary file must go: the save cannot create it.
  ASSERT_TRUE(DeletePath(dir_.Sub("syncpos/branch01-00a1b2c3.tem")));
  ASSERT_TRUE(CreateDirectoryTree(dir_.Sub("syncpos/branch01-00a1b2c3.tem")));
  const std::string block = Content(0, kMiB);
  for (uint32_t at = 0; at < 10 * kMiB; at += kMiB) {
    ASSERT_TRUE(file.Write(block.data(), kMiB, at));
  }
  DebugLogWatch log;
  EXPECT_FALSE(file.FinishPendingFlush());
  EXPECT_TRUE(log.Saw("Save sync position failed!")) << log.NewText();
  EXPECT_TRUE(log.Saw("UpdateSyncPosition failed!")) << log.NewText();
  EXPECT_EQ(SlotOnDisk().storedBytes, 0u);
  ASSERT_TRUE(DeletePath(dir_.Sub("syncpos/branch01-00a1b2c3.tem")));
}

// Destroying the object while a flush is outstanding waits for it and then
// records every byte written.
TEST_F(SyncDataFileTest, DestroyingTheObjectDuringAFlushRecordsAllBytes) {
  const uint32_t kWritten = 10 * kMiB + 3000;
  const std::string data = Content(0, kWritten);
  {
    TestDataFile file(&position_);
    ASSERT_TRUE(file.OpenForTransfer(Announce(kName, 20 * kMiB, 0)));
    for (uint32_t at = 0; at < 10 * kMiB; at += kMiB) {
      ASSERT_TRUE(file.Write(data.data() + at, kMiB, at));
    }
    ASSERT_TRUE(file.Write(data.data() + 10 * kMiB, 3000, 10 * kMiB));
  }
  const LogTableSlot slot = SlotOnDisk();
  EXPECT_EQ(slot.storedBytes, kWritten);
  EXPECT_EQ(slot.runningCrc, CrcOf(data));
  EXPECT_EQ(ReadFileBytes(DataPath()), data);
}

TEST_F(SyncDataFileTest, WrongCrcDeletesTheFileAndResetsTheSlot) {
  TestDataFile file(&position_);
  ASSERT_TRUE(file.OpenForTransfer(Announce(kName, 100, 0)));
  const std::string data = Content(0, 100);
  ASSERT_TRUE(file.Write(data.data(), 100, 0));
  ASSERT_TRUE(file.IsComplete());
  DebugLogWatch log;
  const uint32_t wrong = CrcOf(data) ^ 1;
  EXPECT_FALSE(file.VerifyCrc(wrong));
  char line[96];
  std::snprintf(line, sizeof line, "Crc of %s unmatched supplied:%08X current:%08X", kName, wrong,
                CrcOf(data));
  EXPECT_TRUE(log.Saw(line)) << log.NewText();
  EXPECT_FALSE(FileExists(DataPath()));
  const LogTableSlot slot = SlotOnDisk();
  EXPECT_STREQ(slot.name, kName);
  EXPECT_EQ(slot.storedBytes, 0u);
  EXPECT_EQ(slot.runningCrc, 0u);
  EXPECT_EQ(slot.announcedSize, 100u);
  EXPECT_EQ(file.offset(), 0u);
}

TEST_F(SyncDataFileTest, HostileNamesAreRefusedBeforeAnyFileIsTouched) {
  const std::string position_before = ReadFileBytes(PositionPath());
  const std::string prefix = "20101216_1530_00A1B2C3_";
  const std::string names[] = {
      "../" + std::string(kName), prefix + "A.dat/../../escape",
      prefix + "A\\..\\x.dat",    "..",
      prefix + "A\".dat",         prefix + "A'.dat",
      prefix + "A\x01.dat",       prefix + "A\n.dat",
      prefix + "A*.dat",          prefix + "A-B.dat",
      prefix + "A;drop.dat",      prefix + "A B.dat",
      prefix + "A..dat",          "",
  };
  for (const std::string& name : names) {
    DebugLogWatch log;
    TestDataFile file(&position_);
    EXPECT_FALSE(file.OpenForTransfer(Announce(name, 1000, 0))) << PrintableName(name);
    EXPECT_TRUE(log.Saw("Refused unsafe file name")) << PrintableName(name);
    EXPECT_FALSE(file.is_open());
  }
  std::vector<std::string> files;
  ListFiles(TestDataDirectory() + "/shop1/testfiles", "*", &files, false);
  EXPECT_TRUE(files.empty());
  EXPECT_FALSE(FileExists(TestDataDirectory() + "/escape"));
  EXPECT_EQ(ReadFileBytes(PositionPath()), position_before);
}

TEST_F(SyncDataFileTest, UnknownKindAndUnparsableNameAreRefused) {
  for (const char* name : {"20101216_1530_00A1B2C3_Z.dat", "20101216_1530_A.dat"}) {
    DebugLogWatch log;
    TestDataFile file(&position_);
    EXPECT_FALSE(file.OpenForTransfer(Announce(name, 1000, 0)));
    EXPECT_TRUE(log.Saw(std::string("Unknown table ") + name + "!"));
    EXPECT_FALSE(FileExists(DataPath(name)));
  }
}

TEST_F(SyncDataFileTest, UnsafeStorageNameGivesNoPath) {
  std::strcpy(position_.Records()[0].storageName, "../elsewhere");
  DebugLogWatch log;
  TestDataFile file(&position_);
  EXPECT_FALSE(file.OpenForTransfer(Announce(kName, 1000, 0)));
  EXPECT_TRUE(log.Saw("Refused unsafe storage name ../elsewhere!"));
  EXPECT_FALSE(FileExists(TestDataDirectory() + "/../elsewhere"));
}

TEST_F(SyncDataFileTest, BlocksAfterTheEndAreRefused) {
  TestDataFile file(&position_);
  ASSERT_TRUE(file.OpenForTransfer(Announce(kName, 10, 0)));
  const std::string data = Content(0, 20);
  ASSERT_TRUE(file.Write(data.data(), 10, 0));
  ASSERT_TRUE(file.IsComplete());
  DebugLogWatch log;
  EXPECT_FALSE(file.Write(data.data() + 10, 10, 10));
  EXPECT_TRUE(log.Saw("is already complete!"));
  EXPECT_TRUE(file.Write(data.data(), 0, SyncDataFile::kUncheckedOffset));
  EXPECT_EQ(ReadFileBytes(DataPath()), data.substr(0, 10));
  // After a CRC mismatch the object takes no more data either.
  EXPECT_FALSE(file.VerifyCrc(0));
  EXPECT_FALSE(file.Write(data.data(), 10, SyncDataFile::kUncheckedOffset));
  EXPECT_FALSE(FileExists(DataPath()));
}

// A write that cannot complete (the file size limit stands in for a full
// disk) fails; the position keeps the bytes stored before that block.
TEST_F(SyncDataFileTest, FailedWriteRecordsOnlyTheEarlierBytes) {
  const std::string data = Content(0, 9000);
  pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    signal(SIGXFSZ, SIG_IGN);
    struct rlimit limit = {8000, 8000};
    setrlimit(RLIMIT_FSIZE, &limit);
    TestDataFile file(&position_);
    if (!file.OpenForTransfer(Announce(kName, 9000, 0))) _exit(2);
    if (!file.Write(data.data(), 6000, 0)) _exit(3);
    if (file.Write(data.data() + 6000, 3000, 6000)) _exit(4);
    if (file.offset() != 6000) _exit(5);
    _exit(file.updates.size() == 2 ? 0 : 6);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
  const LogTableSlot slot = SlotOnDisk();
  EXPECT_EQ(slot.storedBytes, 6000u);
  EXPECT_EQ(slot.runningCrc, CrcOf(std::string_view(data).substr(0, 6000)));
  EXPECT_EQ(ReadFileBytes(DataPath()).substr(0, 6000), data.substr(0, 6000));
}

TEST_F(SyncDataFileTest, WriteOnAClosedFileIsACallerError) {
  TestDataFile file(&position_);
  char byte = 0;
  EXPECT_THROW((void)file.Write(&byte, 1, 0), int);
  EXPECT_THROW({ TestDataFile orphan(nullptr); }, int);
}

TEST_F(SyncDataFileTest, KeepGoingWithoutACallbackSaysStop) {
  TestDataFile file(&position_);
  EXPECT_FALSE(file.KeepGoing(1));
  EXPECT_TRUE(file.Process(nullptr));
  EXPECT_EQ(file.processed_waits, 1u);
}

TEST_F(SyncDataFileTest, CreateFolderForAndDeleteDataFile) {
  TestDataFile file(&position_);
  DebugLogWatch log;
  EXPECT_FALSE(file.CreateFolderFor(""));
  EXPECT_TRUE(log.Saw("Path is empty!"));
  EXPECT_FALSE(file.CreateFolderFor(dir_.Sub("x/") + std::string(256, 'n')));
  EXPECT_TRUE(log.Saw("Split path failed!"));
  EXPECT_TRUE(file.CreateFolderFor(dir_.Sub("a/b//c.dat")));
  struct stat st;
  EXPECT_EQ(stat(dir_.Sub("a/b").c_str(), &st), 0);
  EXPECT_TRUE(S_ISDIR(st.st_mode));
  EXPECT_FALSE(FileExists(dir_.Sub("a/b/c.dat")));
  WriteFileBytes(dir_.Sub("blocker"), "file");
  EXPECT_FALSE(file.CreateFolderFor(dir_.Sub("blocker/sub/c.dat")));
  EXPECT_TRUE(log.Saw("CreateFolder " + dir_.Sub("blocker/sub") + " failed!errno="));

  EXPECT_TRUE(file.DeleteDataFile(""));
  EXPECT_TRUE(file.DeleteDataFile(dir_.Sub("missing.dat")));
  WriteFileBytes(dir_.Sub("a/keep1.dat"), "1");
  EXPECT_FALSE(file.DeleteDataFile(dir_.Sub("a/*.dat")));
  EXPECT_TRUE(FileExists(dir_.Sub("a/keep1.dat")));
  EXPECT_TRUE(file.DeleteDataFile(dir_.Sub("a/keep1.dat")));
  EXPECT_FALSE(FileExists(dir_.Sub("a/keep1.dat")));
}

}  // namespace
}  // namespace zv
