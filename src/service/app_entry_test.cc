#include "service/app_entry.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "service/status_screen.h"
#include "test_util.h"

namespace zv {
namespace {

RunMode Parse(std::vector<const char*> args) {
  args.insert(args.begin(), "Zentrovane.exe");
  return ParseRunMode(static_cast<int>(args.size()), args.data());
}

TEST(RunModeTest, OneArgumentModesWithAnyPrefixAndCase) {
  for (const char* arg : {"--guard", "-g", "/GUARD", "guard"}) {
    EXPECT_EQ(Parse({arg}), RunMode::kGuard) << arg;
  }
  for (const char* arg : {"/version", "-v", "VERSION", "--V"}) {
    EXPECT_EQ(Parse({arg}), RunMode::kVersion) << arg;
  }
  EXPECT_EQ(Parse({"update"}), RunMode::kUpdate);
}

TEST(RunModeTest, GuardWithAnotherSwitchIsNotTheWatchdog) {
  EXPECT_EQ(Parse({"-guard", "-debug"}), RunMode::kUnknown);
  EXPECT_EQ(Parse({"-app", "-version"}), RunMode::kUnknown);
}

TEST(RunModeTest, ApplicationSwitches) {
  for (const char* arg : {"-app", "/app", "--app", "-debug", "-console", "/Application", "-d",
                          "-A"}) {
    EXPECT_EQ(Parse({arg}), RunMode::kApplication) << arg;
  }
  // Plain words are ignored.
  EXPECT_EQ(Parse({"extra", "-app"}), RunMode::kApplication);
}

TEST(RunModeTest, NoArgumentsIsTheServiceManagerAndUnknownSwitchesAreRefused) {
  EXPECT_EQ(Parse({}), RunMode::kServiceManager);
  EXPECT_EQ(Parse({"-frobnicate"}), RunMode::kUnknown);
  EXPECT_EQ(Parse({"-?"}), RunMode::kHelp);
}

TEST(RunModeTest, VersionText) {
  EXPECT_STREQ(VersionText(), "Korvane ZVSync Server V3.2 build Dec 16 2010\n");
}

TEST(RunModeTest, ServiceManagerIsSeenInTheEnvironment) {
  ::zv::testing::ScopedEnv no_notify("NOTIFY_SOCKET", "");
  {
    ::zv::testing::ScopedEnv no_invocation("INVOCATION_ID", "");
    EXPECT_FALSE(StartedByServiceManager());
  }
  ::zv::testing::ScopedEnv invocation("INVOCATION_ID", "0123456789abcdef");
  EXPECT_TRUE(StartedByServiceManager());
}

TEST(StatusScreenTest, ShowsPanesColumnsAndTheLatestRows) {
  StatusModel model;
  model.SetPane(0, "2");
  model.SetPane(2, "T:5KB/s F:3KB/s");
  for (int i = 0; i < 50; ++i) {
    model.ShowRow("user-" + std::to_string(i), "10.0.0." + std::to_string(i), "User logged in!");
  }
  std::string screen = RenderStatusScreen(model, 80, 10);
  std::vector<std::string> lines;
  size_t start = 0;
  for (size_t end; (end = screen.find('\n', start)) != std::string::npos; start = end + 1) {
    lines.push_back(screen.substr(start, end - start));
  }
  ASSERT_EQ(lines.size(), 3u + 6u);  // title, panes, heads, six rows
  EXPECT_NE(lines[1].find("2"), std::string::npos);
  EXPECT_NE(lines[1].find("Idle"), std::string::npos);
  EXPECT_NE(lines[1].find("T:5KB/s F:3KB/s"), std::string::npos);
  EXPECT_EQ(lines[2].rfind("用户名", 0), 0u);
  EXPECT_NE(lines[2].find("IP"), std::string::npos);
  EXPECT_NE(lines[2].find("详细信息"), std::string::npos);
  // The rows end with the one updated last.
  EXPECT_EQ(lines.back().rfind("user-49", 0), 0u);
  EXPECT_EQ(lines[3].rfind("user-44", 0), 0u);
}

TEST(StatusScreenTest, ControlCharactersNeverReachTheTerminal) {
  StatusModel model;
  model.ShowRow("evil\x1b[2J-00000001", "1.2.3.4", "bell\a");
  std::string screen = RenderStatusScreen(model, 80, 10);
  EXPECT_EQ(screen.find('\x1b'), std::string::npos);
  EXPECT_EQ(screen.find('\a'), std::string::npos);
}

}  // namespace
}  // namespace zv
