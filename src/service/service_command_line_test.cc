#include "service/service_command_line.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "platform/fake_service_manager.h"
#include "service/nt_service.h"

namespace zv {
namespace {

class NullEventLog final : public EventLog {
 public:
  bool Report(const std::string&, EventType, uint32_t, const std::string&) override {
    return true;
  }
};

class NullStatus final : public ServiceStatusSink {
 public:
  void Report(const ServiceStatusReport&) override {}
  void KeepAlive() override {}
};

CNTServiceCommandLineInfo Parse(std::vector<const char*> args) {
  ServiceSystem system;
  system.manager = std::make_shared<FakeServiceManager>();
  system.event_log = std::make_shared<NullEventLog>();
  system.status = std::make_shared<NullStatus>();
  CNTService service(system, "Zentrovane", "Korvane Zentrovane", kServiceControlStop);
  args.insert(args.begin(), "Zentrovane.exe");
  CNTServiceCommandLineInfo info;
  service.ParseArguments(static_cast<int>(args.size()), args.data(), &info);
  return info;
}

using Cmd = CNTServiceCommandLineInfo::Command;

TEST(ServiceCommandLineTest, SwitchesTable) {
  struct Case {
    std::vector<const char*> args;
    Cmd command;
    uint32_t timeout_ms;
    bool auto_start;
    bool silent;
  };
  const Case cases[] = {
      {{}, Cmd::kRunAsService, 5000, false, false},
      {{"-install"}, Cmd::kInstallService, 5000, false, false},
      {{"/I", "--AUTO"}, Cmd::kInstallService, 5000, true, false},
      {{"-s"}, Cmd::kStartTheService, 5000, false, false},
      {{"-pause"}, Cmd::kPauseService, 5000, false, false},
      {{"/Continue"}, Cmd::kContinueService, 5000, false, false},
      {{"-T:20000", "-stop"}, Cmd::kStopService, 20000, false, false},
      {{"-e", "/t:7"}, Cmd::kStopService, 7, false, false},
      {{"-uninstall"}, Cmd::kUninstallService, 5000, false, false},
      {{"-u", "-silent"}, Cmd::kUninstallService, 5000, false, true},
      {{"-remove"}, Cmd::kUninstallService, 5000, false, false},
      {{"-console"}, Cmd::kDebugService, 5000, false, false},
      {{"-A"}, Cmd::kDebugService, 5000, false, false},
      {{"/?"}, Cmd::kShowServiceHelp, 5000, false, false},
      // The last command counts.
      {{"-install", "-remove"}, Cmd::kUninstallService, 5000, false, false},
      // Plain words, unknown switches and whole-word mismatches are ignored.
      {{"install", "-installer", "-frobnicate", "-stopping"}, Cmd::kRunAsService, 5000, false,
       false},
      // A time-out that is no number, or too big, is ignored.
      {{"-T:", "-stop"}, Cmd::kStopService, 5000, false, false},
      {{"-T:abc", "-stop"}, Cmd::kStopService, 5000, false, false},
      {{"-T:-1", "-stop"}, Cmd::kStopService, 5000, false, false},
      {{"-T:4294967296", "-stop"}, Cmd::kStopService, 5000, false, false},
      {{"-T:4294967295", "-stop"}, Cmd::kStopService, 4294967295u, false, false},
  };
  for (const Case& c : cases) {
    std::string label;
    for (const char* a : c.args) label += std::string(a) + " ";
    CNTServiceCommandLineInfo info = Parse(c.args);
    EXPECT_EQ(info.command, c.command) << label;
    EXPECT_EQ(info.timeout_ms, c.timeout_ms) << label;
    EXPECT_EQ(info.auto_start, c.auto_start) << label;
    EXPECT_EQ(info.silent, c.silent) << label;
  }
}

TEST(ServiceCommandLineTest, PrefixSwitchesKeepTheirTextAsWritten) {
  CNTServiceCommandLineInfo info =
      Parse({"-scl:Abc Def", "/Sn:Name", "-sdn:Display Name", "--sD:Words", "-u:Zv", "-p:Se:cret"});
  EXPECT_EQ(info.command_line, "Abc Def");
  EXPECT_EQ(info.service_name, "Name");
  EXPECT_EQ(info.display_name, "Display Name");
  EXPECT_EQ(info.description, "Words");
  EXPECT_EQ(info.user, "Zv");
  EXPECT_EQ(info.password, "Se:cret");
  EXPECT_EQ(info.command, Cmd::kRunAsService);  // "-u:Zv" is not "-u"

  // A prefix with nothing after it changes nothing.
  info = Parse({"-SCL:x", "-SCL:", "-U:", "-P:"});
  EXPECT_EQ(info.command_line, "x");
  EXPECT_EQ(info.user, "");
  EXPECT_EQ(info.password, "");
}

TEST(ServiceCommandLineTest, WipeCredentialsEmptiesBoth) {
  CNTServiceCommandLineInfo info = Parse({"-U:zv", "-P:secret"});
  info.WipeCredentials();
  EXPECT_TRUE(info.user.empty());
  EXPECT_TRUE(info.password.empty());
}

}  // namespace
}  // namespace zv
