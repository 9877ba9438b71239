// The disk monitor's thread against the test database: the processing
// lock, the stop request, and a thread that outlives Stop.
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "config/zv_sync_config.h"
#include "db/db_test_util.h"
#include "db/processing_lock.h"
#include "monitor/disk_monitor.h"
#include "monitor/monitor_test_util.h"

namespace zv {
namespace {

using ::zv::testing::LogWatch;

const bool kHomeRegistered = ::zv::testing::RegisterDbTestHome();

constexpr auto kPatience = std::chrono::seconds(60);

// The processing lock as the controller keeps it, with counts the tests
// wait on. The test itself takes it with Hold, as a session would.
class CountingLock final : public ProcessingLock {
 public:
  bool Acquire(uint32_t timeout_ms, const std::string& activity) override {
    std::unique_lock<std::mutex> guard(mu_);
    ++attempts_;
    changed_.notify_all();
    if (!changed_.wait_for(guard, std::chrono::milliseconds(timeout_ms),
                           [this] { return !held_; })) {
      return false;
    }
    held_ = true;
    by_monitor_ = true;
    ++acquired_;
    activity_ = activity;
    changed_.notify_all();
    return true;
  }
  void Release() override {
    std::lock_guard<std::mutex> guard(mu_);
    held_ = false;
    by_monitor_ = false;
    ++released_;
    changed_.notify_all();
  }

  void Hold() {
    std::unique_lock<std::mutex> guard(mu_);
    changed_.wait(guard, [this] { return !held_; });
    held_ = true;
  }
  void Unhold() {
    std::lock_guard<std::mutex> guard(mu_);
    held_ = false;
    changed_.notify_all();
  }

  // Waits (bounded) until pred holds under the lock's mutex.
  template <typename Pred>
  bool WaitUntil(Pred pred) {
    std::unique_lock<std::mutex> guard(mu_);
    return changed_.wait_for(guard, kPatience, [&] { return pred(*this); });
  }

  bool HeldByMonitor() {
    std::lock_guard<std::mutex> guard(mu_);
    return by_monitor_;
  }

  int attempts_ = 0;
  int acquired_ = 0;
  int released_ = 0;
  std::string activity_;

 private:
  std::mutex mu_;
  std::condition_variable changed_;
  bool held_ = false;
  bool by_monitor_ = false;
};

class DiskMonitorThreadTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ZV_REQUIRE_DATABASE();
    env_ = std::make_unique<::zv::testing::RetentionEnvironment>();
    storage_ = env_->NewStorage();
    ASSERT_TRUE(ZVSyncConfig::Instance().store().WriteDword("DiskSpaceCheckInterval", 14400));
  }

  DiskMonitor::StorageNames Names() {
    return [this] { return std::set<std::string>{storage_}; };
  }

  std::unique_ptr<::zv::testing::RetentionEnvironment> env_;
  std::string storage_;
  CountingLock lock_;
};

TEST_F(DiskMonitorThreadTest, ACycleRunsUnderTheLockAndFinishesTheJournal) {
  ASSERT_TRUE(ZVSyncConfig::Instance().store().WriteDword("DiskSpaceCheckInterval", 4));
  env_->SeedDayFolders(storage_, "20101214");
  env_->SeedDayFolders(storage_, "20101215");
  ASSERT_TRUE(ZVSyncConfig::Instance().SetPendingDeleteDate("20101214 " + storage_ + " $ALL$;"));
  LogWatch log;
  {
    DiskMonitor monitor;
    ASSERT_TRUE(monitor.Start(&lock_, Names()));
    ASSERT_TRUE(lock_.WaitUntil([](CountingLock& l) { return l.released_ == 1; }));
    monitor.Stop();
  }
  EXPECT_EQ(lock_.acquired_, 1);
  EXPECT_EQ(lock_.activity_, "Disk monitor is running!");
  EXPECT_EQ(env_->LogTableDays(storage_), (std::vector<std::string>{"20101215"}));
  EXPECT_EQ(ZVSyncConfig::Instance().GetPendingDeleteDate(), "");
  EXPECT_TRUE(log.SawDebug("Invalid check interval 4s,use default value 14400s!"));
  EXPECT_TRUE(log.SawDebug("Disk monitor lock acquired!"));
  EXPECT_TRUE(log.SawDebug("Disk Monitor Check Finished!"));
  EXPECT_FALSE(log.SawDebug("Disk monitor thread is running, ignored!"));
  EXPECT_TRUE(log.SawOplog("磁盘预警启动成功!"));
  EXPECT_TRUE(log.SawOplog("数据库大小信息统计完成!"));
  EXPECT_TRUE(log.SawOplog("磁盘预警已停止!"));
}

TEST_F(DiskMonitorThreadTest, StopWhileTheLockIsHeldEndsWithoutACheck) {
  // A session holds the lock while the monitor tries for it; at shut-down
  // the stopping sessions also give it back right after the stop was asked
  // for. Either way the monitor ends without a check.
  for (const bool given_back : {false, true}) {
    CountingLock lock;
    lock.Hold();
    DiskMonitor monitor;
    ASSERT_TRUE(monitor.Start(&lock, Names()));
    ASSERT_TRUE(lock.WaitUntil([](CountingLock& l) { return l.attempts_ >= 1; }));
    LogWatch log;
    if (given_back) {
      monitor.RequestStop();
      lock.Unhold();
    }
    // One 200 ms try at most is left; Stop waits up to 500 ms before it
    // gives up on the thread.
    monitor.Stop();
    EXPECT_TRUE(log.SawDebug("Receive stop event while waiting io lock!")) << given_back;
    EXPECT_FALSE(log.SawDebug("Disk monitor thread is running, ignored!")) << given_back;
    EXPECT_FALSE(log.SawDebug("Disk monitor lock acquired!")) << given_back;
    EXPECT_TRUE(log.SawOplog("磁盘预警已停止!")) << given_back;
    EXPECT_EQ(lock.acquired_, lock.released_) << given_back;
    if (!given_back) {
      EXPECT_EQ(lock.acquired_, 0);
      lock.Unhold();
    }
  }
}

TEST_F(DiskMonitorThreadTest, StartingTwiceOrWithoutALockIsAProgrammingError) {
  lock_.Hold();
  DiskMonitor monitor;
  EXPECT_THROW((void)monitor.Start(nullptr, Names()), int);
  ASSERT_TRUE(monitor.Start(&lock_, Names()));
  EXPECT_THROW((void)monitor.Start(&lock_, Names()), int);
  monitor.Stop();
  // Stopped, it starts again.
  ASSERT_TRUE(monitor.Start(&lock_, Names()));
  monitor.Stop();
  lock_.Unhold();
}

TEST_F(DiskMonitorThreadTest, AThreadStillInItsCycleIsJoinedBeforeTheMonitorGoesAway) {
  // The storage names answer only when the test lets them while the
  // monitor holds the lock, as a busy controller would.
  std::mutex gate_mu;
  std::condition_variable gate_cv;
  bool open = false;
  bool waiting = false;
  DiskMonitor::StorageNames names = [&] {
    if (lock_.HeldByMonitor()) {
      std::unique_lock<std::mutex> guard(gate_mu);
      waiting = true;
      gate_cv.notify_all();
      gate_cv.wait(guard, [&] { return open; });
    }
    return std::set<std::string>{storage_};
  };
  LogWatch log;
  auto monitor = std::make_unique<DiskMonitor>();
  ASSERT_TRUE(monitor->Start(&lock_, names));
  {
    std::unique_lock<std::mutex> guard(gate_mu);
    ASSERT_TRUE(gate_cv.wait_for(guard, kPatience, [&] { return waiting; }));
  }
  monitor->Stop();
  EXPECT_TRUE(log.SawDebug("Disk monitor thread is running, ignored!"));
  // Forgotten by Stop, so a new run may start beside the one finishing.
  ASSERT_TRUE(monitor->Start(&lock_, names));
  {
    std::lock_guard<std::mutex> guard(gate_mu);
    open = true;
  }
  gate_cv.notify_all();
  monitor.reset();
  // Both threads ended inside the destructor: every cycle gave the lock back.
  EXPECT_EQ(lock_.acquired_, lock_.released_);
  EXPECT_GE(lock_.released_, 1);
}

}  // namespace
}  // namespace zv
