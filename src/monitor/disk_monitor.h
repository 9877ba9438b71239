// DiskMonitor: watches the free space of the two data disks, the one that
// holds the received log data (the MySQL data folder) and the one that
// holds the unpacked attachments. The controller owns it by value and asks
// it at every login and every announced file whether both disks still have
// room. The space queries read only configuration and the system, so any
// thread may call them.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "platform/file_system.h"

namespace zv {

// Free space of one volume in MiB (bytes >> 20).
struct DiskStatus {
  uint32_t available_mib = 0;  // available to this process
  uint32_t free_mib = 0;       // free in total
  uint32_t total_mib = 0;      // size of the volume
};

class DiskMonitor {
 public:
  // Answers the space of the volume that holds a path; false with errno on
  // failure. The default is GetVolumeSpace; tests put in a disk that fills up.
  using SpaceQuery = std::function<bool(const std::string& path, VolumeSpace* out)>;

  DiskMonitor();
  virtual ~DiskMonitor();
  DiskMonitor(const DiskMonitor&) = delete;
  DiskMonitor& operator=(const DiskMonitor&) = delete;

  // REQUIRES: called before any other thread uses the monitor. An empty
  // query restores the default.
  void SetSpaceQueryForTesting(SpaceQuery query);

  // Space of the volume holding folder. Writes
  // "GetDiskFreeSpaceEx failed!errno=%u\n" on failure.
  [[nodiscard]] bool GetDiskStatus(const std::string& folder, DiskStatus* status) const;

  // Whether each disk has at least threshold_mib available. False when a
  // query failed (the flags are then meaningless).
  [[nodiscard]] bool VerifyFreeSpaceBySize(uint32_t threshold_mib, bool* mysql_disk_ok,
                                           bool* file_disk_ok) const;
  // Whether each disk has strictly more than percent of its size available.
  [[nodiscard]] bool VerifyFreeSpaceByPercent(uint32_t percent, bool* mysql_disk_ok,
                                              bool* file_disk_ok) const;

 private:
  SpaceQuery space_query_;  // constant while other threads use the monitor
};

}  // namespace zv
