#include "monitor/disk_monitor.h"

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <exception>
#include <system_error>
#include <thread>

#include "config/zv_sync_config.h"
#include "crashdump/crash_filter.h"
#include "db/db_info.h"
#include "db/mysql_base.h"
#include "db/processing_lock.h"
#include "db/zv_db_manager.h"
#include "log/log_file.h"
#include "log/sync_log.h"
#include "monitor/retention.h"
#include "util/server_metrics.h"
#include "util/system_util.h"

namespace zv {
namespace {

// The first character of a folder, as the messages print the drive letter.
char FirstChar(const std::string& path) { return path.empty() ? ' ' : path[0]; }

uint32_t ToMiB(uint64_t bytes) {
  uint64_t mib = bytes >> 20;
  return mib > UINT32_MAX ? UINT32_MAX : static_cast<uint32_t>(mib);
}

}  // namespace

// One run of the monitor's thread with its own stop request, so that a
// thread still finishing its cycle after Stop keeps a valid one while a
// new run starts.
struct DiskMonitor::Run {
  Run(ProcessingLock* held_lock, StorageNames storage_names)
      : lock(held_lock), names(std::move(storage_names)) {}

  // Sets the stop request.
  void RequestStop() {
    {
      std::lock_guard<std::mutex> guard(mu);
      stop = true;
    }
    changed.notify_all();
  }
  // Whether the stop request came within timeout.
  bool WaitForStop(std::chrono::milliseconds timeout) {
    std::unique_lock<std::mutex> guard(mu);
    return changed.wait_for(guard, timeout, [this] { return stop; });
  }
  // Whether the thread reached its end within timeout.
  bool WaitForEnd(std::chrono::milliseconds timeout) {
    std::unique_lock<std::mutex> guard(mu);
    return changed.wait_for(guard, timeout, [this] { return ended; });
  }
  void MarkEnded() {
    {
      std::lock_guard<std::mutex> guard(mu);
      ended = true;
    }
    changed.notify_all();
  }

  ProcessingLock* const lock;
  const StorageNames names;
  std::thread thread;

  std::mutex mu;
  std::condition_variable changed;
  bool stop = false;   // guarded by mu
  bool ended = false;  // guarded by mu
};

DiskMonitor::DiskMonitor() : space_query_(&GetVolumeSpace) {}

DiskMonitor::~DiskMonitor() { Join(); }

bool DiskMonitor::Start(ProcessingLock* lock, StorageNames names) {
  if (lock == nullptr) throw 0;
  std::lock_guard<std::mutex> guard(mu_);
  if (run_) throw 0;
  // Threads that finished the cycle they were left in are joined now.
  for (auto it = ending_.begin(); it != ending_.end();) {
    if ((*it)->WaitForEnd(std::chrono::milliseconds(0))) {
      (*it)->thread.join();
      it = ending_.erase(it);
    } else {
      ++it;
    }
  }
  if (!names) names = [] { return std::set<std::string>(); };
  auto run = std::make_unique<Run>(lock, std::move(names));
  try {
    run->thread = std::thread(&DiskMonitor::ThreadMain, this, run.get());
  } catch (const std::system_error& error) {
    ZV_LOG_E("Create disk monitor thread failed!errno=%u\n",
             static_cast<unsigned>(error.code().value()));
    return false;
  }
  run_ = std::move(run);
  return true;
}

void DiskMonitor::RequestStop() {
  std::lock_guard<std::mutex> guard(mu_);
  if (run_) run_->RequestStop();
}

void DiskMonitor::Stop() {
  std::lock_guard<std::mutex> guard(mu_);
  if (!run_) return;
  run_->RequestStop();
  if (run_->WaitForEnd(std::chrono::milliseconds(kStopWaitMs))) {
    run_->thread.join();
  } else {
    ZV_LOG_W("Disk monitor thread is running, ignored!\n");
    ending_.push_back(std::move(run_));
  }
  run_.reset();
}

void DiskMonitor::Join() {
  std::lock_guard<std::mutex> guard(mu_);
  if (run_) ending_.push_back(std::move(run_));
  for (const std::unique_ptr<Run>& run : ending_) run->RequestStop();
  for (const std::unique_ptr<Run>& run : ending_) run->thread.join();
  ending_.clear();
}

void DiskMonitor::ThreadMain(Run* run) {
  (void)SetThreadDebugName(GetCurrentThreadId32(), "DiskMonitorThread");
  (void)AddCrashStackToThisThread();
  ZV_OPLOG(kEventInfo, kModuleDisk, "磁盘预警启动成功!");
  ZV_LOG_I("Disk Monitor Started!\n");

  GetElapsedTicks();
  if (ZVDBManager::TestConnection()) {
    DBInfo& info = DBInfo::Instance();
    for (const std::string& name : run->names()) {
      if (IsRetainedStorage(name)) (void)info.CleanOldTables(name);
    }
  } else {
    ZV_LOG_E("Can't connect to mysql!\n");
  }
  ZV_LOG_D("CleanOldTables elasped %ums!\n", GetElapsedTicks());

  const uint32_t seconds = ZVSyncConfig::Instance().GetDiskSpaceCheckInterval();
  uint64_t interval_ms = uint64_t{seconds} * 1000u;
  if (interval_ms < 5000) {
    ZV_LOG_W("Invalid check interval %us,use default value %us!\n", seconds,
             kDefaultIntervalSeconds);
    interval_ms = uint64_t{kDefaultIntervalSeconds} * 1000u;
  }

  Retention retention(*this, run->names);
  for (;;) {
    ZV_LOG_I("Disk Monitor Check Started!\n");
    // The stop request is looked at before every try and once more when
    // the lock was got: at shut-down the stopping sessions give the lock
    // back after the stop was asked for, and the monitor must not start a
    // check then.
    bool stopped = false;
    const auto wait_started = std::chrono::steady_clock::now();
    for (;;) {
      const bool acquired = run->lock->Acquire(kLockTryMs, "Disk monitor is running!");
      if (run->WaitForStop(std::chrono::milliseconds(0))) {
        if (acquired) run->lock->Release();
        ZV_LOG_W("Receive stop event while waiting io lock!\n");
        ZV_OPLOG(kEventInfo, kModuleDisk, "磁盘预警已停止!");
        stopped = true;
        break;
      }
      if (acquired) break;
    }
    if (stopped) break;
    ServerMetrics::Instance().lock_wait[ServerMetrics::kDiskMonitorWaiter]->Observe(
        std::chrono::duration<double>(std::chrono::steady_clock::now() - wait_started).count());
    ZV_LOG_I("Disk monitor lock acquired!\n");
    CheckCycle(&retention, run->names);
    run->lock->Release();
    ZV_LOG_I("Disk Monitor Check Finished!\n");
    if (run->WaitForStop(std::chrono::milliseconds(interval_ms))) break;
  }

  ZV_OPLOG(kEventInfo, kModuleDisk, "磁盘预警已停止!");
  EndDatabaseThread();
  run->MarkEnded();
}

void DiskMonitor::CheckCycle(Retention* retention, const StorageNames& names) {
  // The files may have changed since the last cycle; a file that cannot be
  // read is reported by the load itself.
  ZVSyncConfig& config = ZVSyncConfig::Instance();
  (void)config.LoadDbConfig();
  (void)config.LoadToolsConfig();
  (void)config.LoadMysqlPath();

  if (!ZVDBManager::TestConnection()) {
    ZV_LOG_E("Connect to mysql failed!Skip checking!\n");
    ZV_OPLOG(kEventError, kModuleDisk, "无法连接至MYSQL数据库,请检查数据库是否出现异常!");
    return;
  }

  try {
    retention->CheckDeleteAttach("");
    // First of all: whatever the journal still holds, also from a run that
    // was cut short.
    retention->ProcessPendingDeletes();
    GetElapsedTicks();
    retention->CheckLog();
    ZV_LOG_D("CheckLog elasped %ums!\n", GetElapsedTicks());
    retention->CheckDisk();
    ZV_LOG_D("CheckDisk elasped %ums!\n", GetElapsedTicks());
    retention->CheckMidTable();
    ZV_LOG_D("CheckMidTable elasped %ums!\n", GetElapsedTicks());
  } catch (const std::exception& error) {
    ZV_LOG_E("Disk monitor error:%s\n", error.what());
  }

  try {
    DBInfo& info = DBInfo::Instance();
    // Only the names retention would touch: never a server schema.
    std::set<std::string> databases;
    for (const std::string& name : names()) {
      if (IsRetainedStorage(name)) databases.insert(name);
    }
    ZV_OPLOG(kEventInfo, kModuleDisk, "正在统计附件文件信息!");
    GetElapsedTicks();
    for (const std::string& name : databases) {
      if (info.UpdateAttachInfo(name)) continue;
      ZV_OPLOG(kEventError, kModuleDisk, "统计数据库%s中附件大小信息失败,请检查数据库是否存在异常!",
               name.c_str());
    }
    ZV_LOG_D("UpdateAttachInfo elasped %ums!\n", GetElapsedTicks());
    ZV_OPLOG(kEventInfo, kModuleDisk, "正在统计数据表及日志文件信息!");
    for (const std::string& name : databases) {
      if (info.UpdateTableInfo(name)) continue;
      ZV_OPLOG(kEventError, kModuleDisk,
               "统计数据库%s中数据表及日志文件信息失败,请检查数据库是否存在异常!", name.c_str());
    }
    ZV_LOG_D("UpdateTableInfo elasped %ums!\n", GetElapsedTicks());
    ZV_OPLOG(kEventInfo, kModuleDisk, "数据库大小信息统计完成!");
  } catch (const std::exception& error) {
    ZV_LOG_E("Disk monitor error:%s\n", error.what());
  }
}

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
