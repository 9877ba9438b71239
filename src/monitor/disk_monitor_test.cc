#include "monitor/disk_monitor.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <map>

#include "config/zv_sync_config.h"
#include "test_util.h"

namespace zv {
namespace {

class MonitorEnvironment : public ::testing::Environment {
 public:
  void SetUp() override {
    home_ = std::make_unique<::zv::testing::ScopedTempDir>();
    setenv("ZENTROVANE_HOME", home_->path().c_str(), 1);
    setenv("ZENTROVANE_REGISTRY", home_->Sub("config/registry.reg").c_str(), 1);
    setenv("ZENTROVANE_OBJECT_NAMESPACE", ::zv::testing::UniqueName("mon").c_str(), 1);
  }
  void TearDown() override { home_.reset(); }

 private:
  std::unique_ptr<::zv::testing::ScopedTempDir> home_;
};
const auto* const kEnvironment = ::testing::AddGlobalTestEnvironment(new MonitorEnvironment);

constexpr uint64_t kMiB = 1ull << 20;

// A fake volume table: every path answers the same disk unless listed.
class FakeDisks {
 public:
  void Set(uint64_t available_mib, uint64_t free_mib, uint64_t total_mib) {
    space_.available_bytes = available_mib * kMiB;
    space_.free_bytes = free_mib * kMiB;
    space_.total_bytes = total_mib * kMiB;
  }
  void Fail(bool fail) { fail_ = fail; }

  DiskMonitor::SpaceQuery Query() {
    return [this](const std::string& path, VolumeSpace* out) {
      paths_.push_back(path);
      if (fail_) {
        errno = EIO;
        return false;
      }
      *out = space_;
      return true;
    };
  }
  const std::vector<std::string>& paths() const { return paths_; }

 private:
  VolumeSpace space_;
  bool fail_ = false;
  std::vector<std::string> paths_;
};

TEST(DiskMonitorTest, DiskStatusIsInMebibytesRoundedDown) {
  DiskMonitor monitor;
  monitor.SetSpaceQueryForTesting([](const std::string&, VolumeSpace* out) {
    out->available_bytes = 3 * kMiB - 1;
    out->free_bytes = 5 * kMiB;
    out->total_bytes = (1ull << 40) + kMiB / 2;
    return true;
  });
  DiskStatus status;
  ASSERT_TRUE(monitor.GetDiskStatus("/anything", &status));
  EXPECT_EQ(status.available_mib, 2u);
  EXPECT_EQ(status.free_mib, 5u);
  EXPECT_EQ(status.total_mib, 1u << 20);
}

TEST(DiskMonitorTest, RealVolumeAnswers) {
  DiskMonitor monitor;
  DiskStatus status;
  ASSERT_TRUE(monitor.GetDiskStatus("/", &status));
  EXPECT_GT(status.total_mib, 0u);
  EXPECT_LE(status.available_mib, status.free_mib);
  EXPECT_LE(status.free_mib, status.total_mib);
}

TEST(DiskMonitorTest, FailedQueryFails) {
  FakeDisks disks;
  disks.Fail(true);
  DiskMonitor monitor;
  monitor.SetSpaceQueryForTesting(disks.Query());
  DiskStatus status;
  EXPECT_FALSE(monitor.GetDiskStatus("/x", &status));
  bool mysql_ok = true, file_ok = true;
  EXPECT_FALSE(monitor.VerifyFreeSpaceBySize(0, &mysql_ok, &file_ok));
  EXPECT_FALSE(monitor.VerifyFreeSpaceByPercent(0, &mysql_ok, &file_ok));
}

TEST(DiskMonitorTest, BySizeComparesAvailableNotFreeSpace) {
  FakeDisks disks;
  disks.Set(/*available=*/5120, /*free=*/9000, /*total=*/10000);
  DiskMonitor monitor;
  monitor.SetSpaceQueryForTesting(disks.Query());
  bool mysql_ok = false, file_ok = false;
  ASSERT_TRUE(monitor.VerifyFreeSpaceBySize(5120, &mysql_ok, &file_ok));
  EXPECT_TRUE(mysql_ok);
  EXPECT_TRUE(file_ok);
  ASSERT_TRUE(monitor.VerifyFreeSpaceBySize(5121, &mysql_ok, &file_ok));
  EXPECT_FALSE(mysql_ok);
  EXPECT_FALSE(file_ok);
  // Both disks asked: the data folder first, then the attachment folder.
  ZVSyncConfig& config = ZVSyncConfig::Instance();
  ASSERT_EQ(disks.paths().size(), 4u);
  EXPECT_EQ(disks.paths()[0], config.GetMysqlDataPath());
  EXPECT_EQ(disks.paths()[1], config.GetAttachmentPath());
}

TEST(DiskMonitorTest, ByPercentIsStrictAndUsesAvailableSpace) {
  FakeDisks disks;
  disks.Set(/*available=*/2000, /*free=*/5000, /*total=*/10000);  // 20 % available
  DiskMonitor monitor;
  monitor.SetSpaceQueryForTesting(disks.Query());
  bool mysql_ok = false, file_ok = false;
  ASSERT_TRUE(monitor.VerifyFreeSpaceByPercent(19, &mysql_ok, &file_ok));
  EXPECT_TRUE(mysql_ok);
  EXPECT_TRUE(file_ok);
  ASSERT_TRUE(monitor.VerifyFreeSpaceByPercent(20, &mysql_ok, &file_ok));
  EXPECT_FALSE(mysql_ok);
  EXPECT_FALSE(file_ok);
}

TEST(DiskMonitorTest, ZeroTotalCountsAsOneMebibyte) {
  FakeDisks disks;
  disks.Set(/*available=*/0, /*free=*/0, /*total=*/0);
  DiskMonitor monitor;
  monitor.SetSpaceQueryForTesting(disks.Query());
  bool mysql_ok = true, file_ok = true;
  ASSERT_TRUE(monitor.VerifyFreeSpaceByPercent(0, &mysql_ok, &file_ok));
  EXPECT_FALSE(mysql_ok);  // 0 % free is not more than 0 %
  disks.Set(/*available=*/1, /*free=*/1, /*total=*/0);
  ASSERT_TRUE(monitor.VerifyFreeSpaceByPercent(99, &mysql_ok, &file_ok));
  EXPECT_TRUE(mysql_ok);  // 1 MiB of "1 MiB" is 100 %
}

TEST(DiskMonitorTest, PercentOfAHugeVolumeDoesNotWrap) {
  FakeDisks disks;
  // 60 TiB available of 100 TiB: 60 %. In 32-bit arithmetic the product
  // available * 100 would wrap and report about 19 %.
  disks.Set(60ull << 20, 60ull << 20, 100ull << 20);
  DiskMonitor monitor;
  monitor.SetSpaceQueryForTesting(disks.Query());
  bool mysql_ok = false, file_ok = false;
  ASSERT_TRUE(monitor.VerifyFreeSpaceByPercent(59, &mysql_ok, &file_ok));
  EXPECT_TRUE(mysql_ok);
  ASSERT_TRUE(monitor.VerifyFreeSpaceByPercent(60, &mysql_ok, &file_ok));
  EXPECT_FALSE(mysql_ok);
}

TEST(DiskMonitorTest, EmptyQueryRestoresTheRealVolume) {
  DiskMonitor monitor;
  monitor.SetSpaceQueryForTesting([](const std::string&, VolumeSpace*) { return false; });
  monitor.SetSpaceQueryForTesting(DiskMonitor::SpaceQuery());
  DiskStatus status;
  EXPECT_TRUE(monitor.GetDiskStatus("/", &status));
}

}  // namespace
}  // namespace zv
