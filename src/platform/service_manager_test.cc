#include "platform/service_manager.h"

#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "test_util.h"

namespace zv {
namespace {

using ::zv::testing::FileExists;
using ::zv::testing::ReadFileBytes;
using ::zv::testing::ScopedEnv;
using ::zv::testing::ScopedTempDir;
using ::zv::testing::WriteFileBytes;

TEST(UnitArgumentTest, QuotingTableAndRoundTrip) {
  struct Case {
    std::string argument;
    std::string quoted;
  };
  const Case cases[] = {
      {"abc", "abc"},
      {"/opt/zv/Zentrovane.exe", "/opt/zv/Zentrovane.exe"},
      {"/opt/z v/Zentrovane.exe", "\"/opt/z v/Zentrovane.exe\""},
      {"100%", "100%%"},         // a specifier otherwise
      {"$HOME", "$$HOME"},       // a variable otherwise
      {"a\"b", "\"a\\\"b\""},
      {"a\\b", "\"a\\\\b\""},
      {"it's", "\"it's\""},
      {"", "\"\""},
      {";", "\";\""},            // a lone ; would end the command
      {"line\nbreak", "\"line\\x0abreak\""},
      {"tab\there", "\"tab\\x09here\""},
      {"中文", "中文"},
  };
  std::string line;
  std::vector<std::string> all;
  for (const Case& c : cases) {
    EXPECT_EQ(QuoteUnitArgument(c.argument), c.quoted) << c.argument;
    EXPECT_EQ(SplitUnitCommandLine(c.quoted), std::vector<std::string>{c.argument}) << c.quoted;
    line += (line.empty() ? "" : " ") + c.quoted;
    all.push_back(c.argument);
  }
  EXPECT_EQ(SplitUnitCommandLine(line), all);
  EXPECT_EQ(SplitUnitCommandLine("  a\t 'b c'  "), (std::vector<std::string>{"a", "b c"}));
}

// The systemd manager against the fake systemctl, which records its calls
// and keeps the units' states in a folder of its own.
class SystemdServiceManagerTest : public ::testing::Test {
 protected:
  SystemdServiceManagerTest()
      : unit_env_("ZENTROVANE_UNIT_DIR", dir_.Sub("units")),
        fake_env_("FAKE_SYSTEMCTL_DIR", dir_.Sub("fake")) {
    mkdir(dir_.Sub("units").c_str(), 0755);
    mkdir(dir_.Sub("fake").c_str(), 0755);
    manager_ = CreateSystemdServiceManager(dir_.Sub("units/"), ZV_FAKE_SYSTEMCTL);
  }

  std::vector<std::string> Calls() const {
    std::vector<std::string> calls;
    std::string text = FileExists(dir_.Sub("fake/calls")) ? ReadFileBytes(dir_.Sub("fake/calls"))
                                                          : std::string();
    size_t start = 0;
    for (size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1) {
      calls.push_back(text.substr(start, end - start));
    }
    return calls;
  }
  std::string UnitPath() const { return dir_.Sub("units/Zentrovane.service"); }
  void SetState(const std::string& state) {
    WriteFileBytes(dir_.Sub("fake/Zentrovane.service.state"), state + "\n");
  }
  ServiceDefinition Basic() const {
    ServiceDefinition service;
    service.name = "Zentrovane";
    service.display_name = "Korvane Zentrovane";
    service.command_line = "/opt/zv/Zentrovane.exe";
    return service;
  }

  ScopedTempDir dir_;
  ScopedEnv unit_env_;
  ScopedEnv fake_env_;
  std::unique_ptr<ServiceManager> manager_;
};

TEST_F(SystemdServiceManagerTest, InstallWritesTheUnitEnablesAndReloads) {
  ServiceDefinition service = Basic();
  service.description = "Receives\nuploads";
  service.command_line = "\"/opt/z v/Zentrovane.exe\" abc 50%";
  service.account = "zv";
  service.dependencies = {"dep", "other.target"};
  service.auto_start = true;
  ASSERT_EQ(manager_->Install(service), 0u) << manager_->LastFailureText();
  EXPECT_EQ(ReadFileBytes(UnitPath()),
            "# Receives uploads\n"
            "[Unit]\n"
            "Description=Korvane Zentrovane\n"
            "After=network.target mariadb.service dep.service other.target\n"
            "Wants=dep.service other.target\n"
            "\n"
            "[Service]\n"
            "Type=notify\n"
            "ExecStart=\"/opt/z v/Zentrovane.exe\" abc 50%%\n"
            "Restart=on-failure\n"
            "WatchdogSec=60\n"
            "User=zv\n"
            "\n"
            "[Install]\n"
            "WantedBy=multi-user.target\n");
  struct stat st;
  ASSERT_EQ(stat(UnitPath().c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0644u);
  EXPECT_EQ(Calls(), (std::vector<std::string>{"enable Zentrovane.service", "daemon-reload"}));
  // Nothing but the unit is left in the folder.
  std::vector<InstalledService> installed;
  ASSERT_EQ(manager_->ListInstalled(&installed), 0u);
  ASSERT_EQ(installed.size(), 1u);
  EXPECT_EQ(installed[0].name, "Zentrovane");
  EXPECT_EQ(installed[0].executable, "/opt/z v/Zentrovane.exe");
}

TEST_F(SystemdServiceManagerTest, InstallWithoutAutoOnlyReloads) {
  ASSERT_EQ(manager_->Install(Basic()), 0u);
  EXPECT_EQ(Calls(), std::vector<std::string>{"daemon-reload"});
  std::string unit = ReadFileBytes(UnitPath());
  EXPECT_EQ(unit.find("User="), std::string::npos);
  EXPECT_NE(unit.find("ExecStart=/opt/zv/Zentrovane.exe\n"), std::string::npos) << unit;
}

TEST_F(SystemdServiceManagerTest, InstallRefusesWhatWouldBreakTheUnit) {
  struct Case {
    const char* what;
    std::string name;
    std::string account;
    std::string command_line;
    std::vector<std::string> dependencies;
    uint32_t error;
  };
  const Case cases[] = {
      {"path in the name", "../evil", "", "/bin/x", {}, EINVAL},
      {"empty name", "", "", "/bin/x", {}, EINVAL},
      {"blank in the name", "a b", "", "/bin/x", {}, EINVAL},
      {"option as name", "-x", "", "/bin/x", {}, EINVAL},
      {"line in the account", "Zentrovane", "zv\nExecStartPre=/bin/sh", "/bin/x", {},
       kErrorInvalidServiceAccount},
      {"domain account", "Zentrovane", "DOMAIN\\zv", "/bin/x", {}, kErrorInvalidServiceAccount},
      {"bad dependency", "Zentrovane", "", "/bin/x", {"a b"}, EINVAL},
      {"relative program", "Zentrovane", "", "Zentrovane.exe", {}, EINVAL},
      {"no program", "Zentrovane", "", "", {}, EINVAL},
  };
  for (const Case& c : cases) {
    ServiceDefinition service = Basic();
    service.name = c.name;
    service.account = c.account;
    service.command_line = c.command_line;
    service.dependencies = c.dependencies;
    EXPECT_EQ(manager_->Install(service), c.error) << c.what;
  }
  std::vector<InstalledService> installed;
  ASSERT_EQ(manager_->ListInstalled(&installed), 0u);
  EXPECT_TRUE(installed.empty());
  EXPECT_TRUE(Calls().empty());
}

TEST_F(SystemdServiceManagerTest, InstallNeverReplacesAUnit) {
  WriteFileBytes(UnitPath(), "mine\n");
  EXPECT_EQ(manager_->Install(Basic()), kErrorServiceExists);
  EXPECT_EQ(ReadFileBytes(UnitPath()), "mine\n");
  EXPECT_TRUE(Calls().empty());
}

TEST_F(SystemdServiceManagerTest, FailedReloadTakesTheUnitBack) {
  WriteFileBytes(dir_.Sub("fake/fail"), "");
  ServiceDefinition service = Basic();
  service.auto_start = true;
  EXPECT_EQ(manager_->Install(service), kErrorServiceManagerFailed);
  EXPECT_FALSE(FileExists(UnitPath()));
  EXPECT_NE(manager_->LastFailureText().find("Can't operate"), std::string::npos)
      << manager_->LastFailureText();
  // A second try once the manager works succeeds.
  unlink(dir_.Sub("fake/fail").c_str());
  EXPECT_EQ(manager_->Install(service), 0u);
}

TEST_F(SystemdServiceManagerTest, QueryStateTable) {
  struct Case {
    const char* active_state;
    uint32_t result;
    uint32_t state;
  };
  const Case cases[] = {
      {"active", 0, kServiceRunning},
      {"reloading", 0, kServiceRunning},
      {"activating", 0, kServiceStartPending},
      {"deactivating", 0, kServiceStopPending},
      {"inactive", 0, kServiceStopped},
      {"failed", 0, kServiceStopped},
      {"bogus", kErrorServiceManagerFailed, 0},
  };
  uint32_t state = 0;
  EXPECT_EQ(manager_->QueryState("Zentrovane", &state), kErrorServiceDoesNotExist);
  ASSERT_EQ(manager_->Install(Basic()), 0u);
  for (const Case& c : cases) {
    SetState(c.active_state);
    state = 0;
    EXPECT_EQ(manager_->QueryState("Zentrovane", &state), c.result) << c.active_state;
    EXPECT_EQ(state, c.state) << c.active_state;
  }
  EXPECT_EQ(Calls().back(), "show --property=LoadState,ActiveState Zentrovane.service");
}

TEST_F(SystemdServiceManagerTest, RemoveDisablesDeletesAndReloads) {
  EXPECT_EQ(manager_->Remove("Zentrovane"), kErrorServiceDoesNotExist);
  EXPECT_TRUE(Calls().empty());
  ASSERT_EQ(manager_->Install(Basic()), 0u);
  ASSERT_EQ(manager_->Remove("Zentrovane"), 0u);
  EXPECT_FALSE(FileExists(UnitPath()));
  EXPECT_EQ(Calls(), (std::vector<std::string>{"daemon-reload", "disable Zentrovane.service",
                                               "daemon-reload"}));
}

TEST_F(SystemdServiceManagerTest, MissingSystemctlIsReported) {
  auto manager = CreateSystemdServiceManager(dir_.Sub("units"), dir_.Sub("no/systemctl"));
  uint32_t state = 0;
  EXPECT_EQ(manager->QueryState("Zentrovane", &state), static_cast<uint32_t>(ENOENT));
  EXPECT_NE(manager->LastFailureText().find("No such file"), std::string::npos);
}

TEST(ServiceErrorTextTest, OnlyServiceCodesHaveText) {
  EXPECT_EQ(ServiceErrorText(EACCES), nullptr);
  EXPECT_EQ(ServiceErrorText(0), nullptr);
  EXPECT_STREQ(ServiceErrorText(kErrorServiceExists), "The specified service already exists.");
}

}  // namespace
}  // namespace zv
