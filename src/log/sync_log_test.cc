#include "log/sync_log.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "test_util.h"

namespace zv {
namespace {

time_t LocalTime(int year, int month, int day, int hour, int minute, int second) {
  struct tm t = {};
  t.tm_year = year - 1900;
  t.tm_mon = month - 1;
  t.tm_mday = day;
  t.tm_hour = hour;
  t.tm_min = minute;
  t.tm_sec = second;
  t.tm_isdst = -1;
  return mktime(&t);
}

std::vector<std::string> SplitLines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  std::string line;
  while (std::getline(in, line)) lines.push_back(line);
  return lines;
}

std::vector<std::string> FileNames(const std::string& folder) {
  std::vector<std::string> names;
  std::error_code ec;
  for (const auto& entry : std::filesystem::directory_iterator(folder, ec)) {
    names.push_back(entry.path().filename().string());
  }
  std::sort(names.begin(), names.end());
  return names;
}

std::string ThreadId() { return std::to_string(static_cast<long>(syscall(SYS_gettid))); }

// The one log of the process, pointed at a fresh folder and a clock the
// test sets.
class SyncLogTest : public ::testing::Test {
 protected:
  void SetUp() override {
    log_.SetDirectoryForTesting(dir_);
    log_.SetClockForTesting([this] { return now_.load(); });
    saved_level_ = log_.GetLevel();
    log_.SetLevel(0xFFFFFFFF);
  }

  void TearDown() override {
    log_.SetLevel(saved_level_);
    log_.SetClockForTesting(nullptr);
    log_.SetDirectoryForTesting(parking_.path());
  }

  std::string File(const std::string& name) { return testing::ReadFileBytes(dir_ + "/" + name); }

  ZVSyncLog& log_ = ZVSyncLog::Instance();
  testing::ScopedTempDir tmp_;
  testing::ScopedTempDir parking_;
  std::string dir_ = tmp_.Sub("debuglog");
  std::atomic<time_t> now_{LocalTime(2010, 12, 11, 8, 9, 10)};
  uint32_t saved_level_ = 0;
};

TEST_F(SyncLogTest, LineFormat) {
  const unsigned line = __LINE__ + 1;
  ZV_LOG_I("hello %d %s", 5, "world");
  EXPECT_EQ("08:09:10 sync_log_test.cc:" + std::to_string(line) + " <I> {" + ThreadId() +
                "} hello 5 world\n",
            File("20101211ZV.log"));
}

// A thread whose lines are deferred hands them to the log's writer: they
// keep their order and their thread, and are in the file once Flush
// returns.
TEST_F(SyncLogTest, DeferredLinesKeepTheirOrderAndThreadAndAreWrittenByFlush) {
  std::string tid;
  std::thread loop([&] {
    ZVSyncLog::DeferForThisThread(true);
    for (unsigned i = 1; i <= 200; ++i) log_.Write("x/loop.cc", i, kLogInfo, "deferred %u", i);
    ZVSyncLog::DeferForThisThread(false);
    tid = ThreadId();
  });
  loop.join();
  ZV_LOG_I("direct");  // a thread that does not defer writes at once
  ASSERT_TRUE(log_.Flush());
  const std::vector<std::string> lines = SplitLines(File("20101211ZV.log"));
  std::vector<std::string> deferred;
  for (const std::string& line : lines) {
    if (line.find("loop.cc:") != std::string::npos) deferred.push_back(line);
  }
  ASSERT_EQ(deferred.size(), 200u);
  for (unsigned i = 1; i <= 200; ++i) {
    EXPECT_EQ(deferred[i - 1], "08:09:10 loop.cc:" + std::to_string(i) + " <I> {" + tid +
                                   "} deferred " + std::to_string(i));
  }
  EXPECT_EQ(std::count_if(lines.begin(), lines.end(),
                          [](const std::string& l) { return l.find("} direct") != std::string::npos; }),
            1);
}

TEST_F(SyncLogTest, LevelLetters) {
  log_.Write("x/m.cc", 1, kLogCritical, "a");
  log_.Write("x/m.cc", 2, kLogError, "a");
  log_.Write("x/m.cc", 3, kLogWarning, "a");
  log_.Write("x/m.cc", 4, kLogInfo, "a");
  log_.Write("x/m.cc", 5, kLogDebug, "a");
  log_.Write("x/m.cc", 6, kLogProgress, "a");
  log_.Write("x/m.cc", 7, 0x40, "a");
  log_.Write("x/m.cc", 8, 0x03, "a");
  const std::vector<std::string> lines = SplitLines(File("20101211ZV.log"));
  ASSERT_EQ(8u, lines.size());
  const std::string letters = "CEWIDR  ";
  for (size_t i = 0; i < lines.size(); ++i) {
    EXPECT_NE(std::string::npos,
              lines[i].find("m.cc:" + std::to_string(i + 1) + " <" + letters[i] + "> {"))
        << lines[i];
  }
}

TEST_F(SyncLogTest, MaskZeroWritesNothingAndCreatesNoFolder) {
  log_.SetLevel(0);
  int evaluated = 0;
  ZV_LOG_C("x %d", ++evaluated);
  ZV_LOG_E("x %d", ++evaluated);
  ZV_LOG_W("x %d", ++evaluated);
  ZV_LOG_I("x %d", ++evaluated);
  ZV_LOG_D("x %d", ++evaluated);
  ZV_LOG_R("x %d", ++evaluated);
  EXPECT_EQ(0, evaluated);  // masked arguments are not even evaluated
  struct stat st;
  EXPECT_NE(0, ::stat(dir_.c_str(), &st));
}

TEST_F(SyncLogTest, MaskSelectsLevels) {
  log_.SetLevel(0x0A);
  ZV_LOG_C("critical");
  ZV_LOG_E("error");
  ZV_LOG_W("warning");
  ZV_LOG_I("info");
  ZV_LOG_D("debug");
  ZV_LOG_R("progress");
  const std::vector<std::string> lines = SplitLines(File("20101211ZV.log"));
  ASSERT_EQ(2u, lines.size());
  EXPECT_TRUE(std::regex_search(lines[0], std::regex("<E> \\{\\d+\\} error$"))) << lines[0];
  EXPECT_TRUE(std::regex_search(lines[1], std::regex("<I> \\{\\d+\\} info$"))) << lines[1];
}

TEST_F(SyncLogTest, TrailingWhiteSpaceStripped) {
  log_.Write("a/m.cc", 1, kLogInfo, "same\n");
  log_.Write("a/m.cc", 1, kLogInfo, "same");
  log_.Write("a/m.cc", 1, kLogInfo, "same \t\r\n");
  log_.Write("a/m.cc", 1, kLogInfo, "%s", "same\n\n\n\n");
  log_.Write("a/m.cc", 1, kLogInfo, "in\tside ok ");
  log_.Write("a/m.cc", 1, kLogInfo, " \n");
  const std::vector<std::string> lines = SplitLines(File("20101211ZV.log"));
  ASSERT_EQ(6u, lines.size());
  const std::string prefix = "08:09:10 m.cc:1 <I> {" + ThreadId() + "} ";
  for (int i = 0; i < 4; ++i) EXPECT_EQ(prefix + "same", lines[i]);
  EXPECT_EQ(prefix + "in\tside ok", lines[4]);
  EXPECT_EQ(prefix, lines[5]);
}

TEST_F(SyncLogTest, ModuleNameIsLastPathComponent) {
  log_.Write("./server/protocol/SyncClient", 7, kLogInfo, "a");
  log_.Write(".\\protocol\\SyncSocket", 8, kLogInfo, "b");
  log_.Write("NoSeparator.cc", 9, kLogInfo, "c");
  const std::vector<std::string> lines = SplitLines(File("20101211ZV.log"));
  ASSERT_EQ(3u, lines.size());
  EXPECT_NE(std::string::npos, lines[0].find(" SyncClient:7 <I>")) << lines[0];
  EXPECT_NE(std::string::npos, lines[1].find(" SyncSocket:8 <I>")) << lines[1];
  EXPECT_NE(std::string::npos, lines[2].find(" Unknown:9 <I>")) << lines[2];
}

TEST_F(SyncLogTest, MissingSourceOrFormatThrowsZero) {
  const char* null_text = nullptr;
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
#pragma GCC diagnostic ignored "-Wformat-security"
#pragma GCC diagnostic ignored "-Wformat"
  try {
    log_.Write(null_text, 1, kLogInfo, "x");
    ADD_FAILURE() << "no exception for a missing source";
  } catch (int code) {
    EXPECT_EQ(0, code);
  }
  try {
    log_.Write("a/m.cc", 1, kLogInfo, null_text);
    ADD_FAILURE() << "no exception for a missing format";
  } catch (int code) {
    EXPECT_EQ(0, code);
  }
#pragma GCC diagnostic pop
  EXPECT_FALSE(testing::FileExists(dir_ + "/20101211ZV.log"));
}

TEST_F(SyncLogTest, LongMessageWrittenWhole) {
  const std::string text(5000, 'q');
  log_.Write("a/m.cc", 1, kLogInfo, "%s!", text.c_str());
  const std::vector<std::string> lines = SplitLines(File("20101211ZV.log"));
  ASSERT_EQ(1u, lines.size());
  EXPECT_NE(std::string::npos, lines[0].find("} " + text + "!"));
}

TEST_F(SyncLogTest, DaySwitchGoesToTwoFiles) {
  now_ = LocalTime(2010, 12, 11, 23, 59, 59);
  ZV_LOG_I("late");
  now_ = LocalTime(2010, 12, 12, 0, 0, 1);
  ZV_LOG_I("early");
  const std::vector<std::string> first = SplitLines(File("20101211ZV.log"));
  const std::vector<std::string> second = SplitLines(File("20101212ZV.log"));
  ASSERT_EQ(1u, first.size());
  ASSERT_EQ(1u, second.size());
  EXPECT_TRUE(std::regex_match(first[0], std::regex("23:59:59 .* late")));
  EXPECT_TRUE(std::regex_match(second[0], std::regex("00:00:01 .* early")));
}

TEST_F(SyncLogTest, SameDayOfYearInAnotherYearIsAnotherFile) {
  now_ = LocalTime(2010, 12, 11, 10, 0, 0);
  ZV_LOG_I("one");
  now_ = LocalTime(2011, 12, 11, 10, 0, 0);  // same day of the year
  ZV_LOG_I("two");
  EXPECT_EQ(1u, SplitLines(File("20101211ZV.log")).size());
  EXPECT_EQ(1u, SplitLines(File("20111211ZV.log")).size());
}

TEST_F(SyncLogTest, PurgeKeepsSevenNewestBeforeOpening) {
  for (int day = 1; day <= 10; ++day) {
    char name[32];
    std::snprintf(name, sizeof(name), "/201012%02dZV.log", day);
    testing::WriteFileBytes(dir_ + name, "old\n");
  }
  testing::WriteFileBytes(dir_ + "/notes.txt", "keep");
  testing::WriteFileBytes(dir_ + "/2010120ZV.log", "keep: seven characters only");
  ZV_LOG_I("new day");
  std::vector<std::string> expected = {
      "20101204ZV.log", "20101205ZV.log", "20101206ZV.log", "20101207ZV.log", "20101208ZV.log",
      "20101209ZV.log", "20101210ZV.log", "20101211ZV.log", "2010120ZV.log",  "notes.txt"};
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(expected, FileNames(dir_));
  EXPECT_EQ(1u, SplitLines(File("20101211ZV.log")).size());
}

TEST_F(SyncLogTest, ExactlyFourMiBKeepsGrowingMoreIsEmptied) {
  const std::string prefix = "08:09:10 m.cc:1 <I> {" + ThreadId() + "} ";
  const std::string first = prefix + "first\n";
  // After the first line the file holds exactly 4 MiB.
  testing::WriteFileBytes(dir_ + "/20101211ZV.log", std::string(0x400000 - first.size(), 'o'));
  log_.Write("a/m.cc", 1, kLogInfo, "first");
  ASSERT_EQ(0x400000u, std::filesystem::file_size(dir_ + "/20101211ZV.log"));
  log_.Write("a/m.cc", 1, kLogInfo, "second");
  EXPECT_EQ(0x400000u + prefix.size() + 7, std::filesystem::file_size(dir_ + "/20101211ZV.log"));
  log_.Write("a/m.cc", 1, kLogInfo, "third");
  EXPECT_EQ(prefix + "third\n", File("20101211ZV.log"));
  log_.Write("a/m.cc", 1, kLogInfo, "fourth");
  EXPECT_EQ(prefix + "third\n" + prefix + "fourth\n", File("20101211ZV.log"));
}

TEST_F(SyncLogTest, UnopenableFolderDropsLineAndNextCallRetries) {
  const std::string blocker = tmp_.Sub("blocker");
  testing::WriteFileBytes(blocker, "a file where the folder should be");
  log_.SetDirectoryForTesting(blocker + "/debuglog");
  ZV_LOG_I("lost");
  ASSERT_EQ(0, std::remove(blocker.c_str()));
  ZV_LOG_I("kept");
  const std::vector<std::string> lines =
      SplitLines(testing::ReadFileBytes(blocker + "/debuglog/20101211ZV.log"));
  ASSERT_EQ(1u, lines.size());
  EXPECT_NE(std::string::npos, lines[0].find("} kept"));
}

TEST_F(SyncLogTest, ConcurrentWritersNeverInterleave) {
  constexpr int kThreads = 4;
  constexpr int kLines = 500;
  const std::string padding(300, 'p');
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < kLines; ++i) ZV_LOG_R("thread %d line %d %s", t, i, padding.c_str());
    });
  }
  for (auto& thread : threads) thread.join();
  const std::vector<std::string> lines = SplitLines(File("20101211ZV.log"));
  ASSERT_EQ(static_cast<size_t>(kThreads * kLines), lines.size());
  const std::regex whole("08:09:10 sync_log_test\\.cc:\\d+ <R> \\{\\d+\\} thread (\\d) line (\\d+) p{300}");
  std::set<std::pair<int, int>> seen;
  for (const std::string& line : lines) {
    std::smatch m;
    ASSERT_TRUE(std::regex_match(line, m, whole)) << line;
    seen.emplace(std::stoi(m[1]), std::stoi(m[2]));
  }
  EXPECT_EQ(static_cast<size_t>(kThreads * kLines), seen.size());
}

}  // namespace
}  // namespace zv
