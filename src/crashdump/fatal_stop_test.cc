#include "crashdump/fatal_stop.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <regex>
#include <string>
#include <vector>

#include "log/sync_log.h"
#include "test_util.h"

namespace zv {
namespace {

// Runs FatalStop in a child process and returns its wait status; the
// child's debug log goes to log_dir.
int RunFatalStopInChild(const std::string& log_dir, bool default_delay) {
  const pid_t pid = fork();
  if (pid == 0) {
    ZVSyncLog::Instance().SetLevel(0xFFFFFFFF);
    ZVSyncLog::Instance().SetDirectoryForTesting(log_dir);
    if (!default_delay) SetFatalStopDelayForTesting(0);
    FatalStop("cannot go on: %s %d\r\n\t ", "code", 7);
  }
  int status = -1;
  if (pid < 0 || waitpid(pid, &status, 0) != pid) return -1;
  return status;
}

// The content of the one file in dir.
std::string OnlyLogFile(const std::string& dir) {
  std::vector<std::string> paths;
  std::error_code ec;
  for (const auto& entry : std::filesystem::directory_iterator(dir, ec)) {
    paths.push_back(entry.path().string());
  }
  if (paths.size() != 1) return "<" + std::to_string(paths.size()) + " files>";
  return testing::ReadFileBytes(paths[0]);
}

const std::regex kStopLine(
    "\\d\\d:\\d\\d:\\d\\d fatal_stop\\.cc:\\d+ <C> \\{\\d+\\} "
    "Process will be terminated in 5 seconds,reason:cannot go on: code 7\n");

TEST(FatalStopTest, LogsReasonAndExitsWithZero) {
  testing::ScopedTempDir tmp;
  const int status = RunFatalStopInChild(tmp.Sub("debuglog"), false);
  ASSERT_TRUE(WIFEXITED(status)) << status;
  EXPECT_EQ(0, WEXITSTATUS(status));
  const std::string log = OnlyLogFile(tmp.Sub("debuglog"));
  EXPECT_TRUE(std::regex_match(log, kStopLine)) << log;
}

// The one test that takes the real five seconds.
TEST(FatalStopTest, DefaultWaitThenExitWithZero) {
  testing::ScopedTempDir tmp;
  const int status = RunFatalStopInChild(tmp.Sub("debuglog"), true);
  ASSERT_TRUE(WIFEXITED(status)) << status;
  EXPECT_EQ(0, WEXITSTATUS(status));
  EXPECT_TRUE(std::regex_match(OnlyLogFile(tmp.Sub("debuglog")), kStopLine));
}

}  // namespace
}  // namespace zv
