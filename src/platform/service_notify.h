// How a service started by the service manager tells it what it is doing:
// systemd's notification socket (sd_notify). Started any other way, every
// report is dropped.
#pragma once

#include <cstdint>
#include <mutex>
#include <string>

namespace zv {

// True when systemd started this process (NOTIFY_SOCKET or INVOCATION_ID
// set and not empty).
bool StartedByServiceManager();

// Sends one notification ("READY=1", "STOPPING=1", ...) to the socket
// named by NOTIFY_SOCKET. False when there is none or the send failed.
bool NotifyServiceManager(const std::string& state);

// The keep-alive interval systemd asks of this process (WATCHDOG_USEC,
// for this process's id), 0 when it asks for none.
uint64_t ServiceWatchdogIntervalUsec();

// One status as the framework reports it.
struct ServiceStatusReport {
  uint32_t state = 0;  // ServiceState
  uint32_t accepted_controls = 0;
  uint32_t check_point = 0;
  uint32_t wait_hint = 0;
  uint32_t exit_code = 0;
  uint32_t specific_exit_code = 0;
};

// Where the framework's status reports go (its "status handle").
class ServiceStatusSink {
 public:
  virtual ~ServiceStatusSink() = default;
  virtual void Report(const ServiceStatusReport& status) = 0;
  // Called about once a second while the service's main loop turns.
  virtual void KeepAlive() = 0;
};

// The systemd sink: running becomes "READY=1" and stop pending or stopped
// "STOPPING=1", each sent when the state changes to it; the other states
// have no systemd counterpart. KeepAlive sends "WATCHDOG=1" when systemd
// asked for keep-alives. Thread-safe.
class SystemdStatusNotifier final : public ServiceStatusSink {
 public:
  void Report(const ServiceStatusReport& status) override;
  void KeepAlive() override;

 private:
  std::mutex mu_;
  std::string last_sent_;  // guarded by mu_
};

}  // namespace zv
