#include "processing_log.h"

#include <gtest/gtest.h>

namespace zv::bench {
namespace {

constexpr const char* kLog =
    "10:00:01 Unknown:880 <D> {41} Processing 20261208_1000_00100000_A.dat after 12.5ms\r\n"
    "10:00:01 Unknown:120 <D> {41} Load log table /x/20261208_1000_00100000_A.dat\r\n"
    "10:00:01 Unknown:888 <D> {42} Processing 20261208_1000_00100001_A.dat after 40.0ms\r\n"
    "10:00:02 Unknown:130 <D> {41} Processed 20261208_1000_00100000_A.dat: info 1.5ms, "
    "filelist 2.0ms, syncpos 3.25ms, loader 50.0ms\r\n"
    "10:00:02 Unknown:880 <I> {43} Processing user fleet's account info!\r\n"
    "10:00:02 Unknown:596 <D> {45} Login fleet-00100002: auth 4.5ms, syncpos 31.25ms\r\n"
    // processed, but its wait line was never seen (the log was emptied)
    "10:00:02 Unknown:130 <D> {44} Processed 20261208_1001_00100009_A.dat: info 1.0ms, "
    "filelist 1.0ms, syncpos 1.0ms, loader 1.0ms\r\n";

TEST(ProcessingLogTest, PairsEachFilesWaitWithItsStepsWhereverTheTextIsCut) {
  const std::string text = kLog;
  for (size_t piece : {text.size(), size_t{1}, size_t{7}, size_t{100}}) {
    ProcessingLog log;
    for (size_t at = 0; at < text.size(); at += piece) log.Feed(text.substr(at, piece));
    ASSERT_EQ(log.files().size(), 1u) << "piece " << piece;
    const ProcessingTimes& t = log.files()[0];
    EXPECT_DOUBLE_EQ(t.wait_ms, 12.5);
    EXPECT_DOUBLE_EQ(t.info_ms, 1.5);
    EXPECT_DOUBLE_EQ(t.list_ms, 2.0);
    EXPECT_DOUBLE_EQ(t.position_ms, 3.25);
    EXPECT_DOUBLE_EQ(t.loader_ms, 50.0);
    EXPECT_DOUBLE_EQ(t.held_ms(), 56.75);
    ASSERT_EQ(log.logins().size(), 1u);
    EXPECT_DOUBLE_EQ(log.logins()[0].auth_ms, 4.5);
    EXPECT_DOUBLE_EQ(log.logins()[0].position_ms, 31.25);
  }
}

TEST(ProcessingLogTest, ALineWithoutItsEndIsNotReadYet) {
  ProcessingLog log;
  log.Feed("1 x <D> {1} Processing a.dat after 1ms\n1 x <D> {1} Processed a.dat: info 1ms, "
           "filelist 1ms, syncpos 1ms, loader 9");
  EXPECT_TRUE(log.files().empty());
  log.Feed("ms\n");
  ASSERT_EQ(log.files().size(), 1u);
  EXPECT_DOUBLE_EQ(log.files()[0].loader_ms, 9);
}

}  // namespace
}  // namespace zv::bench
