#include "service/nt_service.h"

#include <limits.h>
#include <signal.h>
#include <stdlib.h>
#include <strings.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <thread>

#include "config/zv_sync_config.h"
#include "platform/process.h"
#include "log/sync_log.h"
#include "util/system_util.h"

namespace zv {
namespace {

std::atomic<CNTService*> g_service{nullptr};

// The framework's string table (number 14 is not used).
constexpr const char* kMessages[] = {
    "",
    "CNTService::Install, Failed call to open SCM, Error:%1",
    "CNTService::Install, Failed call to lock SCM, Error:%1",
    "CNTService::Install, Failed call to CreateService, Error:%1",
    "CNTService::Install, Failed call to install service as an event log source, Error:%1",
    "CNTService::Uninstall, Failed call to open SCM, Error:%1",
    "CNTService::Uninstall, Failed call to OpenService, Error:%1",
    "CNTService::Uninstall, Failed call to WaitForStop, Error:%1",
    "CNTService::Uninstall, Failed call to DeleteService, Error:%1",
    "CNTService::Uninstall, Failed call to remove service as an event log source, Error:%1",
    "Failed to start the service, Error:%1",
    "Failed to stop the service, Error:%1",
    "Failed to continue the service, Error:%1",
    "Failed to pause the service, Error:%1",
    "",
    "%1, %2",
    "CNTService::Uninstall, Failed to stop service, Error:%1",
    "CNTService::SetServiceToStatus, Failed call to open SCM, Error:%1",
    "CNTService::SetServiceToStatus, Failed call to OpenService, Error:%1",
    "CNTService::SetServiceToStatus, Failed to start the service, Error:%1",
    "CNTService::SetServiceToStatus, Failed to continue the service, Error:%1",
    "CNTService::SetServiceToStatus, Failed to pause the service, Error:%1",
    "CNTService::SetServiceToStatus, Failed to stop the service, Error:%1",
    "CNTService::SetServiceToStatus, Failed to wait for the service to change state, Error:%1",
    "CNTService::SetServiceToStatus, Failed to check the service status, Error:%1",
};

constexpr uint32_t kPollIntervalMs = 250;
// The profile values live below this key, one subkey per service.
constexpr const char* kServicesKey = "HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\";
// "not found", as the error of an absent profile value.
constexpr uint32_t kErrorFileNotFound = 2;

// The text of an informational entry: the journal keeps no message file,
// so each entry says in words what the event id says in a number.
std::string EventText(uint32_t event_id, const std::string& insert) {
  switch (event_id) {
    case kEventInstalled:
      return insert + ": installed as a service";
    case kEventStopRequested:
      return insert + ": stop requested";
    case kEventPauseRequested:
      return insert + ": pause requested";
    case kEventContinueRequested:
      return insert + ": continue requested";
    case kEventShutdown:
      return insert + ": system shutdown";
    default:
      return insert;
  }
}

bool IsPendingState(uint32_t state) {
  return state == kServiceStartPending || state == kServiceStopPending ||
         state == kServiceContinuePending || state == kServicePausePending;
}

void SleepMs(uint32_t ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

// The first contact with the manager failed: which message and event
// belong to that. No such service: it "could not be opened"; systemctl
// missing or failing: the manager "could not be opened".
bool ManagerUnreachable(uint32_t error) {
  return error == kErrorServiceManagerFailed || error < 1000;
}

std::string ReadExecutablePath() {
  char buffer[PATH_MAX];
  ssize_t n = readlink("/proc/self/exe", buffer, sizeof buffer - 1);
  if (n <= 0) return std::string();
  return std::string(buffer, static_cast<size_t>(n));
}

}  // namespace

std::string ServiceMessageText(uint32_t number) {
  if (number >= sizeof kMessages / sizeof kMessages[0]) return std::string();
  return kMessages[number];
}

std::string FillMessage(const std::string& text, const std::vector<std::string>& inserts) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '%' && i + 1 < text.size() && text[i + 1] >= '1' && text[i + 1] <= '9') {
      size_t index = static_cast<size_t>(text[i + 1] - '1');
      if (index < inserts.size()) out += inserts[index];
      ++i;
    } else {
      out.push_back(text[i]);
    }
  }
  return out;
}

ServiceSystem ServiceSystem::FromEnvironment() {
  ServiceSystem system;
  system.manager = CreateSystemdServiceManager();
  system.event_log = CreateSystemEventLog();
  system.status = std::make_shared<SystemdStatusNotifier>();
  system.started_by_manager = StartedByServiceManager();
  system.executable_path = ReadExecutablePath();
  system.profile_path = SettingsStore::DefaultPath(HomeDirectory());
  return system;
}

CNTService::CNTService(ServiceSystem system, const std::string& service_name,
                       const std::string& display_name, uint32_t controls_accepted,
                       const std::string& description)
    : system_(std::move(system)),
      service_name_(service_name),
      master_service_name_(service_name),
      display_name_(display_name),
      master_display_name_(display_name),
      description_(description),
      master_description_(description),
      event_source_name_(display_name),
      controls_accepted_(controls_accepted) {
  if (!system_.manager || !system_.event_log || !system_.status) throw 0;
  CNTService* expected = nullptr;
  if (!g_service.compare_exchange_strong(expected, this)) throw 0;
}

CNTService::~CNTService() {
  control_watcher_.reset();
  g_service.store(nullptr);
}

CNTService* CNTService::Instance() { return g_service.load(); }

uint32_t CNTService::current_state() const {
  std::lock_guard<std::recursive_mutex> lock(status_mu_);
  return current_state_;
}

uint32_t CNTService::ExitCodeOf(uint32_t exit_code, uint32_t specific_exit_code) {
  return exit_code == kErrorServiceSpecificError ? specific_exit_code : exit_code;
}

// ---------------------------------------------------------------------------
// Profile

std::unique_ptr<SettingsStore> CNTService::OpenProfile(const char* section) {
  std::string key = kServicesKey + service_name_ + "\\Parameters";
  if (section != nullptr && *section != '\0') key += std::string("\\") + section;
  return SettingsStore::Open(system_.profile_path, key);
}

bool CNTService::WriteProfileString(const char* section, const char* entry, const char* value) {
  auto store = OpenProfile(section);
  if (!store) return false;
  if (entry == nullptr) return store->DeleteKey();
  if (value == nullptr) return store->DeleteValue(entry);
  return store->WriteString(entry, value);
}

bool CNTService::WriteProfileInt(const char* section, const char* entry, uint32_t value) {
  auto store = OpenProfile(section);
  return store && entry != nullptr && store->WriteDword(entry, value);
}

bool CNTService::WriteProfileStringArray(const char* section, const char* entry,
                                         const std::vector<std::string>& array) {
  auto store = OpenProfile(section);
  return store && entry != nullptr && store->WriteMultiString(entry, array);
}

bool CNTService::WriteProfileBinary(const char* section, const char* entry, const uint8_t* data,
                                    size_t size) {
  auto store = OpenProfile(section);
  if (!store || entry == nullptr || (data == nullptr && size != 0)) return false;
  return store->WriteBinary(entry, std::vector<uint8_t>(data, data + size));
}

std::string CNTService::GetProfileString(const char* section, const char* entry,
                                         const char* default_value, uint32_t* error) {
  const std::string fallback = default_value != nullptr ? default_value : "";
  auto store = OpenProfile(section);
  if (error != nullptr) *error = store ? 0 : static_cast<uint32_t>(errno);
  if (!store || entry == nullptr) return fallback;
  std::optional<std::string> value = store->ReadString(entry);
  if (!value && error != nullptr) *error = kErrorFileNotFound;
  return value.value_or(fallback);
}

uint32_t CNTService::GetProfileInt(const char* section, const char* entry, uint32_t default_value,
                                   uint32_t* error) {
  auto store = OpenProfile(section);
  if (error != nullptr) *error = store ? 0 : static_cast<uint32_t>(errno);
  if (!store || entry == nullptr) return default_value;
  std::optional<uint32_t> value = store->ReadDword(entry);
  if (!value && error != nullptr) *error = kErrorFileNotFound;
  return value.value_or(default_value);
}

bool CNTService::GetProfileStringArray(const char* section, const char* entry,
                                       std::vector<std::string>* array) {
  auto store = OpenProfile(section);
  if (!store || entry == nullptr) return false;
  std::optional<std::vector<std::string>> value = store->ReadMultiString(entry);
  if (!value) return false;
  *array = std::move(*value);
  return true;
}

bool CNTService::GetProfileBinary(const char* section, const char* entry,
                                  std::vector<uint8_t>* data) {
  auto store = OpenProfile(section);
  if (!store || entry == nullptr) return false;
  std::optional<std::vector<uint8_t>> value = store->ReadBinary(entry);
  if (!value) return false;
  *data = std::move(*value);
  return true;
}

// ---------------------------------------------------------------------------
// Commands

void CNTService::ParseArguments(int argc, const char* const* argv,
                                CNTServiceCommandLineInfo* info) {
  arguments_.clear();
  for (int i = 0; i < argc; ++i) arguments_.push_back(argv[i] != nullptr ? argv[i] : "");
  for (int i = 1; i < argc; ++i) {
    std::string param = argv[i] != nullptr ? argv[i] : "";
    bool is_switch = true;
    if (param.rfind("--", 0) == 0) {
      param.erase(0, 2);
    } else if (!param.empty() && (param[0] == '-' || param[0] == '/')) {
      param.erase(0, 1);
    } else {
      is_switch = false;
    }
    info->ParseParam(param, is_switch);
    WipeString(&param);  // it may hold the password
  }
}

void CNTService::ShowFailure(const std::string& message, bool silent) {
  ZV_LOG_E("%s\n", message.c_str());
  const std::string detail = manager().LastFailureText();
  if (!detail.empty()) ZV_LOG_E("Service manager: %s\n", detail.c_str());
  if (silent) return;
  // A terminal is the operator's only message box here.
  std::FILE* out = console_output_ ? stdout : stderr;
  std::fprintf(out, "%s\n", message.c_str());
  if (!detail.empty()) std::fprintf(out, "%s\n", detail.c_str());
}

uint32_t CNTService::RunCommand(CNTServiceCommandLineInfo& info) {
  if (allow_name_change_ && !info.service_name.empty()) service_name_ = info.service_name;
  if (allow_display_name_change_ && !info.display_name.empty()) {
    display_name_ = info.display_name;
    event_source_name_ = info.display_name;
  }
  if (allow_description_change_ && !info.description.empty()) description_ = info.description;

  uint32_t error = 0;
  std::string message;
  switch (info.command) {
    case CNTServiceCommandLineInfo::kRunAsService:
      error = RunDispatcher();
      break;
    case CNTServiceCommandLineInfo::kStartTheService:
    case CNTServiceCommandLineInfo::kPauseService:
    case CNTServiceCommandLineInfo::kContinueService:
    case CNTServiceCommandLineInfo::kStopService: {
      static constexpr StatusKind kKinds[] = {kToStart, kToPause, kToContinue, kToStop};
      static constexpr uint32_t kFailureMessages[] = {10, 13, 12, 11};
      const size_t index = info.command - CNTServiceCommandLineInfo::kStartTheService;
      if (!SetServiceToStatus(kKinds[index], &error, info.timeout_ms, kPollIntervalMs)) {
        ShowFailure(GetErrorMessage(kFailureMessages[index], error, false), info.silent);
      }
      break;
    }
    case CNTServiceCommandLineInfo::kInstallService: {
      image_path_ = system_.executable_path;
      if (image_path_.find(' ') != std::string::npos) image_path_ = "\"" + image_path_ + "\"";
      if (allow_name_change_ && !info.service_name.empty()) {
        image_path_ += " \"/SN:" + info.service_name + "\"";
      }
      if (allow_display_name_change_ && !info.display_name.empty()) {
        image_path_ += " \"/SDN:" + info.display_name + "\"";
      }
      if (allow_description_change_ && !info.description.empty()) {
        image_path_ += " \"/SD:" + info.description + "\"";
      }
      if (allow_command_line_ && !info.command_line.empty()) {
        image_path_ += " " + info.command_line;
      }
      account_ = info.user;
      password_ = info.password;
      info.WipeCredentials();
      if (info.auto_start) start_type_ = 2;
      if (!Install(&message, &error)) ShowFailure(message, info.silent);
      break;
    }
    case CNTServiceCommandLineInfo::kUninstallService:
      if (!Uninstall(&message, &error, info.timeout_ms)) ShowFailure(message, info.silent);
      break;
    case CNTServiceCommandLineInfo::kDebugService:
      try {
        RunAsApplication();
      } catch (const CNTServiceTerminateException& e) {
        error = ExitCodeOf(e.exit_code(), e.specific_exit_code());
      }
      break;
    case CNTServiceCommandLineInfo::kShowServiceHelp:
      ShowHelp();
      break;
  }
  return error;
}

// ---------------------------------------------------------------------------
// Status and controls

void CNTService::ReportStatus(uint32_t state, uint32_t check_point, uint32_t wait_hint,
                              uint32_t controls_accepted) {
  SetStatus(state, check_point, wait_hint, controls_accepted, 0, 0);
}

void CNTService::ReportStatus() {
  std::lock_guard<std::recursive_mutex> lock(status_mu_);
  // The same status again, the exit codes of a stopped service included.
  SetStatus(current_state_, kKeep, kKeep, kKeep, exit_code_, specific_exit_code_);
}

void CNTService::SetStatus(uint32_t state, uint32_t check_point, uint32_t wait_hint,
                           uint32_t controls_accepted, uint32_t exit_code,
                           uint32_t specific_exit_code) {
  std::lock_guard<std::recursive_mutex> lock(status_mu_);
  current_state_ = state;
  if (state == kServiceStopped || state == kServiceRunning || state == kServicePaused) {
    check_point_ = 0;
    wait_hint_ = 0;
  } else {
    if (check_point != kKeep) check_point_ = check_point;
    if (wait_hint != kKeep) wait_hint_ = wait_hint;
  }
  if (controls_accepted != kKeep) controls_accepted_ = controls_accepted;
  ServiceStatusReport report;
  report.state = state;
  report.check_point = check_point_;
  report.wait_hint = wait_hint_;
  report.accepted_controls = IsPendingState(state) ? 0 : controls_accepted_;
  if (state == kServiceStopped) {
    report.exit_code = exit_code;
    report.specific_exit_code = specific_exit_code;
    exit_code_ = exit_code;
    specific_exit_code_ = specific_exit_code;
  }
  if (status_handle_ != nullptr) status_handle_->Report(report);
}

void CNTService::ReportAlive() {
  std::lock_guard<std::recursive_mutex> lock(status_mu_);
  if (status_handle_ != nullptr) status_handle_->KeepAlive();
}

bool CNTService::RegisterControlHandler() {
  control_watcher_ = SignalWatcher::Start({SIGTERM}, [this](int) { HandleControl(kServiceControlStop); });
  if (!control_watcher_) {
    ZV_LOG_E("Register control handler failed!errno=%u\n", static_cast<unsigned>(errno));
    return false;
  }
  std::lock_guard<std::recursive_mutex> lock(status_mu_);
  status_handle_ = system_.status.get();
  return true;
}

uint32_t CNTService::HandleControl(uint32_t control, uint32_t event_type, void* event_data) {
  if (control == refused_control_) return kErrorCallNotImplemented;
  uint32_t result = 0;
  switch (control) {
    case kServiceControlStop:
      OnStop();
      break;
    case kServiceControlPause:
      OnPause();
      break;
    case kServiceControlContinue:
      OnContinue();
      break;
    case kServiceControlInterrogate:
      OnInterrogate();
      break;
    case kServiceControlShutdown:
      OnShutdown();
      break;
    case 6:
      OnParamChange();
      break;
    case 7:
      OnNetBindAdd();
      break;
    case 8:
      OnNetBindRemove();
      break;
    case 9:
      OnNetBindEnable();
      break;
    case 10:
      OnNetBindDisable();
      break;
    case 11:
      result = OnDeviceEvent(event_type, event_data);
      break;
    case 12:
      result = OnHardwareProfileChange(event_type, event_data);
      break;
    case 13:
      result = OnPowerEvent(event_type, event_data);
      break;
    default:
      OnOtherControl(control);
      break;
  }
  ReportStatus();
  return result;
}

void CNTService::ServiceMain(int, char**) {}

void CNTService::OnStop() {
  ReportEvent(EventType::kInformation, kEventStopRequested, display_name_);
}

void CNTService::OnPause() {
  ReportEvent(EventType::kInformation, kEventPauseRequested, display_name_);
}

void CNTService::OnContinue() {
  ReportEvent(EventType::kInformation, kEventContinueRequested, display_name_);
}

void CNTService::OnInterrogate() { ReportStatus(); }

void CNTService::OnShutdown() {
  ReportEvent(EventType::kInformation, kEventShutdown, display_name_);
}

void CNTService::OnParamChange() {}
uint32_t CNTService::OnHardwareProfileChange(uint32_t, void*) { return 0; }
uint32_t CNTService::OnPowerEvent(uint32_t, void*) { return 0; }
void CNTService::OnNetBindAdd() {}
void CNTService::OnNetBindRemove() {}
void CNTService::OnNetBindEnable() {}
void CNTService::OnNetBindDisable() {}
uint32_t CNTService::OnDeviceEvent(uint32_t, void*) { return 0; }
void CNTService::OnOtherControl(uint32_t) {}

// ---------------------------------------------------------------------------
// Running

uint32_t CNTService::RunDispatcher() {
  if (!system_.started_by_manager) return kErrorFailedServiceControllerConnect;
  std::vector<char*> argv;
  for (std::string& argument : arguments_) argv.push_back(argument.data());
  argv.push_back(nullptr);
  ServiceEntry(static_cast<int>(arguments_.size()), argv.data());
  std::lock_guard<std::recursive_mutex> lock(status_mu_);
  return ExitCodeOf(exit_code_, specific_exit_code_);
}

void CNTService::ServiceEntry(int argc, char** argv) {
  (void)RegisterControlHandler();
  uint32_t exit_code = 0;
  uint32_t specific_exit_code = 0;
  try {
    ServiceMain(argc, argv);
  } catch (const CNTServiceTerminateException& e) {
    exit_code = e.exit_code();
    specific_exit_code = e.specific_exit_code();
  }
  // No control may come after the last report: a stop still being handled
  // would report the status after it.
  control_watcher_.reset();
  SetStatus(kServiceStopped, 0, 0, 0, exit_code, specific_exit_code);
}

bool CNTService::SetServiceToStatus(StatusKind kind, uint32_t* error, uint32_t timeout_ms,
                                    uint32_t poll_interval_ms) {
  static constexpr uint32_t kTargets[] = {kServiceRunning, kServicePaused, kServiceRunning,
                                          kServiceStopped};
  static constexpr uint32_t kRequestMessages[] = {19, 21, 20, 22};
  static constexpr uint32_t kRequestEvents[] = {kEventStartFailed, kEventPauseFailed,
                                                kEventContinueFailed, kEventStopFailed};
  const uint32_t target = kTargets[kind];
  auto fail = [&](uint32_t message, uint32_t event_id, uint32_t code) {
    *error = code;
    ReportEvent(EventType::kError, event_id, GetErrorMessage(message, code, true));
    return false;
  };

  uint32_t state = 0;
  uint32_t code = manager().QueryState(service_name_, &state);
  if (code == kErrorServiceDoesNotExist) return fail(18, kEventOpenServiceFailed, code);
  if (code != 0 && ManagerUnreachable(code)) return fail(17, kEventOpenManagerFailed, code);
  if (code != 0) return fail(24, kEventQueryFailed, code);
  // A running service is "continued" only by a manager that can pause it;
  // systemd cannot, so continue is always put to it (and refused) rather
  // than reported done.
  if (state == target && kind != kToContinue) {
    *error = 0;
    return true;
  }

  switch (kind) {
    case kToStart:
      code = manager().Start(service_name_);
      break;
    case kToPause:
      code = manager().Control(service_name_, kServiceControlPause);
      break;
    case kToContinue:
      code = manager().Control(service_name_, kServiceControlContinue);
      break;
    case kToStop:
      code = manager().Stop(service_name_);
      break;
  }
  if (code != 0) return fail(kRequestMessages[kind], kRequestEvents[kind], code);

  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  for (;;) {
    code = manager().QueryState(service_name_, &state);
    if (code != 0) return fail(24, kEventQueryFailed, code);
    if (state == target) break;
    if (std::chrono::steady_clock::now() >= deadline) {
      return fail(23, kEventWaitFailed, kErrorServiceRequestTimeout);
    }
    SleepMs(poll_interval_ms);
  }
  *error = 0;
  return true;
}

bool CNTService::Install(std::string* message, uint32_t* error) {
  if (event_message_file_.empty()) {
    // Where an event log needs a file of message texts, it is the program
    // with the extension "DLL". The journal keeps each entry's text itself,
    // so the name is kept but nothing is registered under it.
    event_message_file_ = system_.executable_path;
    size_t slash = event_message_file_.rfind('/');
    size_t dot = event_message_file_.rfind('.');
    if (dot != std::string::npos && (slash == std::string::npos || dot > slash)) {
      event_message_file_.resize(dot + 1);
    } else {
      event_message_file_ += ".";
    }
    event_message_file_ += "DLL";
  }
  ServiceDefinition service;
  service.name = service_name_;
  service.display_name = display_name_;
  service.description = description_;
  service.command_line = image_path_;
  service.account = account_;
  service.dependencies = GetDependencyList();
  service.auto_start = start_type_ == 2;
  *error = manager().Install(service);
  // systemd runs the service as the account without a password; neither
  // is kept.
  WipeString(&service.account);
  WipeString(&account_);
  WipeString(&password_);
  if (*error != 0) {
    *message = GetErrorMessage(3, *error, false);
    return false;
  }
  ReportEvent(EventType::kInformation, kEventInstalled, display_name_);
  return true;
}

bool CNTService::Uninstall(std::string* message, uint32_t* error, uint32_t timeout_ms) {
  auto fail = [&](uint32_t number, uint32_t event_id, uint32_t code) {
    *error = code;
    *message = GetErrorMessage(number, code, false);
    if (event_id != 0) ReportEvent(EventType::kError, event_id, GetErrorMessage(number, code, true));
    return false;
  };
  uint32_t state = 0;
  uint32_t code = manager().QueryState(service_name_, &state);
  if (code == kErrorServiceDoesNotExist) return fail(6, kEventOpenServiceFailed, code);
  if (code != 0) return fail(5, kEventOpenManagerFailed, code);
  if (state != kServiceStopped) {
    code = manager().Stop(service_name_);
    if (code != 0) return fail(16, 0, code);
    const auto deadline =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    for (;;) {
      code = manager().QueryState(service_name_, &state);
      if (code != 0) return fail(7, 0, code);
      if (state == kServiceStopped) break;
      if (std::chrono::steady_clock::now() >= deadline) {
        return fail(7, 0, kErrorServiceRequestTimeout);
      }
      SleepMs(kPollIntervalMs);
    }
  }
  code = manager().Remove(service_name_);
  if (code != 0) return fail(8, kEventDeleteFailed, code);
  *error = 0;
  return true;
}

void CNTService::RunAsApplication() {
  static const char* const kDebugSwitches[] = {"-debug",       "/debug",       "-app",
                                               "/app",         "-application", "/application",
                                               "-console",     "/console"};
  std::vector<std::string> kept;
  for (size_t i = 0; i < arguments_.size(); ++i) {
    bool drop = false;
    for (const char* word : kDebugSwitches) {
      if (i > 0 && strcasecmp(arguments_[i].c_str(), word) == 0) drop = true;
    }
    if (!drop) kept.push_back(arguments_[i]);
  }
  std::vector<char*> argv;
  for (std::string& argument : kept) argv.push_back(argument.data());
  argv.push_back(nullptr);

  // Ctrl+C, Ctrl+\ (the terminal's "break"), the terminal going away and
  // a plain kill are the console's events 0, 1 and 2.
  control_watcher_ = SignalWatcher::Start({SIGINT, SIGQUIT, SIGHUP, SIGTERM}, [this](int signal) {
    (void)OnConsoleControl(signal == SIGINT ? 0 : signal == SIGQUIT ? 1 : 2);
  });
  if (!control_watcher_) {
    ZV_LOG_E("Install console handler failed!errno=%u\n", static_cast<unsigned>(errno));
  }
  try {
    ServiceMain(static_cast<int>(kept.size()), argv.data());
  } catch (...) {
    control_watcher_.reset();
    throw;
  }
  control_watcher_.reset();
}

bool CNTService::OnConsoleControl(uint32_t type) {
  if (type > 2) return false;
  OnStop();
  return true;
}

void CNTService::ShowHelp() {}

bool CNTService::ListInstances(std::vector<std::string>* names, uint32_t* error) {
  names->clear();
  std::vector<InstalledService> services;
  *error = manager().ListInstalled(&services);
  if (*error != 0) return false;
  char own[PATH_MAX];
  if (system_.executable_path.empty() || realpath(system_.executable_path.c_str(), own) == nullptr) {
    *error = static_cast<uint32_t>(errno != 0 ? errno : ENOENT);
    return false;
  }
  for (const InstalledService& service : services) {
    char resolved[PATH_MAX];
    if (service.executable.empty() || realpath(service.executable.c_str(), resolved) == nullptr) {
      continue;
    }
    if (std::string(resolved) == own) names->push_back(service.name);
  }
  return true;
}

// ---------------------------------------------------------------------------
// Messages and events

std::string CNTService::GetErrorMessage(uint32_t message, uint32_t error, bool for_event_log) {
  const uint32_t style = for_event_log ? event_log_message_style_ : error_message_style_;
  const std::string number = std::to_string(static_cast<int32_t>(error));
  const std::string text = ServiceMessageText(MapMessageNumber(message, error, for_event_log));
  switch (style) {
    case 0:
      return number;
    case 1:
      return FillMessage(ServiceMessageText(15), {FormatSystemMessage(error), number});
    case 2:
      return FormatSystemMessage(error);
    case 3:
      return FillMessage(text, {number});
    default:
      return FillMessage(text,
                         {FillMessage(ServiceMessageText(15), {FormatSystemMessage(error), number})});
  }
}

uint32_t CNTService::MapMessageNumber(uint32_t number, uint32_t, bool) { return number; }

uint32_t CNTService::MapEventId(uint32_t id) { return id; }

std::string CNTService::FormatSystemMessage(uint32_t error) {
  if (const char* text = ServiceErrorText(error)) return text;
  std::string text = FormatSystemError(error);
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
  return text;
}

std::vector<std::string> CNTService::GetDependencyList() { return dependencies_; }

void CNTService::ReportEvent(EventType type, uint32_t event_id, const std::string& insert) {
  if (!use_event_log_) return;
  std::lock_guard<std::recursive_mutex> lock(status_mu_);
  (void)system_.event_log->Report(event_source_name_, type, MapEventId(event_id),
                                  EventText(event_id, insert));
}

}  // namespace zv
