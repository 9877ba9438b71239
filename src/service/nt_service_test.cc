#include "service/nt_service.h"

#include <signal.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/fake_service_manager.h"
#include "test_util.h"

namespace zv {
namespace {

using ::zv::testing::ScopedTempDir;

struct RecordedEvent {
  std::string source;
  EventType type;
  uint32_t id;
  std::string text;
};

class RecordingEventLog final : public EventLog {
 public:
  bool Report(const std::string& source, EventType type, uint32_t event_id,
              const std::string& text) override {
    std::lock_guard<std::mutex> lock(mu);
    events.push_back({source, type, event_id, text});
    return true;
  }
  std::vector<uint32_t> Ids() {
    std::lock_guard<std::mutex> lock(mu);
    std::vector<uint32_t> ids;
    for (const RecordedEvent& e : events) ids.push_back(e.id);
    return ids;
  }
  std::mutex mu;
  std::vector<RecordedEvent> events;
};

class RecordingStatus final : public ServiceStatusSink {
 public:
  void Report(const ServiceStatusReport& status) override {
    std::lock_guard<std::mutex> lock(mu);
    reports.push_back(status);
  }
  void KeepAlive() override {
    std::lock_guard<std::mutex> lock(mu);
    ++keep_alives;
  }
  std::vector<uint32_t> States() {
    std::lock_guard<std::mutex> lock(mu);
    std::vector<uint32_t> states;
    for (const ServiceStatusReport& r : reports) states.push_back(r.state);
    return states;
  }
  std::mutex mu;
  std::vector<ServiceStatusReport> reports;
  int keep_alives = 0;
};

// A service whose handlers record their calls and whose run routine is a
// test's function.
class TestService final : public CNTService {
 public:
  using CNTService::CNTService;

  void ServiceMain(int argc, char** argv) override {
    if (main) main(argc, argv);
  }
  void OnStop() override {
    Record("OnStop");
    CNTService::OnStop();
    std::lock_guard<std::mutex> lock(mu);
    stopped = true;
    cv.notify_all();
  }
  void OnPause() override { Record("OnPause"); }
  void OnContinue() override { Record("OnContinue"); }
  void OnInterrogate() override { Record("OnInterrogate"); }
  void OnShutdown() override { Record("OnShutdown"); }
  void OnParamChange() override { Record("OnParamChange"); }
  void OnNetBindAdd() override { Record("OnNetBindAdd"); }
  void OnNetBindRemove() override { Record("OnNetBindRemove"); }
  void OnNetBindEnable() override { Record("OnNetBindEnable"); }
  void OnNetBindDisable() override { Record("OnNetBindDisable"); }
  uint32_t OnDeviceEvent(uint32_t, void*) override { return Record("OnDeviceEvent"), 11; }
  uint32_t OnHardwareProfileChange(uint32_t, void*) override {
    return Record("OnHardwareProfileChange"), 12;
  }
  uint32_t OnPowerEvent(uint32_t, void*) override { return Record("OnPowerEvent"), 13; }
  void OnOtherControl(uint32_t control) override {
    Record("OnOtherControl " + std::to_string(control));
  }

  // Waits (bounded) until OnStop has run.
  bool WaitForStop() {
    std::unique_lock<std::mutex> lock(mu);
    return cv.wait_for(lock, std::chrono::seconds(10), [&] { return stopped; });
  }
  std::vector<std::string> Handled() {
    std::lock_guard<std::mutex> lock(mu);
    return handled;
  }

  std::function<void(int, char**)> main;

 private:
  void Record(const std::string& name) {
    std::lock_guard<std::mutex> lock(mu);
    handled.push_back(name);
  }
  std::mutex mu;
  std::condition_variable cv;
  std::vector<std::string> handled;
  bool stopped = false;
};

class NtServiceTest : public ::testing::Test {
 protected:
  ServiceSystem System(const std::string& executable = "/opt/zv/Zentrovane.exe",
                       bool started_by_manager = false) {
    ServiceSystem system;
    system.manager = manager_;
    system.event_log = events_;
    system.status = status_;
    system.started_by_manager = started_by_manager;
    system.executable_path = executable;
    system.profile_path = dir_.Sub("registry.reg");
    return system;
  }

  static CNTServiceCommandLineInfo Parse(CNTService* service, std::vector<const char*> args) {
    args.insert(args.begin(), "Zentrovane.exe");
    CNTServiceCommandLineInfo info;
    service->ParseArguments(static_cast<int>(args.size()), args.data(), &info);
    return info;
  }

  ScopedTempDir dir_;
  std::shared_ptr<FakeServiceManager> manager_ = std::make_shared<FakeServiceManager>();
  std::shared_ptr<RecordingEventLog> events_ = std::make_shared<RecordingEventLog>();
  std::shared_ptr<RecordingStatus> status_ = std::make_shared<RecordingStatus>();
};

TEST_F(NtServiceTest, InstallTable) {
  struct Case {
    const char* executable;
    std::vector<const char*> args;
    bool allow_changes;  // SN:, SDN:, SD: (SCL: is always allowed here)
    const char* command_line;
    const char* name;
    const char* display_name;
    const char* account;
    bool auto_start;
  };
  const Case cases[] = {
      {"/opt/zv/Zentrovane.exe", {"-install"}, false, "/opt/zv/Zentrovane.exe", "Zentrovane",
       "Korvane Zentrovane", "", false},
      {"/opt/zv/Zentrovane.exe", {"-install", "-auto"}, false, "/opt/zv/Zentrovane.exe",
       "Zentrovane", "Korvane Zentrovane", "", true},
      {"/opt/zv/Zentrovane.exe", {"-install", "-SCL:abc"}, false, "/opt/zv/Zentrovane.exe abc",
       "Zentrovane", "Korvane Zentrovane", "", false},
      // A path with a blank is registered in quotes.
      {"/opt/z v/Zentrovane.exe", {"-i", "-SCL:abc"}, false, "\"/opt/z v/Zentrovane.exe\" abc",
       "Zentrovane", "Korvane Zentrovane", "", false},
      // Name changes are ignored unless allowed...
      {"/opt/zv/Zentrovane.exe", {"-install", "-SN:other", "-SDN:Other", "-SD:Words"}, false,
       "/opt/zv/Zentrovane.exe", "Zentrovane", "Korvane Zentrovane", "", false},
      // ...and when allowed they go into the command as well.
      {"/opt/zv/Zentrovane.exe", {"-install", "-SN:other", "-SDN:Other", "-SD:Words"}, true,
       "/opt/zv/Zentrovane.exe \"/SN:other\" \"/SDN:Other\" \"/SD:Words\"", "other", "Other", "",
       false},
      {"/opt/zv/Zentrovane.exe", {"-install", "-U:zv", "-P:secret"}, false,
       "/opt/zv/Zentrovane.exe", "Zentrovane", "Korvane Zentrovane", "zv", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.command_line);
    manager_->services.clear();
    events_->events.clear();
    TestService service(System(c.executable), "Zentrovane", "Korvane Zentrovane",
                        kServiceControlStop);
    service.set_allow_command_line(true);
    service.set_allow_name_change(c.allow_changes);
    service.set_allow_display_name_change(c.allow_changes);
    service.set_allow_description_change(c.allow_changes);
    CNTServiceCommandLineInfo info = Parse(&service, c.args);
    ASSERT_EQ(service.RunCommand(info), 0u);
    ASSERT_EQ(manager_->services.count(c.name), 1u);
    const FakeServiceManager::Service& installed = manager_->services[c.name];
    EXPECT_EQ(installed.definition.command_line, c.command_line);
    EXPECT_EQ(installed.definition.display_name, c.display_name);
    EXPECT_EQ(installed.definition.account, c.account);
    EXPECT_EQ(installed.enabled, c.auto_start);
    EXPECT_EQ(service.start_type(), c.auto_start ? 2u : 3u);
    // The account and the password are kept nowhere after the install.
    EXPECT_TRUE(service.account().empty());
    EXPECT_TRUE(service.password().empty());
    EXPECT_TRUE(info.user.empty());
    EXPECT_TRUE(info.password.empty());
    ASSERT_EQ(events_->events.size(), 1u);
    EXPECT_EQ(events_->events[0].id, kEventInstalled);
    EXPECT_EQ(events_->events[0].type, EventType::kInformation);
    EXPECT_EQ(events_->events[0].source, c.display_name);
  }
}

TEST_F(NtServiceTest, InstallOverAnInstalledServiceFails) {
  manager_->Add("Zentrovane");
  TestService service(System(), "Zentrovane", "Korvane Zentrovane", kServiceControlStop);
  std::string message;
  uint32_t error = 0;
  EXPECT_FALSE(service.Install(&message, &error));
  EXPECT_EQ(error, kErrorServiceExists);
  EXPECT_EQ(message,
            "CNTService::Install, Failed call to CreateService, Error:The specified service "
            "already exists., 1073");
  EXPECT_TRUE(events_->events.empty());
}

TEST_F(NtServiceTest, SetServiceToStatusTable) {
  using Kind = CNTService::StatusKind;
  struct Case {
    const char* name;
    bool installed;
    uint32_t state;
    bool never_stops;
    uint32_t fail_with;
    const char* fail_only;
    Kind kind;
    uint32_t error;
    uint32_t state_after;
    std::vector<uint32_t> events;
  };
  const Case cases[] = {
      {"start", true, kServiceStopped, false, 0, "", Kind::kToStart, 0, kServiceRunning, {}},
      {"stop", true, kServiceRunning, false, 0, "", Kind::kToStop, 0, kServiceStopped, {}},
      {"already running", true, kServiceRunning, false, 0, "", Kind::kToStart, 0,
       kServiceRunning, {}},
      {"never stops", true, kServiceRunning, true, 0, "", Kind::kToStop,
       kErrorServiceRequestTimeout, kServiceStopPending, {kEventWaitFailed}},
      {"pause", true, kServiceRunning, false, 0, "", Kind::kToPause, kErrorInvalidServiceControl,
       kServiceRunning, {kEventPauseFailed}},
      {"continue", true, kServiceRunning, false, 0, "", Kind::kToContinue,
       kErrorInvalidServiceControl, kServiceRunning, {kEventContinueFailed}},
      {"continue stopped", true, kServiceStopped, false, 0, "", Kind::kToContinue,
       kErrorInvalidServiceControl, kServiceStopped, {kEventContinueFailed}},
      {"not installed", false, 0, false, 0, "", Kind::kToStart, kErrorServiceDoesNotExist, 0,
       {kEventOpenServiceFailed}},
      {"manager fails", true, kServiceStopped, false, kErrorServiceManagerFailed, "",
       Kind::kToStart, kErrorServiceManagerFailed, kServiceStopped, {kEventOpenManagerFailed}},
      {"start refused", true, kServiceStopped, false, EACCES, "Start", Kind::kToStart, EACCES,
       kServiceStopped, {kEventStartFailed}},
      {"stop refused", true, kServiceRunning, false, EACCES, "Stop", Kind::kToStop, EACCES,
       kServiceRunning, {kEventStopFailed}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    manager_ = std::make_shared<FakeServiceManager>();
    events_->events.clear();
    if (c.installed) manager_->Add("Zentrovane", c.state).never_stops = c.never_stops;
    manager_->fail_with = c.fail_with;
    manager_->fail_only = c.fail_only;
    TestService service(System(), "Zentrovane", "Korvane Zentrovane", kServiceControlStop);
    uint32_t error = 12345;
    EXPECT_EQ(service.SetServiceToStatus(c.kind, &error, 200, 10), c.error == 0);
    EXPECT_EQ(error, c.error);
    if (c.installed) {
      EXPECT_EQ(manager_->services["Zentrovane"].state, c.state_after);
    }
    EXPECT_EQ(events_->Ids(), c.events);
    for (const RecordedEvent& event : events_->events) {
      EXPECT_EQ(event.type, EventType::kError);
      // The entry's text is the message in the event-log style: system
      // text and number.
      EXPECT_NE(event.text.find(", " + std::to_string(c.error)), std::string::npos) << event.text;
    }
  }
}

TEST_F(NtServiceTest, StopWaitsForTheNewStateInPolls) {
  manager_->Add("Zentrovane", kServiceRunning);
  manager_->pending_queries = 3;
  TestService service(System(), "Zentrovane", "Korvane Zentrovane", kServiceControlStop);
  uint32_t error = 0;
  ASSERT_TRUE(service.SetServiceToStatus(CNTService::kToStop, &error, 5000, 1));
  // One query before the request, then until the pending state ends.
  EXPECT_EQ(manager_->calls,
            (std::vector<std::string>{"QueryState Zentrovane", "Stop Zentrovane",
                                      "QueryState Zentrovane", "QueryState Zentrovane",
                                      "QueryState Zentrovane", "QueryState Zentrovane"}));
}

TEST_F(NtServiceTest, RemoveOfAServiceThatNeverStopsKeepsIt) {
  manager_->Add("Zentrovane", kServiceRunning).never_stops = true;
  TestService service(System(), "Zentrovane", "Korvane Zentrovane", kServiceControlStop);
  std::string message;
  uint32_t error = 0;
  EXPECT_FALSE(service.Uninstall(&message, &error, 300));
  EXPECT_EQ(error, kErrorServiceRequestTimeout);
  EXPECT_EQ(message,
            "CNTService::Uninstall, Failed call to WaitForStop, Error:The service did not "
            "respond to the start or control request in a timely fashion., 1053");
  EXPECT_EQ(manager_->services.count("Zentrovane"), 1u);
  EXPECT_NE(manager_->calls.back(), "Remove Zentrovane");
}

TEST_F(NtServiceTest, RemoveOfAnAbsentService) {
  TestService service(System(), "Zentrovane", "Korvane Zentrovane", kServiceControlStop);
  std::string message;
  uint32_t error = 0;
  EXPECT_FALSE(service.Uninstall(&message, &error, 300));
  EXPECT_EQ(error, kErrorServiceDoesNotExist);
  EXPECT_EQ(message.rfind("CNTService::Uninstall, Failed call to OpenService, Error:", 0), 0u);
  EXPECT_EQ(events_->Ids(), std::vector<uint32_t>{kEventOpenServiceFailed});
}

TEST_F(NtServiceTest, HandleControlDispatchTable) {
  struct Case {
    uint32_t control;
    const char* handler;
    uint32_t result;
  };
  const Case cases[] = {
      {1, "OnStop", 0},           {2, "OnPause", 0},
      {3, "OnContinue", 0},       {4, "OnInterrogate", 0},
      {5, "OnShutdown", 0},       {6, "OnParamChange", 0},
      {7, "OnNetBindAdd", 0},     {8, "OnNetBindRemove", 0},
      {9, "OnNetBindEnable", 0},  {10, "OnNetBindDisable", 0},
      {11, "OnDeviceEvent", 11},  {12, "OnHardwareProfileChange", 12},
      {13, "OnPowerEvent", 13},   {14, "OnOtherControl 14", 0},
      {200, "OnOtherControl 200", 0},
  };
  for (const Case& c : cases) {
    TestService service(System(), "Zentrovane", "Korvane Zentrovane", kServiceControlStop);
    ASSERT_TRUE(service.RegisterControlHandler());
    status_->reports.clear();
    EXPECT_EQ(service.HandleControl(c.control), c.result) << c.control;
    EXPECT_EQ(service.Handled(), std::vector<std::string>{c.handler}) << c.control;
    // Every control is answered with the current status.
    EXPECT_EQ(status_->reports.size(), 1u) << c.control;
  }
}

TEST_F(NtServiceTest, RefusedControlIsAnsweredWithoutDispatch) {
  TestService service(System(), "Zentrovane", "Korvane Zentrovane", kServiceControlStop);
  ASSERT_TRUE(service.RegisterControlHandler());
  service.set_refused_control(kServiceControlStop);
  status_->reports.clear();
  EXPECT_EQ(service.HandleControl(kServiceControlStop), CNTService::kErrorCallNotImplemented);
  EXPECT_TRUE(service.Handled().empty());
  EXPECT_TRUE(status_->reports.empty());
}

TEST_F(NtServiceTest, SetStatusTable) {
  constexpr uint32_t K = CNTService::kKeep;
  struct Case {
    uint32_t state, check_point, wait_hint, controls, exit_code, specific;
    ServiceStatusReport expected;  // state, accepted, check point, wait hint, exit, specific
  };
  // Applied in order to one service that accepts stop (1).
  const Case cases[] = {
      {kServiceStartPending, 1, 3000, K, 0, 0, {kServiceStartPending, 0, 1, 3000, 0, 0}},
      // Kept values stay; pending states report no controls.
      {kServiceStartPending, K, K, K, 0, 0, {kServiceStartPending, 0, 1, 3000, 0, 0}},
      {kServiceRunning, 5, 5, K, 7, 7, {kServiceRunning, 1, 0, 0, 0, 0}},
      {kServiceRunning, K, K, 3, 0, 0, {kServiceRunning, 3, 0, 0, 0, 0}},
      {kServiceStopPending, 2, K, K, 0, 0, {kServiceStopPending, 0, 2, 0, 0, 0}},
      // Exit codes are reported only with the stopped state.
      {kServiceStopped, 9, 9, 0, 1066, 1, {kServiceStopped, 0, 0, 0, 1066, 1}},
  };
  TestService service(System(), "Zentrovane", "Korvane Zentrovane", kServiceControlStop);
  ASSERT_TRUE(service.RegisterControlHandler());
  for (size_t i = 0; i < sizeof cases / sizeof cases[0]; ++i) {
    const Case& c = cases[i];
    status_->reports.clear();
    service.SetStatus(c.state, c.check_point, c.wait_hint, c.controls, c.exit_code, c.specific);
    ASSERT_EQ(status_->reports.size(), 1u) << i;
    const ServiceStatusReport& r = status_->reports[0];
    EXPECT_EQ(r.state, c.expected.state) << i;
    EXPECT_EQ(r.accepted_controls, c.expected.accepted_controls) << i;
    EXPECT_EQ(r.check_point, c.expected.check_point) << i;
    EXPECT_EQ(r.wait_hint, c.expected.wait_hint) << i;
    EXPECT_EQ(r.exit_code, c.expected.exit_code) << i;
    EXPECT_EQ(r.specific_exit_code, c.expected.specific_exit_code) << i;
  }
}

TEST_F(NtServiceTest, NoStatusIsReportedWithoutAHandle) {
  TestService service(System(), "Zentrovane", "Korvane Zentrovane", kServiceControlStop);
  service.ReportStatus(kServiceRunning);
  service.ReportAlive();
  EXPECT_TRUE(status_->reports.empty());
  EXPECT_EQ(status_->keep_alives, 0);
  EXPECT_EQ(service.current_state(), kServiceRunning);
}

TEST_F(NtServiceTest, ErrorMessageStyles) {
  struct Case {
    uint32_t style;
    const char* expected;
  };
  const Case cases[] = {
      {0, "1060"},
      {1, "The specified service does not exist as an installed service., 1060"},
      {2, "The specified service does not exist as an installed service."},
      {3, "Failed to start the service, Error:1060"},
      {4, "Failed to start the service, Error:The specified service does not exist as an "
          "installed service., 1060"},
  };
  TestService service(System(), "Zentrovane", "Korvane Zentrovane", kServiceControlStop);
  for (const Case& c : cases) {
    service.set_error_message_style(c.style);
    service.set_event_log_message_style(c.style == 4 ? 0 : 4);
    EXPECT_EQ(service.GetErrorMessage(10, kErrorServiceDoesNotExist, false), c.expected)
        << c.style;
    service.set_event_log_message_style(c.style);
    EXPECT_EQ(service.GetErrorMessage(10, kErrorServiceDoesNotExist, true), c.expected)
        << c.style;
  }
  // An errno has the system's own text.
  service.set_error_message_style(1);
  EXPECT_EQ(service.GetErrorMessage(10, EACCES, false), "Permission denied, 13");
  EXPECT_EQ(FillMessage("%1, %2 and %3 %%", {"a", "b"}), "a, b and  %%");
}

TEST_F(NtServiceTest, ProfileValuesLiveUnderTheServiceKey) {
  TestService service(System(), "Zentrovane", "Korvane Zentrovane", kServiceControlStop);
  ASSERT_TRUE(service.WriteProfileString("General", "Name", "value"));
  ASSERT_TRUE(service.WriteProfileInt("General", "Count", 42));
  ASSERT_TRUE(service.WriteProfileStringArray("General", "List", {"a", "b"}));
  const uint8_t bytes[] = {0, 1, 0xFF};
  ASSERT_TRUE(service.WriteProfileBinary("Other", "Blob", bytes, sizeof bytes));

  uint32_t error = 99;
  EXPECT_EQ(service.GetProfileString("General", "Name", "x", &error), "value");
  EXPECT_EQ(error, 0u);
  EXPECT_EQ(service.GetProfileInt("General", "Count", 7, &error), 42u);
  std::vector<std::string> list;
  ASSERT_TRUE(service.GetProfileStringArray("General", "List", &list));
  EXPECT_EQ(list, (std::vector<std::string>{"a", "b"}));
  std::vector<uint8_t> blob;
  ASSERT_TRUE(service.GetProfileBinary("Other", "Blob", &blob));
  EXPECT_EQ(blob, std::vector<uint8_t>(bytes, bytes + sizeof bytes));
  // The same entry name in another section is another value.
  EXPECT_EQ(service.GetProfileString("Other", "Name", "absent", &error), "absent");
  EXPECT_EQ(error, 2u);

  // No value deletes the entry; no entry deletes the section.
  ASSERT_TRUE(service.WriteProfileString("General", "Name", nullptr));
  EXPECT_EQ(service.GetProfileString("General", "Name", "gone"), "gone");
  EXPECT_EQ(service.GetProfileInt("General", "Count", 7), 42u);
  ASSERT_TRUE(service.WriteProfileString("General", nullptr, nullptr));
  EXPECT_EQ(service.GetProfileInt("General", "Count", 7), 7u);
  EXPECT_TRUE(service.GetProfileBinary("Other", "Blob", &blob));

  // The server's own settings share the file and stay apart.
  std::string file = ::zv::testing::ReadFileBytes(dir_.Sub("registry.reg"));
  EXPECT_NE(file.find("[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\Zentrovane\\"
                      "Parameters\\Other]"),
            std::string::npos)
      << file;
  EXPECT_EQ(file.find("General"), std::string::npos) << file;
}

TEST_F(NtServiceTest, RunAsApplicationDropsTheDebugSwitchesAndStopsOnCtrlC) {
  TestService service(System(), "Zentrovane", "Korvane Zentrovane", kServiceControlStop);
  std::vector<std::string> seen;
  service.main = [&](int argc, char** argv) {
    for (int i = 0; i < argc; ++i) seen.push_back(argv[i]);
    raise(SIGINT);
    EXPECT_TRUE(service.WaitForStop());
  };
  CNTServiceCommandLineInfo info =
      Parse(&service, {"-DEBUG", "keep", "/app", "-a", "/Console", "--app"});
  ASSERT_EQ(info.command, CNTServiceCommandLineInfo::kDebugService);
  EXPECT_EQ(service.RunCommand(info), 0u);
  // Only the exact forms "-x" and "/x" of the four long switches go.
  EXPECT_EQ(seen, (std::vector<std::string>{"Zentrovane.exe", "keep", "-a", "--app"}));
  EXPECT_EQ(service.Handled(), std::vector<std::string>{"OnStop"});
  // As an application nothing is reported to a service manager.
  EXPECT_TRUE(status_->reports.empty());
  // SIGINT has its old handler again.
  struct sigaction now = {};
  sigaction(SIGINT, nullptr, &now);
  EXPECT_EQ(now.sa_handler, SIG_DFL);
}

TEST_F(NtServiceTest, ApplicationEndingWithAnExceptionGivesItsCode) {
  TestService service(System(), "Zentrovane", "Korvane Zentrovane", kServiceControlStop);
  service.main = [](int, char**) { throw CNTServiceTerminateException(kErrorServiceSpecificError, 1); };
  CNTServiceCommandLineInfo info = Parse(&service, {"-app"});
  EXPECT_EQ(service.RunCommand(info), 1u);
}

TEST_F(NtServiceTest, UnderSystemdSigtermIsTheStopControl) {
  TestService service(System("/opt/zv/Zentrovane.exe", /*started_by_manager=*/true),
                      "Zentrovane", "Korvane Zentrovane", kServiceControlStop);
  service.main = [&](int, char**) {
    service.ReportStatus(kServiceRunning);
    raise(SIGTERM);
    EXPECT_TRUE(service.WaitForStop());
    throw CNTServiceTerminateException(kErrorServiceSpecificError, 3);
  };
  CNTServiceCommandLineInfo info = Parse(&service, {});
  // The service's own code becomes the process's.
  EXPECT_EQ(service.RunCommand(info), 3u);
  EXPECT_EQ(service.Handled(), std::vector<std::string>{"OnStop"});
  // Base OnStop writes its entry under the display name.
  EXPECT_EQ(events_->Ids(), std::vector<uint32_t>{kEventStopRequested});
  ASSERT_FALSE(status_->reports.empty());
  EXPECT_EQ(status_->States().front(), kServiceRunning);
  EXPECT_EQ(status_->reports.back().state, kServiceStopped);
  EXPECT_EQ(status_->reports.back().exit_code, kErrorServiceSpecificError);
  EXPECT_EQ(status_->reports.back().specific_exit_code, 3u);
}

TEST_F(NtServiceTest, OutsideSystemdTheDispatcherFails) {
  TestService service(System(), "Zentrovane", "Korvane Zentrovane", kServiceControlStop);
  bool ran = false;
  service.main = [&](int, char**) { ran = true; };
  CNTServiceCommandLineInfo info = Parse(&service, {"-frobnicate"});
  EXPECT_EQ(service.RunCommand(info), kErrorFailedServiceControllerConnect);
  EXPECT_FALSE(ran);
}

TEST_F(NtServiceTest, ListInstancesFindsUnitsThatRunThisProgram) {
  const std::string units = dir_.Sub("units");
  char self_path[4096] = {};
  ASSERT_GT(readlink("/proc/self/exe", self_path, sizeof self_path - 1), 0);
  const std::string self = self_path;
  const std::string link = dir_.Sub("link to server");
  ASSERT_EQ(symlink(self.c_str(), link.c_str()), 0);
  ::zv::testing::WriteFileBytes(units + "/a.service",
                                "[Service]\nExecStart=" + self + " -x\n");
  ::zv::testing::WriteFileBytes(units + "/b.service",
                                "[Service]\nExecStart=-" + QuoteUnitArgument(link) + "\n");
  ::zv::testing::WriteFileBytes(units + "/c.service", "[Service]\nExecStart=/bin/true\n");
  ::zv::testing::WriteFileBytes(units + "/d.service",
                                "[Unit]\nExecStart=" + self + "\n[Service]\nExecStartPre=" +
                                    self + "\nExecStart=/bin/sh\n");
  ::zv::testing::WriteFileBytes(units + "/e.timer", "[Service]\nExecStart=" + self + "\n");
  ServiceSystem system = System(self);
  system.manager = CreateSystemdServiceManager(units, "/nonexistent/systemctl");
  TestService service(system, "Zentrovane", "Korvane Zentrovane", kServiceControlStop);
  std::vector<std::string> names;
  uint32_t error = 1;
  ASSERT_TRUE(service.ListInstances(&names, &error));
  EXPECT_EQ(error, 0u);
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::string>{"a", "b"}));
}

}  // namespace
}  // namespace zv
