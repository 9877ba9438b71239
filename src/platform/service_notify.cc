#include "platform/service_notify.h"

#include <systemd/sd-daemon.h>

#include <cstdlib>

#include "platform/service_manager.h"

namespace zv {

bool StartedByServiceManager() {
  const char* notify = std::getenv("NOTIFY_SOCKET");
  const char* invocation = std::getenv("INVOCATION_ID");
  return (notify != nullptr && *notify != '\0') || (invocation != nullptr && *invocation != '\0');
}

bool NotifyServiceManager(const std::string& state) {
  // 0: nobody listens; negative: the send failed.
  return sd_notify(0, state.c_str()) > 0;
}

uint64_t ServiceWatchdogIntervalUsec() {
  uint64_t usec = 0;
  return sd_watchdog_enabled(0, &usec) > 0 ? usec : 0;
}

void SystemdStatusNotifier::Report(const ServiceStatusReport& status) {
  const char* message = nullptr;
  switch (status.state) {
    case kServiceRunning:
      message = "READY=1";
      break;
    case kServiceStopPending:
    case kServiceStopped:
      message = "STOPPING=1";
      break;
    default:
      return;
  }
  std::lock_guard<std::mutex> lock(mu_);
  if (last_sent_ == message) return;
  last_sent_ = message;
  (void)NotifyServiceManager(message);
}

void SystemdStatusNotifier::KeepAlive() {
  if (ServiceWatchdogIntervalUsec() != 0) (void)NotifyServiceManager("WATCHDOG=1");
}

}  // namespace zv
