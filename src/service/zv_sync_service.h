// ZVSyncService: the program's service. It runs the controller
// (CZVSyncSrvDlg) as its run routine and turns the stop control into the
// controller's stop: the stop event and a close request. Outside the
// foreground modes it keeps its watchdog running from the controller's
// one-second tick and stops it first when the controller closes.
//
// Owner: the program's entry. Threads: ServiceMain runs on the main
// thread; OnStop arrives on the control thread (SIGTERM, or Ctrl+C in the
// foreground) and only signals. The controller is created when ServiceMain
// starts, since only then is it known whether the server runs as a
// service or in the foreground; controller_ and stop_requested_ are
// guarded by mu_.
#pragma once

#include <cstdio>
#include <memory>
#include <mutex>

#include "service/nt_service.h"

namespace zv {

class CZVSyncSrvDlg;

class ZVSyncService final : public CNTService {
 public:
  static constexpr const char* kServiceName = "Zentrovane";
  static constexpr const char* kDisplayName = "Korvane Zentrovane";

  explicit ZVSyncService(ServiceSystem system);
  ~ZVSyncService() override;

  // Interactive mode: the server runs in the foreground with a status view
  // and reports nothing to the service manager. Set before the command.
  void set_interactive(bool interactive) { interactive_ = interactive; }
  bool interactive() const { return interactive_; }

  // Reports start pending, runs the controller until it closes, and
  // reports running (READY=1) only once it has started: a start that
  // fails ends the service with exit code 1.
  void ServiceMain(int argc, char** argv) override;
  // Reports stop pending (STOPPING=1), sets the stop event and asks the
  // controller to close; a stop that comes before the controller exists
  // closes it as soon as it runs. No event-log entry.
  void OnStop() override;
  // Prints the program's switches.
  void ShowHelp() override;

 private:
  bool interactive_ = false;
  std::mutex mu_;
  CZVSyncSrvDlg* controller_ = nullptr;  // guarded by mu_; lives in ServiceMain
  bool stop_requested_ = false;          // guarded by mu_
};

// The program's switches, as -help prints them.
void PrintUsage(std::FILE* out);

}  // namespace zv
