#include "monitor/disk_monitor.h"

#include <cerrno>

#include "config/zv_sync_config.h"
#include "log/sync_log.h"

namespace zv {
namespace {

// The first character of a folder, as the messages print the drive letter.
char FirstChar(const std::string& path) { return path.empty() ? ' ' : path[0]; }

uint32_t ToMiB(uint64_t bytes) {
  uint64_t mib = bytes >> 20;
  return mib > UINT32_MAX ? UINT32_MAX : static_cast<uint32_t>(mib);
}

}  // namespace

DiskMonitor::DiskMonitor() : space_query_(&GetVolumeSpace) {}

DiskMonitor::~DiskMonitor() = default;

void DiskMonitor::SetSpaceQueryForTesting(SpaceQuery query) {
  space_query_ = query ? std::move(query) : SpaceQuery(&GetVolumeSpace);
}

bool DiskMonitor::GetDiskStatus(const std::string& folder, DiskStatus* status) const {
  VolumeSpace space;
  errno = 0;
  if (!space_query_(folder, &space)) {
    ZV_LOG_E("GetDiskFreeSpaceEx failed!errno=%u\n", static_cast<unsigned>(errno));
    return false;
  }
  status->available_mib = ToMiB(space.available_bytes);
  status->free_mib = ToMiB(space.free_bytes);
  status->total_mib = ToMiB(space.total_bytes);
  return true;
}

bool DiskMonitor::VerifyFreeSpaceBySize(uint32_t threshold_mib, bool* mysql_disk_ok,
                                        bool* file_disk_ok) const {
  ZVSyncConfig& config = ZVSyncConfig::Instance();
  DiskStatus status;
  const std::string data_path = config.GetMysqlDataPath();
  if (!GetDiskStatus(data_path, &status)) {
    ZV_LOG_E("GetDiskStatus for %s failed!\n", data_path.c_str());
    return false;
  }
  *mysql_disk_ok = status.available_mib >= threshold_mib;
  ZV_LOG_R("Mysql disk(%c) avaliable:%uGB free:%uGB total:%uGB", FirstChar(data_path),
           status.available_mib >> 10, status.free_mib >> 10, status.total_mib >> 10);

  const std::string attachment_path = config.GetAttachmentPath();
  if (!GetDiskStatus(attachment_path, &status)) {
    ZV_LOG_E("GetDiskStatus for %s failed!\n", attachment_path.c_str());
    return false;
  }
  *file_disk_ok = status.available_mib >= threshold_mib;
  ZV_LOG_R("File disk(%c) avaliable:%uGB free:%uGB total:%uGB", FirstChar(attachment_path),
           status.available_mib >> 10, status.free_mib >> 10, status.total_mib >> 10);
  return true;
}

bool DiskMonitor::VerifyFreeSpaceByPercent(uint32_t percent, bool* mysql_disk_ok,
                                           bool* file_disk_ok) const {
  ZVSyncConfig& config = ZVSyncConfig::Instance();
  // available * 100 / total, a zero total counting as 1 MiB. Computed in
  // 64 bits: in 32 bits the product wraps for volumes above 40 TiB.
  auto free_percent = [](const DiskStatus& status) {
    uint64_t total = status.total_mib == 0 ? 1 : status.total_mib;
    return static_cast<uint32_t>(uint64_t{status.available_mib} * 100u / total);
  };
  DiskStatus status;
  const std::string data_path = config.GetMysqlDataPath();
  if (!GetDiskStatus(data_path, &status)) {
    ZV_LOG_E("GetDiskStatus for %s failed!\n", data_path.c_str());
    return false;
  }
  uint32_t data_percent = free_percent(status);
  *mysql_disk_ok = percent < data_percent;
  ZV_LOG_D("Mysql disk(%c) has %u%% free space", FirstChar(data_path), data_percent);

  const std::string attachment_path = config.GetAttachmentPath();
  if (!GetDiskStatus(attachment_path, &status)) {
    ZV_LOG_E("GetDiskStatus for %s failed!\n", attachment_path.c_str());
    return false;
  }
  uint32_t file_percent = free_percent(status);
  *file_disk_ok = percent < file_percent;
  ZV_LOG_D("File disk(%c) has %u%% free space", FirstChar(attachment_path), file_percent);
  return true;
}

}  // namespace zv
