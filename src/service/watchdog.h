// The watchdog pair. The service keeps a second process of the same program
// running in guard mode ("Zentrovane.exe -guard"); that process keeps the
// service, MariaDB, the process manager and exactly one Timer.exe running.
//
// The two sides recognise each other only by two named events, each
// created by one side and held for its whole life:
//   "Global\ZentrovaneStopEvent"  the service runs (set: stop the service)
//   "Global\ZVWatchDogStopEvent"  the watchdog runs (set: stop the watchdog)
// An event vanishes the moment its owner ends or is killed, and the other
// side starts its owner again at its next check. At an orderly stop the
// service ends the watchdog first and waits for it, so the watchdog never
// sees the service's event vanish and never starts the service again.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace zv {

class NamedEvent;
class ProcessHandle;
class ServiceManager;

inline constexpr const char* kWatchDogStopEventName = "Global\\ZVWatchDogStopEvent";

// Units and programs the watchdog keeps alive. Only the server is ours.
inline constexpr const char* kMysqlServiceName = "mariadb";
inline constexpr const char* kMysqlImageName = "mariadbd";
inline constexpr const char* kOldMysqlImageName = "mysqld";  // what older packages run
inline constexpr const char* kProcessManagerServiceName = "process-manager";
inline constexpr const char* kTimerImageName = "Timer.exe";  // started from the home folder

// Asks the service manager to start the service; true when it was started
// or runs already. A failure is written to the debug log (whether the
// manager could not be asked, the unit is unknown, or the start was
// refused) and the caller writes what the operator must see.
bool StartServiceByName(ServiceManager& manager, const std::string& name);

// The process list as the watchdog uses it.
class ProcessTable {
 public:
  virtual ~ProcessTable() = default;
  // Running processes whose image name is image_name (letter case ignored).
  virtual uint32_t CountByName(const std::string& image_name) = 0;
  // Kills them all and waits up to a second; the number killed, or -1 when
  // they had not all ended by then.
  virtual int KillByName(const std::string& image_name) = 0;
  // Starts the program without arguments and without waiting; 0 or errno.
  virtual uint32_t Start(const std::string& program) = 0;
};

// /proc and posix_spawn.
std::unique_ptr<ProcessTable> CreateSystemProcessTable();

// WatchDogGuard: the guard mode's loop. Owned by the guard entry, which
// runs it on the process's main thread; the checks are public so that each
// can be driven alone.
class WatchDogGuard {
 public:
  // How many one-second ticks lie between two MariaDB and Timer.exe checks.
  static constexpr int kSlowCheckTicks = 10;

  WatchDogGuard(ServiceManager& manager, ProcessTable& processes, std::string home_directory);

  // Creates the watchdog's event, starts the process manager once, then
  // checks the service every second and MariaDB and Timer.exe at the first
  // tick and every tenth after it, until the event is set (or SIGTERM,
  // SIGINT or SIGHUP arrive). Ends every Timer.exe on the way out. -1 when
  // another watchdog runs, else 0.
  int Run();

  // Starts the service when its stop event is gone.
  void CheckService();
  // Starts MariaDB when no server process of it runs.
  void CheckMysql();
  // Keeps exactly one Timer.exe: ends them all when there are more, and
  // starts one when none is left.
  void CheckTimer();

 private:
  // One tick of the loop.
  void Tick();

  ServiceManager& manager_;
  ProcessTable& processes_;
  const std::string timer_program_;
  int ticks_ = kSlowCheckTicks;  // the first tick runs the slow checks
};

// WatchDogKeeper: the service's side. Starts the watchdog when it is not
// running and stops it at shut-down. Owned by the service's run routine;
// used on the controller's loop thread only (its one-second tick and its
// close).
class WatchDogKeeper {
 public:
  // How long a stopping watchdog is given to end.
  static constexpr int kStopLimitMs = 10000;

  // interactive: the server runs in the foreground and never starts a
  // watchdog. disabled: asked at every check (DisableWatchDog). program:
  // the executable started with "-guard".
  WatchDogKeeper(bool interactive, std::function<bool()> disabled, std::string program,
                 int stop_limit_ms = kStopLimitMs);
  ~WatchDogKeeper();
  WatchDogKeeper(const WatchDogKeeper&) = delete;
  WatchDogKeeper& operator=(const WatchDogKeeper&) = delete;

  // Starts "<program> -guard" unless the watchdog's event exists, the
  // server is interactive or the watchdog is disabled.
  void CheckWatchDog();
  // Sets the watchdog's event and waits (polling every 100 ms, at most the
  // stop limit) until it is gone. A watchdog this object started a moment
  // ago that has not created its event yet is waited for first (and killed
  // when it has not created it within the stop limit).
  void StopWatchDog();

  // The watchdog this object started last, null when none.
  const ProcessHandle* started() const { return started_.get(); }

 private:
  // Waits until the watchdog's event exists; false when the watchdog this
  // object started ended first or there is none to wait for, or (with
  // *timed_out set) when the limit passed.
  bool AwaitStartedWatchDog(bool* timed_out);

  const bool interactive_;
  const std::function<bool()> disabled_;
  const std::string program_;
  const int stop_limit_ms_;
  std::unique_ptr<ProcessHandle> started_;
};

// The keeper of this program: DisableWatchDog from the settings store, the
// running executable as the watchdog.
std::unique_ptr<WatchDogKeeper> CreateWatchDogKeeper(bool interactive);

}  // namespace zv
