// ServiceManager: the system's service manager as the service framework and
// the watchdog see it: install and remove a service, start and stop it,
// send it a control, ask for its state, list what is installed.
//
// The one real implementation drives systemd: a service is the unit
// "<name>.service" in $ZENTROVANE_UNIT_DIR (default /etc/systemd/system),
// written by Install and deleted by Remove; everything else goes through
// `systemctl` ($ZENTROVANE_SYSTEMCTL, default "systemctl" from PATH).
// Requests are queued and not waited for (`--no-block`): callers poll the
// state, as they do for any service manager.
//
// Results are 0 or an error code: the errno of a system call that failed,
// or one of the service codes below for what only a service manager can
// answer. Codes above 1000 never collide with an errno.
//
// One caller at a time per object (LastFailureText is per object).
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace zv {

// Service states, numbered as the framework reports them.
enum ServiceState : uint32_t {
  kServiceStopped = 1,
  kServiceStartPending = 2,
  kServiceStopPending = 3,
  kServiceRunning = 4,
  kServiceContinuePending = 5,
  kServicePausePending = 6,
  kServicePaused = 7,
};

// Control codes a service can be sent.
enum ServiceControl : uint32_t {
  kServiceControlStop = 1,
  kServiceControlPause = 2,
  kServiceControlContinue = 3,
  kServiceControlInterrogate = 4,
  kServiceControlShutdown = 5,
};

// Error codes of the service manager.
inline constexpr uint32_t kErrorInvalidServiceControl = 1052;     // control not accepted
inline constexpr uint32_t kErrorServiceRequestTimeout = 1053;     // no new state in time
inline constexpr uint32_t kErrorInvalidServiceAccount = 1057;     // User= not a user name
inline constexpr uint32_t kErrorServiceDoesNotExist = 1060;       // no such unit
inline constexpr uint32_t kErrorFailedServiceControllerConnect = 1063;  // not started by it
inline constexpr uint32_t kErrorServiceManagerFailed = 1065;      // systemctl failed
inline constexpr uint32_t kErrorServiceSpecificError = 1066;      // see the service's own code
inline constexpr uint32_t kErrorServiceExists = 1073;             // unit file already there

// The text of one of the codes above; null for any other number.
const char* ServiceErrorText(uint32_t code);

// What Install writes.
struct ServiceDefinition {
  std::string name;          // the unit's name without ".service"
  std::string display_name;  // Description=
  std::string description;   // a comment at the top of the unit
  // The program and its arguments, written the Windows way (a path with
  // blanks in double quotes). The program must be an absolute path.
  std::string command_line;
  std::string account;                    // User=; empty: root
  std::vector<std::string> dependencies;  // After= and Wants= (".service" added when bare)
  bool auto_start = false;                // enable the unit (start at boot)
};

// A unit of the unit folder and the program its ExecStart= runs.
struct InstalledService {
  std::string name;        // without ".service"
  std::string executable;  // first word of ExecStart=, unquoted; empty when none
};

class ServiceManager {
 public:
  virtual ~ServiceManager() = default;

  // Writes the unit (kErrorServiceExists when one of that name is there),
  // enables it when asked, then has the manager reload its units. A failed
  // enable or reload removes the unit again.
  virtual uint32_t Install(const ServiceDefinition& service) = 0;
  // Disables and deletes the unit and has the manager reload. Does not
  // stop a running service. kErrorServiceDoesNotExist when not installed.
  virtual uint32_t Remove(const std::string& name) = 0;
  // Asks the manager to start the service; 0 also when it runs already.
  virtual uint32_t Start(const std::string& name) = 0;
  // Asks the manager to stop the service.
  virtual uint32_t Stop(const std::string& name) = 0;
  // Any other control: stop goes to Stop; the manager has no other
  // (kErrorInvalidServiceControl, nothing changes).
  virtual uint32_t Control(const std::string& name, uint32_t control) = 0;
  // The service's state (ServiceState).
  virtual uint32_t QueryState(const std::string& name, uint32_t* state) = 0;
  // Every unit in the unit folder.
  virtual uint32_t ListInstalled(std::vector<InstalledService>* services) = 0;
  // The manager's own words about the last failure (systemctl's error
  // output), empty when it said nothing.
  virtual std::string LastFailureText() const = 0;
};

// The systemd implementation, configured from the environment.
std::unique_ptr<ServiceManager> CreateSystemdServiceManager();
// The same with an explicit unit folder and systemctl program.
std::unique_ptr<ServiceManager> CreateSystemdServiceManager(const std::string& unit_directory,
                                                            const std::string& systemctl);

// One argument as systemd reads it in ExecStart=: quoted, escaped and with
// '%' and '$' doubled where needed, so that the unit's argument is exactly
// the text given.
std::string QuoteUnitArgument(const std::string& argument);
// Splits an ExecStart= value into its arguments by systemd's rules (the
// inverse of QuoteUnitArgument).
std::vector<std::string> SplitUnitCommandLine(const std::string& value);

}  // namespace zv
