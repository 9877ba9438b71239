// The real server leaves a crash report in its home folder and still ends
// by the signal, so that systemd and the watchdog see a crash.
#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <regex>
#include <string>
#include <vector>

#include "e2e_util.h"

namespace zv::e2e {
namespace {

std::vector<std::string> Reports(const std::string& folder) {
  std::vector<std::string> paths;
  for (const auto& entry : std::filesystem::directory_iterator(folder)) {
    if (entry.path().extension() == ".dmp") paths.push_back(entry.path().string());
  }
  return paths;
}

TEST(CrashE2ETest, ASegmentationFaultLeavesAReportAndEndsByTheSignal) {
  // The server inherits the limit: the signal's default action leaves no
  // core file behind in the test's folder.
  struct rlimit core;
  ASSERT_EQ(0, getrlimit(RLIMIT_CORE, &core));
  core.rlim_cur = 0;
  ASSERT_EQ(0, setrlimit(RLIMIT_CORE, &core));

  ServerHome home;
  ServerProcess server(home);
  ASSERT_TRUE(server.Start()) << server.Output();
  server.process()->Kill(SIGSEGV);
  EXPECT_EQ(server.WaitExit(std::chrono::seconds(20)), 128 + SIGSEGV) << server.Output();

  const std::vector<std::string> reports = Reports(home.home());
  ASSERT_EQ(1u, reports.size());
  EXPECT_TRUE(std::regex_match(std::filesystem::path(reports[0]).filename().string(),
                               std::regex(R"(Zentrovane_\d{8}_\d{6}\.dmp)")));
  const std::string report = testing::ReadFileBytes(reports[0]);
  EXPECT_EQ(0u, report.find("Zentrovane crash report\n"
                            "Version: Korvane ZVSync Server V3.2 build Dec 16 2010\n"));
  EXPECT_NE(std::string::npos, report.find("\nSignal: 11 SIGSEGV\nCode: 0 SI_USER"));
  EXPECT_NE(std::string::npos,
            report.find("\nSent by: process " + std::to_string(getpid()) + ", user "));
  EXPECT_NE(std::string::npos, report.find(" MainThread\n")) << report.substr(0, 3000);
  EXPECT_NE(std::string::npos, report.find("/Zentrovane.exe\n"));  // in the maps
}

}  // namespace
}  // namespace zv::e2e
