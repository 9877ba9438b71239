// Test support shared by the data-file tests: a data file of a test kind,
// deterministic file content and a fixture with a fresh position file.
// Test-only; include it from test sources alone.
#pragma once

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/types.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "datafiles/sync_data_file.h"
#include "datafiles/sync_position.h"
#include "records/account_file.h"
#include "records/test_home.h"
#include "test_util.h"
#include "util/crc.h"
#include "util/file_util.h"

namespace zv::data_file_testing {

inline constexpr uint32_t kMiB = 1024 * 1024;
inline constexpr const char* kName = "20101216_1530_00A1B2C3_A.dat";

// A data file of a test kind stored in D/S/testfiles, with a clock the test
// moves (left alone it stays at 1000, so only the 10 MiB rule flushes) and
// a record of every position update made through the object.
class TestDataFile final : public SyncDataFile {
 public:
  struct Update {
    uint32_t offset, crc;
    bool full;
  };

  explicit TestDataFile(CZvAccountFile* position) : SyncDataFile(position) {}

  std::string GetFilePath(const std::string& name) override {
    const std::string storage = StorageFolder();
    return storage.empty() ? storage : storage + "/testfiles/" + name;
  }
  bool ProcessFile() override {
    unsigned n = 0;
    while (KeepGoing(++n)) {
    }
    processed_waits = n;
    return true;
  }
  bool UpdateSyncPosition(bool full) override {
    updates.push_back({offset(), running_crc(), full});
    return SyncDataFile::UpdateSyncPosition(full);
  }
  uint32_t Now() const override { return clock; }

  uint32_t clock = 1000;
  unsigned processed_waits = 0;
  std::vector<Update> updates;
};

// Deterministic content: byte i of a file is a function of i.
inline std::string Content(uint32_t from, uint32_t length) {
  std::string bytes(length, '\0');
  for (uint32_t i = 0; i < length; ++i) {
    const uint32_t x = from + i;
    bytes[i] = static_cast<char>((x * 131u) ^ (x >> 8) ^ (x >> 17));
  }
  return bytes;
}

inline uint32_t CrcOf(std::string_view bytes) {
  return CCrc().Compute(bytes.data(), bytes.size());
}

inline FileAnnouncement Announce(const std::string& name, uint32_t size, uint32_t offset) {
  FileAnnouncement a;
  a.name = name;
  a.file_type = 0;
  a.size = size;
  a.offset = offset;
  return a;
}

// A fresh position file for account branch01 (storage shop1, device
// 00A1B2C3) in a temporary folder, and an empty shop1 data folder.
class DataFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(CreateDirectoryTree(dir_.Sub("syncpos")));
    ASSERT_TRUE(DeletePath(::zv::testing::TestDataDirectory() + "/shop1"));
    SyncAccountRecord account{};
    std::strcpy(account.userName, "branch01");
    std::strcpy(account.storageName, "shop1");
    account.deviceId = 0x00A1B2C3;
    for (int i = 0; i < kUsedLogSlots; ++i) {
      std::snprintf(account.logSlots[i].name, sizeof account.logSlots[i].name,
                    "20101216_0000_00000000_%s.dat", kLogSlotKinds[i]);
    }
    ASSERT_TRUE(LoadSyncPosition(&position_, PositionPath(), account));
  }

  std::string PositionPath() const { return dir_.Sub("syncpos/branch01-00a1b2c3.dat"); }
  std::string DataPath(const std::string& name = kName) const {
    return ::zv::testing::TestDataDirectory() + "/shop1/testfiles/" + name;
  }
  // The records of the position file as it is on disk now.
  std::vector<SyncAccountRecord> RecordsOnDisk() const {
    CZvAccountFile file;
    file.SetPath(PositionPath());
    file.Load();
    return file.Records();
  }
  // A slot of the first record on disk (an empty slot when there is none).
  LogTableSlot SlotOnDisk(int index = 0) const {
    const std::vector<SyncAccountRecord> records = RecordsOnDisk();
    return records.empty() ? LogTableSlot{} : records[0].logSlots[index];
  }
  static off_t FileSize(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0 ? st.st_size : -1;
  }

  ::zv::testing::ScopedTempDir dir_;
  CZvAccountFile position_;
};

}  // namespace zv::data_file_testing
