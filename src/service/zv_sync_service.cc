#include "service/zv_sync_service.h"

#include <csignal>

#include "log/sync_log.h"
#include "platform/named_object.h"
#include "server/sync_srv_dlg.h"
#include "service/status_screen.h"
#include "service/watchdog.h"

namespace zv {
namespace {

// How long the service manager is told a start or a stop may take
// between two reports.
constexpr uint32_t kStartWaitHintMs = 30000;
constexpr uint32_t kStopWaitHintMs = 30000;

}  // namespace

void PrintUsage(std::FILE* out) {
  std::fprintf(out,
               "Usage: Zentrovane.exe [switches]\n"
               "  -install [-auto] [-U:user] [\"-SCL:arguments\"]\n"
               "                          install the systemd unit (as root); -auto: start\n"
               "                          at boot; -U: run as that user\n"
               "  -remove                 stop the service if it runs and remove the unit\n"
               "  -start, -stop           start or stop the installed service and wait\n"
               "  -T:ms                   how long -start, -stop and -remove wait (5000)\n"
               "  -app, -debug, -console  run the server in the foreground until Ctrl+C\n"
               "                          or the stop event\n"
               "  -version                print the version and exit\n"
               "Started by systemd without arguments, it runs as the service.\n"
               "Failures set the exit status and are written to the debug log.\n");
}

ZVSyncService::ZVSyncService(ServiceSystem system)
    : CNTService(std::move(system), kServiceName, kDisplayName, kServiceControlStop) {}

ZVSyncService::~ZVSyncService() = default;

void ZVSyncService::ServiceMain(int, char**) {
  if (!interactive_) ReportStatus(kServiceStartPending, 1, kStartWaitHintMs);
  // A peer that closes while the server writes must cost one session, not
  // the process.
  std::signal(SIGPIPE, SIG_IGN);
  // Outlives the controller: its close stops the watchdog.
  std::unique_ptr<WatchDogKeeper> watchdog = CreateWatchDogKeeper(interactive_);
  CZVSyncSrvDlg controller(interactive_);
  // Draws only while RunModal runs; its thread ends once the loop has closed.
  StatusScreen screen;
  if (interactive_ && screen.Start()) {
    controller.SetStatusView([&screen](const StatusModel& model) { screen.Show(model); });
  }
  controller.SetServiceHooks(
      [this] {
        std::lock_guard<std::mutex> lock(mu_);
        if (!interactive_ && !stop_requested_) ReportStatus(kServiceRunning);
      },
      [this, &watchdog] {
        ReportAlive();
        bool stopping;
        {
          std::lock_guard<std::mutex> lock(mu_);
          stopping = stop_requested_;
        }
        // A watchdog started now would only have to be stopped again.
        if (!stopping) watchdog->CheckWatchDog();
      });
  controller.SetClosingHook([&controller, &watchdog] {
    // Only a server that started can have started a watchdog. One that
    // failed because another runs must leave that one's watchdog alone.
    if (controller.initialized()) watchdog->StopWatchDog();
  });
  {
    std::lock_guard<std::mutex> lock(mu_);
    controller_ = &controller;
    // Posted now, the close runs as soon as the controller has started.
    if (stop_requested_) controller.RequestClose();
  }
  // The framework's control thread turns the signals into OnStop.
  const bool started = controller.RunModal(/*stop_on_signals=*/false);
  {
    std::lock_guard<std::mutex> lock(mu_);
    controller_ = nullptr;
  }
  // The terminal is given back before the process ends without clean-up.
  screen.Stop();
  if (!started) throw CNTServiceTerminateException(kErrorServiceSpecificError, 1);
}

void ZVSyncService::OnStop() {
  {
    // Set first, so that a start that completes now reports no running.
    std::lock_guard<std::mutex> lock(mu_);
    stop_requested_ = true;
  }
  ReportStatus(kServiceStopPending, 1, kStopWaitHintMs);
  (void)SignalNamedEvent(kStopEventName);
  std::lock_guard<std::mutex> lock(mu_);
  if (controller_ != nullptr) controller_->RequestClose();
}

void ZVSyncService::ShowHelp() { PrintUsage(stdout); }

}  // namespace zv
