#include "service/status_screen.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace zv {
namespace {

std::string Text(const ScreenLine& line) {
  std::string text;
  for (const ScreenSegment& segment : line) text += segment.text;
  return text;
}

// A busy server: many rows, one of them receiving a file, the lock held
// with two waiting, one disk short, one unreadable, a dozen log entries.
StatusModel BusyModel() {
  StatusModel model;
  model.SetPane(0, "3");
  for (int i = 0; i < 60; ++i) {
    model.ShowRow("user-" + std::to_string(i), "10.0.0." + std::to_string(i), "User logged in!");
  }
  model.ShowRow("user-7", "10.0.0.7", "Transfering 20101216_1530_00A1B2C3_A.dat(2048KB,50%)");
  model.ShowRow("user-8", "10.0.0.8", "Server error 14(FileCrcUnmatched)!");
  const auto t0 = std::chrono::steady_clock::time_point(std::chrono::seconds(1));
  const std::string file = "20101216_1530_00A1B2C3_A.dat";
  model.UpdateTransfers({{"user-7", file, 2097152, 0, 0}}, t0);
  model.UpdateTransfers({{"user-7", file, 2097152, 1048576, 1048576}},
                        t0 + std::chrono::seconds(1));
  model.SetProcessing({"user-1(10.0.0.1):Processing a.dat!", 12,
                       {"user-2(10.0.0.2):Processing b.dat!", "Disk monitor is running!"}});
  model.SetDisks({{"MYSQL安装磁盘", true, 3u << 30, 100ull << 30, true},
                  {"日志附件存放磁盘", false, 0, 0, false}});
  std::vector<StatusModel::LogLine> log;
  for (int i = 0; i < 12; ++i) {
    log.push_back({"10:00:0" + std::to_string(i % 10), kEventInfo, "同步器",
                   "用户demo登陆成功 " + std::to_string(i)});
  }
  log[10].code = kEventWarning;
  log[11].code = kEventError;
  model.SetRecentLog(log);
  return model;
}

TEST(StatusScreenLayoutTest, EveryLineFillsTheWidthAndTheLinesFitTheHeight) {
  const StatusModel model = BusyModel();
  struct Case {
    int width, height;
  } cases[] = {{20, 3}, {40, 6}, {80, 10}, {99, 15}, {100, 16}, {120, 30}, {200, 60}};
  for (const Case& c : cases) {
    const std::vector<ScreenLine> lines = LayoutStatusScreen(model, c.width, c.height);
    EXPECT_LT(lines.size(), static_cast<size_t>(std::max(c.height, 6)))
        << c.width << "x" << c.height;
    for (const ScreenLine& line : lines) {
      EXPECT_EQ(DisplayWidth(Text(line)), std::max(c.width, 40))
          << c.width << "x" << c.height << ": " << Text(line);
    }
  }
}

TEST(StatusScreenLayoutTest, WideTerminalShowsTransferLockDisksAndLog) {
  const std::vector<ScreenLine> lines = LayoutStatusScreen(BusyModel(), 120, 30);
  std::vector<std::string> text;
  for (const ScreenLine& line : lines) text.push_back(Text(line));
  ASSERT_EQ(lines.size(), 29u);  // the last line stays empty
  EXPECT_EQ(text[2].rfind("处理锁: user-1(10.0.0.1):Processing a.dat! (12s)  等待(2): "
                          "user-2(10.0.0.2):Processing b.dat!; Disk monitor is running!",
                          0),
            0u);
  EXPECT_EQ(text[3].rfind("磁盘: MYSQL安装磁盘 3.0GB可用/100.0GB 日志附件存放磁盘 ?", 0), 0u);
  EXPECT_EQ(lines[3][1].style, ScreenStyle::kError);  // short of the minimum
  EXPECT_EQ(lines[3][2].style, ScreenStyle::kError);  // unreadable
  // Rows 0 to 15 fit (the one updated last among them), then 7 log entries.
  EXPECT_NE(text[5 + 7].find(" 1.0MB/s    [#####     ]  50%  Transfering"), std::string::npos)
      << text[5 + 7];
  EXPECT_EQ(lines[5 + 8].back().style, ScreenStyle::kError);
  EXPECT_EQ(text[5 + 15].rfind("user-15 ", 0), 0u);
  EXPECT_EQ(text[21].rfind("操作日志", 0), 0u);
  EXPECT_EQ(text[22].rfind("10:00:05 同步器 用户demo登陆成功 5", 0), 0u);
  EXPECT_EQ(lines[27][0].style, ScreenStyle::kWarning);
  EXPECT_EQ(lines[28][0].style, ScreenStyle::kError);
}

TEST(StatusScreenLayoutTest, DisplayWidthOfTerminalCharacters) {
  struct Case {
    const char* text;
    int width;
  } cases[] = {{"用户名", 6}, {"ｱＡ", 3}, {"e\xcc\x81\xe2\x80\x94", 2},
               {"\xf0\x9f\x98\x80", 2}, {"\xff" "a", 2}, {"\xe4\xb8", 2}};
  for (const Case& c : cases) EXPECT_EQ(DisplayWidth(c.text), c.width) << c.text;
}

}  // namespace
}  // namespace zv
