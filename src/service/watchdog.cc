#include "service/watchdog.h"

#include <signal.h>

#include <cerrno>
#include <chrono>
#include <thread>

#include "config/zv_sync_config.h"
#include "log/log_file.h"
#include "log/sync_log.h"
#include "platform/named_object.h"
#include "platform/process.h"
#include "platform/service_manager.h"
#include "platform/signal_watcher.h"
#include "server/sync_srv_dlg.h"
#include "service/zv_sync_service.h"
#include "util/process_util.h"

namespace zv {
namespace {

using Clock = std::chrono::steady_clock;

constexpr int kTickMs = 1000;
constexpr auto kStopPoll = std::chrono::milliseconds(100);

class SystemProcessTable final : public ProcessTable {
 public:
  uint32_t CountByName(const std::string& image_name) override {
    return CountProcessesByName(image_name);
  }
  int KillByName(const std::string& image_name) override { return KillProcessesByName(image_name); }
  uint32_t Start(const std::string& program) override {
    // An argument vector, not a command line: a home folder with blanks or
    // quotes in its name needs no quoting.
    std::unique_ptr<ProcessHandle> process = ProcessHandle::Spawn({program});
    if (process) return 0;
    return errno != 0 ? static_cast<uint32_t>(errno) : static_cast<uint32_t>(EINVAL);
  }
};

bool Elapsed(Clock::time_point since, int limit_ms) {
  return Clock::now() - since > std::chrono::milliseconds(limit_ms);
}

}  // namespace

bool StartServiceByName(ServiceManager& manager, const std::string& name) {
  // Asking for the state first tells the three ways a start can fail apart:
  // no manager to ask, no such unit, or a start the manager refused. The
  // texts are the same whichever service is started.
  uint32_t state = 0;
  uint32_t error = manager.QueryState(name, &state);
  if (error == kErrorServiceDoesNotExist) {
    ZV_LOG_E("Open Zentrovane service failed!errno=%u\n", error);
  } else if (error != 0) {
    ZV_LOG_E("Open SCM failed!errno=%u\n", error);
  } else if (state == kServiceRunning) {
    return true;
  } else if ((error = manager.Start(name)) != 0) {
    ZV_LOG_E("Start Zentrovane failed!errno=%u\n", error);
  } else {
    return true;
  }
  const std::string words = manager.LastFailureText();
  if (!words.empty()) ZV_LOG_D("%s: %s\n", name.c_str(), words.c_str());
  return false;
}

std::unique_ptr<ProcessTable> CreateSystemProcessTable() {
  return std::make_unique<SystemProcessTable>();
}

// ---------------------------------------------------------------------------
// The guard

WatchDogGuard::WatchDogGuard(ServiceManager& manager, ProcessTable& processes,
                             std::string home_directory)
    : manager_(manager),
      processes_(processes),
      timer_program_(home_directory + "/" + kTimerImageName) {}

int WatchDogGuard::Run() {
  NamedEvent::CreateResult created = NamedEvent::CreateResult::kFailed;
  std::unique_ptr<NamedEvent> stop_event =
      NamedEvent::Create(kWatchDogStopEventName, true, &created);
  if (created == NamedEvent::CreateResult::kAlreadyExists) {
    ZV_LOG_W("Zentrovane WatchDog is already running!\n");
    return -1;
  }
  if (!stop_event) {
    ZV_LOG_C("Can't create dog event!\n");
    return 0;
  }
  // A signal to end (systemd stopping the unit's whole group, Ctrl+C when
  // run by hand) ends the loop as the service's request does.
  NamedEvent* event = stop_event.get();
  std::unique_ptr<SignalWatcher> signals =
      SignalWatcher::Start({SIGTERM, SIGINT, SIGHUP}, [event](int) { event->Set(); });
  ZV_LOG_I("Start WatchDog!");

  if (!StartServiceByName(manager_, kProcessManagerServiceName)) {
    ZV_LOG_E("Start Process Manager failed!\n");
    ZV_OPLOG(kEventError, kModuleSync, "启动Zentrovane进程管理器失败!");
  }

  ticks_ = kSlowCheckTicks;
  while (!stop_event->Wait(kTickMs)) Tick();

  signals.reset();
  stop_event.reset();
  (void)processes_.KillByName(kTimerImageName);
  return 0;
}

void WatchDogGuard::Tick() {
  CheckService();
  if (++ticks_ >= kSlowCheckTicks) {
    CheckMysql();
    CheckTimer();
    ticks_ = 0;
  }
}

void WatchDogGuard::CheckService() {
  if (NamedObjectExists(kStopEventName)) return;
  if (StartServiceByName(manager_, ZVSyncService::kServiceName)) {
    ZV_OPLOG(kEventInfo, kModuleSync, "同步器已被重新启动!");
  } else {
    ZV_OPLOG(kEventWarning, kModuleSync, "重新启动同步器失败!");
  }
}

void WatchDogGuard::CheckMysql() {
  if (processes_.CountByName(kMysqlImageName) + processes_.CountByName(kOldMysqlImageName) > 0) {
    return;
  }
  if (StartServiceByName(manager_, kMysqlServiceName)) {
    ZV_OPLOG(kEventInfo, kModuleSync, "MySQL已被重新启动!");
  } else {
    ZV_OPLOG(kEventWarning, kModuleSync, "重新启动MySQL失败!");
  }
}

void WatchDogGuard::CheckTimer() {
  uint32_t count = processes_.CountByName(kTimerImageName);
  if (count > 1) {
    ZV_LOG_W("Found %u Timer.exe!\n", count);
    // After a kill that finished, count again rather than compare the
    // number killed: one that ended by itself meanwhile must not leave the
    // system without Timer.exe for ten seconds, and one that could not be
    // killed must not get a second beside it.
    if (processes_.KillByName(kTimerImageName) >= 0) {
      count = processes_.CountByName(kTimerImageName);
    }
    ZV_OPLOG(kEventWarning, kModuleSync, "已结束多余的Timer.exe进程!");
  }
  if (count != 0) return;
  const uint32_t error = processes_.Start(timer_program_);
  if (error != 0) {
    ZV_LOG_E("Start Timer.exe failed!errno=%u\n", error);
    ZV_OPLOG(kEventWarning, kModuleSync, "重新启动Timer.exe失败!");
  } else {
    ZV_OPLOG(kEventInfo, kModuleSync, "Timer.exe已被重新启动!");
  }
}

// ---------------------------------------------------------------------------
// The service's side

WatchDogKeeper::WatchDogKeeper(bool interactive, std::function<bool()> disabled,
                               std::string program, int stop_limit_ms)
    : interactive_(interactive),
      disabled_(std::move(disabled)),
      program_(std::move(program)),
      stop_limit_ms_(stop_limit_ms) {}

WatchDogKeeper::~WatchDogKeeper() = default;

void WatchDogKeeper::CheckWatchDog() {
  if (interactive_ || disabled_()) return;
  if (NamedObjectExists(kWatchDogStopEventName)) return;
  ZV_LOG_I("Dog is not running!restart dog!\n");
  if (program_.empty()) return;
  std::unique_ptr<ProcessHandle> dog = ProcessHandle::Spawn({program_, "-guard"});
  if (!dog) {
    ZV_LOG_E("Start dog failed!errno=%u\n", static_cast<unsigned>(errno));
    return;
  }
  // The one started before, if it still runs, is reaped once it ends.
  started_ = std::move(dog);
}

bool WatchDogKeeper::AwaitStartedWatchDog(bool* timed_out) {
  *timed_out = false;
  const Clock::time_point since = Clock::now();
  for (;;) {
    if (NamedObjectExists(kWatchDogStopEventName)) return true;
    if (!started_) return false;
    if (Elapsed(since, stop_limit_ms_)) {
      *timed_out = true;
      return false;
    }
    // Returns at once when the watchdog ends (it may have found another).
    if (started_->Wait(static_cast<int>(kStopPoll.count())) !=
        ProcessHandle::WaitResult::kTimedOut) {
      return NamedObjectExists(kWatchDogStopEventName);
    }
  }
}

void WatchDogKeeper::StopWatchDog() {
  // A watchdog started at the last tick may not have created its event yet;
  // left alone, it would outlive the service and start it again.
  bool timed_out = false;
  const bool running = AwaitStartedWatchDog(&timed_out);
  if (!running) {
    if (timed_out) {
      ZV_LOG_W("Dog is not respoding!\n");
      // It never got as far as its event, so it has started nothing yet;
      // it must not come up once the service is gone.
      (void)started_->Terminate(0);
    } else {
      ZV_LOG_D("Dog is not running!\n");
    }
    started_.reset();
    return;
  }
  started_.reset();
  (void)SignalNamedEvent(kWatchDogStopEventName);
  const Clock::time_point set_at = Clock::now();
  while (NamedObjectExists(kWatchDogStopEventName)) {
    if (Elapsed(set_at, stop_limit_ms_)) {
      ZV_LOG_W("Dog is not respoding!\n");
      break;
    }
    std::this_thread::sleep_for(kStopPoll);
  }
  ZV_LOG_D("Dog stopped!");
}

std::unique_ptr<WatchDogKeeper> CreateWatchDogKeeper(bool interactive) {
  return std::make_unique<WatchDogKeeper>(
      interactive, [] { return ZVSyncConfig::Instance().GetDisableWatchDog() != 0; },
      ExecutablePath());
}

}  // namespace zv
