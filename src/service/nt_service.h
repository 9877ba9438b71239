// CNTService: the service framework. It parses the service switches of a
// command line, installs and removes the service, starts, stops, pauses and
// continues it through the service manager, runs it under the service
// manager or as an ordinary process, reports its status, dispatches
// controls to overridable handlers and writes event-log entries.
//
// On this system the service manager is systemd (through the ServiceManager
// of the platform layer), the status handle is its notification socket
// (READY=1, STOPPING=1, WATCHDOG=1), the stop control is SIGTERM, and the
// event log is the journal. Error codes are those of ServiceManager: an
// errno, or a service code above 1000.
//
// Owner: the program's entry creates the one service object and keeps it
// for the life of the process. Threads: the command runs on the main
// thread; controls arrive on the control thread (a signal watcher) while
// ServiceMain runs; status reports and event-log entries are serialised by
// the status lock.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/event_log.h"
#include "platform/service_manager.h"
#include "platform/service_notify.h"
#include "platform/settings_store.h"
#include "platform/signal_watcher.h"
#include "service/service_command_line.h"

namespace zv {

// Thrown out of ServiceMain to end the service with these exit codes.
class CNTServiceTerminateException {
 public:
  CNTServiceTerminateException(uint32_t exit_code, uint32_t specific_exit_code)
      : exit_code_(exit_code), specific_exit_code_(specific_exit_code) {}
  uint32_t exit_code() const { return exit_code_; }
  uint32_t specific_exit_code() const { return specific_exit_code_; }

 private:
  uint32_t exit_code_;
  uint32_t specific_exit_code_;
};

// The system facilities the framework works through.
struct ServiceSystem {
  std::shared_ptr<ServiceManager> manager;
  std::shared_ptr<EventLog> event_log;
  std::shared_ptr<ServiceStatusSink> status;  // what RegisterControlHandler connects to
  bool started_by_manager = false;            // systemd started this process
  std::string executable_path;                // the running program's full path
  std::string profile_path;                   // settings file of the profile operations

  // systemd, the journal, sd_notify and this process's environment.
  static ServiceSystem FromEnvironment();
};

// Event ids of the framework's event-log entries.
enum ServiceEventId : uint32_t {
  kEventInstalled = 0x40000002,
  kEventStopRequested = 0x40000003,
  kEventPauseRequested = 0x40000004,
  kEventContinueRequested = 0x40000005,
  kEventShutdown = 0x40000009,
  kEventOpenManagerFailed = 0xC0000006,
  kEventOpenServiceFailed = 0xC0000007,
  kEventDeleteFailed = 0xC0000008,
  kEventStartFailed = 0xC000000A,
  kEventStopFailed = 0xC000000B,
  kEventContinueFailed = 0xC000000C,
  kEventPauseFailed = 0xC000000D,
  kEventWaitFailed = 0xC000000E,
  kEventQueryFailed = 0xC000000F,
};

// The framework's message table; "%1" and "%2" are the inserts. Empty for
// numbers it does not hold.
std::string ServiceMessageText(uint32_t number);
// text with "%1".."%9" replaced by the inserts.
std::string FillMessage(const std::string& text, const std::vector<std::string>& inserts);

class CNTService {
 public:
  // Keeps the stored value (ReportStatus, SetStatus).
  static constexpr uint32_t kKeep = 0xFFFFFFFFu;
  // Answer to the refused control.
  static constexpr uint32_t kErrorCallNotImplemented = 120;
  // What SetServiceToStatus moves the service to.
  enum StatusKind : uint32_t { kToStart = 0, kToPause = 1, kToContinue = 2, kToStop = 3 };

  CNTService(ServiceSystem system, const std::string& service_name,
             const std::string& display_name, uint32_t controls_accepted,
             const std::string& description = "");
  virtual ~CNTService();
  CNTService(const CNTService&) = delete;
  CNTService& operator=(const CNTService&) = delete;

  // The one service object of the process (null when none).
  static CNTService* Instance();

  // --- Profile: values under the service's own key of the settings store,
  // one subkey per section. A null value deletes the entry, a null entry
  // the whole section. error (optional) gets 0, or 2 when the value is
  // absent, or the errno of a store that could not be opened.
  virtual bool WriteProfileString(const char* section, const char* entry, const char* value);
  virtual bool WriteProfileInt(const char* section, const char* entry, uint32_t value);
  virtual bool WriteProfileStringArray(const char* section, const char* entry,
                                       const std::vector<std::string>& array);
  virtual bool WriteProfileBinary(const char* section, const char* entry, const uint8_t* data,
                                  size_t size);
  virtual std::string GetProfileString(const char* section, const char* entry,
                                       const char* default_value = nullptr,
                                       uint32_t* error = nullptr);
  virtual uint32_t GetProfileInt(const char* section, const char* entry, uint32_t default_value,
                                 uint32_t* error = nullptr);
  virtual bool GetProfileStringArray(const char* section, const char* entry,
                                     std::vector<std::string>* array);
  virtual bool GetProfileBinary(const char* section, const char* entry,
                                std::vector<uint8_t>* data);

  // --- Commands
  // Parses argv[1..] into info and keeps the arguments for the run routine.
  virtual void ParseArguments(int argc, const char* const* argv, CNTServiceCommandLineInfo* info);
  // Carries out the parsed command; 0 or the error code.
  virtual uint32_t RunCommand(CNTServiceCommandLineInfo& info);

  // --- Status and controls
  virtual void ReportStatus(uint32_t state, uint32_t check_point = kKeep,
                            uint32_t wait_hint = kKeep, uint32_t controls_accepted = kKeep);
  virtual void ReportStatus();
  // Connects the status handle and turns SIGTERM into the stop control.
  virtual bool RegisterControlHandler();
  virtual uint32_t HandleControl(uint32_t control, uint32_t event_type = 0,
                                 void* event_data = nullptr);
  // The run routine; empty in the base.
  virtual void ServiceMain(int argc, char** argv);
  virtual void OnStop();
  virtual void OnPause();
  virtual void OnContinue();
  virtual void OnInterrogate();
  virtual void OnShutdown();
  virtual void OnParamChange();
  virtual uint32_t OnHardwareProfileChange(uint32_t event_type, void* event_data);
  virtual uint32_t OnPowerEvent(uint32_t event_type, void* event_data);
  virtual void OnNetBindAdd();
  virtual void OnNetBindRemove();
  virtual void OnNetBindEnable();
  virtual void OnNetBindDisable();
  virtual uint32_t OnDeviceEvent(uint32_t event_type, void* event_data);
  virtual void OnOtherControl(uint32_t control);

  // --- Running
  // Under systemd: runs ServiceEntry and returns the exit code the service
  // stopped with. Started any other way: 1063.
  virtual uint32_t RunDispatcher();
  virtual bool SetServiceToStatus(StatusKind kind, uint32_t* error, uint32_t timeout_ms,
                                  uint32_t poll_interval_ms);
  virtual bool Install(std::string* message, uint32_t* error);
  virtual bool Uninstall(std::string* message, uint32_t* error, uint32_t timeout_ms);
  // Runs ServiceMain on the calling thread with the kept arguments less the
  // debug switches; Ctrl+C, Ctrl+\, a hang-up or SIGTERM call OnStop.
  // A CNTServiceTerminateException is passed on.
  virtual void RunAsApplication();
  virtual void ShowHelp();
  // Installed services whose command runs this executable.
  virtual bool ListInstances(std::vector<std::string>* names, uint32_t* error);
  virtual void ServiceEntry(int argc, char** argv);

  // --- Messages
  virtual std::string GetErrorMessage(uint32_t message, uint32_t error, bool for_event_log);
  virtual uint32_t MapMessageNumber(uint32_t number, uint32_t error, bool for_event_log);
  virtual uint32_t MapEventId(uint32_t id);
  virtual std::string FormatSystemMessage(uint32_t error);
  virtual void SetStatus(uint32_t state, uint32_t check_point, uint32_t wait_hint,
                         uint32_t controls_accepted, uint32_t exit_code,
                         uint32_t specific_exit_code);
  // The units the service is ordered after and wants.
  virtual std::vector<std::string> GetDependencyList();
  // Console events 0 (Ctrl+C), 1 (Ctrl+Break) and 2 (close) call OnStop.
  virtual bool OnConsoleControl(uint32_t type);

  // Sends the keep-alive to the service manager when a status handle is
  // connected (the run routine calls it about once a second).
  void ReportAlive();

  // --- Settings of the data model
  void set_allow_command_line(bool allow) { allow_command_line_ = allow; }
  void set_allow_name_change(bool allow) { allow_name_change_ = allow; }
  void set_allow_description_change(bool allow) { allow_description_change_ = allow; }
  void set_allow_display_name_change(bool allow) { allow_display_name_change_ = allow; }
  void set_console_output(bool on) { console_output_ = on; }
  void set_use_event_log(bool on) { use_event_log_ = on; }
  void set_error_message_style(uint32_t style) { error_message_style_ = style; }
  void set_event_log_message_style(uint32_t style) { event_log_message_style_ = style; }
  void set_refused_control(uint32_t control) { refused_control_ = control; }
  void set_dependencies(std::vector<std::string> dependencies) {
    dependencies_ = std::move(dependencies);
  }
  const std::string& service_name() const { return service_name_; }
  const std::string& display_name() const { return display_name_; }
  const std::string& description() const { return description_; }
  const std::string& image_path() const { return image_path_; }
  const std::string& event_source_name() const { return event_source_name_; }
  uint32_t start_type() const { return start_type_; }
  uint32_t current_state() const;
  const std::string& account() const { return account_; }
  const std::string& password() const { return password_; }

  // The process exit code for a service that stopped with these codes: the
  // service's own code when the first says "see the service's own", else
  // the first.
  static uint32_t ExitCodeOf(uint32_t exit_code, uint32_t specific_exit_code);

 protected:
  // Writes one event-log entry (under the status lock).
  void ReportEvent(EventType type, uint32_t event_id, const std::string& insert);
  // Shows a failed command's message unless silent; always in the debug log.
  void ShowFailure(const std::string& message, bool silent);
  ServiceManager& manager() { return *system_.manager; }

  const ServiceSystem system_;

  // Data model; constant while a command runs unless said otherwise.
  uint32_t service_type_ = 16;  // own process
  uint32_t start_type_ = 3;     // 3 on demand, 2 at boot
  uint32_t error_control_ = 0;
  std::string load_order_group_;
  std::string account_;   // wiped after installation
  std::string password_;  // never used by systemd; wiped
  std::string event_message_file_;
  uint32_t error_message_style_ = 4;
  uint32_t event_log_message_style_ = 1;
  uint32_t refused_control_ = 0;
  std::string service_name_, master_service_name_;
  std::string display_name_, master_display_name_;
  std::string description_, master_description_;
  std::string event_log_name_ = "Application";
  std::string event_source_name_;
  bool use_event_log_ = true;
  bool flush_registry_writes_ = true;
  bool allow_command_line_ = false;
  bool allow_name_change_ = false;
  bool allow_description_change_ = false;
  bool allow_display_name_change_ = false;
  bool console_output_ = false;
  std::string image_path_;
  std::vector<std::string> dependencies_;
  std::vector<std::string> arguments_;  // the command line, kept by ParseArguments

  // Guarded by status_mu_.
  mutable std::recursive_mutex status_mu_;
  ServiceStatusSink* status_handle_ = nullptr;
  uint32_t controls_accepted_;
  uint32_t check_point_ = 0;
  uint32_t wait_hint_ = 0;
  uint32_t current_state_ = kServiceStopped;
  uint32_t exit_code_ = 0;
  uint32_t specific_exit_code_ = 0;

  // The control thread while ServiceEntry or RunAsApplication runs.
  std::unique_ptr<SignalWatcher> control_watcher_;

 private:
  std::unique_ptr<SettingsStore> OpenProfile(const char* section);
};

}  // namespace zv
