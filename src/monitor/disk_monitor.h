// DiskMonitor: keeps the two data disks from filling up, the one that
// holds the received log data (the MySQL data folder) and the one that
// holds the unpacked attachments, and keeps the size statistics current.
//
// The controller owns it by value, asks it at every login and every
// announced file whether both disks still have room, starts its thread as
// the last step of start-up and stops it at shut-down. The thread runs one
// check cycle at once and then one every DiskSpaceCheckInterval seconds:
// under the processing lock it finishes the deletions the journal holds,
// applies the retention policies (retention.h) and refreshes TableInfo and
// AttachInfo of every client. While it waits for the lock it still notices
// a stop request within one 200 ms try.
//
// Threads: the space queries read only configuration and the system, so
// any thread may call them. Start, RequestStop, Stop and Join may be called
// from any thread and are serialised by the monitor's own mutex.
//
// The rule of its lifetime: a thread the monitor started never outlives
// it. Stop stops waiting after 500 ms, and a cycle in progress is finished
// first, so a thread may still run after Stop; the destructor (or Join)
// waits for it.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "platform/file_system.h"

namespace zv {

// Free space of one volume in MiB (bytes >> 20).
struct DiskStatus {
  uint32_t available_mib = 0;  // available to this process
  uint32_t free_mib = 0;       // free in total
  uint32_t total_mib = 0;      // size of the volume
};

class ProcessingLock;
class Retention;

class DiskMonitor {
 public:
  // Answers the space of the volume that holds a path; false with errno on
  // failure. The default is GetVolumeSpace; tests put in a disk that fills up.
  using SpaceQuery = std::function<bool(const std::string& path, VolumeSpace* out)>;
  // The storage names of all accounts ("all databases"); called on the
  // monitor's thread.
  using StorageNames = std::function<std::set<std::string>()>;

  // How long Stop waits for the thread, and how long one try for the
  // processing lock lasts.
  static constexpr uint32_t kStopWaitMs = 500;
  static constexpr uint32_t kLockTryMs = 200;
  // The check interval used when the configured one is below 5 s.
  static constexpr uint32_t kDefaultIntervalSeconds = 14400;

  DiskMonitor();
  // Waits for every thread the monitor started (Join).
  virtual ~DiskMonitor();
  DiskMonitor(const DiskMonitor&) = delete;
  DiskMonitor& operator=(const DiskMonitor&) = delete;

  // REQUIRES: called before any other thread uses the monitor. An empty
  // query restores the default.
  void SetSpaceQueryForTesting(SpaceQuery query);

  // Starts the thread. lock and names must stay usable until Join (or the
  // destructor) has returned. Starting while a thread runs throws 0, as
  // does a null lock. False (after "Create disk monitor thread failed!")
  // when no thread can be made.
  [[nodiscard]] bool Start(ProcessingLock* lock, StorageNames names);
  // Asks the thread to end without waiting: it ends at its next look at
  // the stop request (while it tries for the lock, or after its cycle).
  void RequestStop();
  // Asks the thread to end and waits up to 500 ms; a thread still running
  // a cycle then is left to finish it ("Disk monitor thread is running,
  // ignored!") and Start may be called again.
  void Stop();
  // Asks every thread the monitor started to end and waits for them.
  void Join();

  // Space of the volume holding folder. Writes
  // "GetDiskFreeSpaceEx failed!errno=%u\n" on failure.
  [[nodiscard]] bool GetDiskStatus(const std::string& folder, DiskStatus* status) const;
  // Space of the volume holding folder in bytes, writing nothing on
  // failure: the status view and the metrics ask again and again.
  [[nodiscard]] bool QuerySpace(const std::string& folder, VolumeSpace* space) const {
    return space_query_(folder, space);
  }

  // Whether each disk has at least threshold_mib available. False when a
  // query failed (the flags are then meaningless).
  [[nodiscard]] bool VerifyFreeSpaceBySize(uint32_t threshold_mib, bool* mysql_disk_ok,
                                           bool* file_disk_ok) const;
  // Whether each disk has strictly more than percent of its size available.
  [[nodiscard]] bool VerifyFreeSpaceByPercent(uint32_t percent, bool* mysql_disk_ok,
                                              bool* file_disk_ok) const;

 private:
  struct Run;
  void ThreadMain(Run* run);
  // One cycle under the processing lock: configuration, retention,
  // statistics.
  void CheckCycle(Retention* retention, const StorageNames& names);

  SpaceQuery space_query_;  // constant while other threads use the monitor

  std::mutex mu_;                             // serialises Start, RequestStop, Stop and Join
  std::unique_ptr<Run> run_;                  // guarded by mu_
  std::vector<std::unique_ptr<Run>> ending_;  // stopped, maybe still in a cycle; guarded by mu_
};

}  // namespace zv
