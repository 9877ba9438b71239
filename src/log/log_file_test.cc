#include "log/log_file.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <regex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "test_util.h"

namespace zv {
namespace {

constexpr size_t kFileBytes = 4194304;

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

// A record laid out field by field from the format: module (20 bytes),
// code, 3 zero bytes, "hh:mm:ss" and NUL, 3 zero bytes, message (217
// bytes), 0, CR, LF.
std::string Record(const std::string& module, char code, const std::string& time,
                   const std::string& message) {
  std::string r = module.substr(0, 20) + std::string(20 - std::min<size_t>(20, module.size()), '\0');
  r += code;
  r += std::string(3, '\0');
  r += time + std::string(1, '\0');
  r += std::string(3, '\0');
  r += message.substr(0, 217) + std::string(217 - std::min<size_t>(217, message.size()), '\0');
  r += std::string("\0\r\n", 3);
  return r;
}

const std::string kSyncGbk("\xCD\xAC\xB2\xBD\xC6\xF7", 6);          // 同步器
const std::string kDiskGbk("\xB4\xC5\xC5\xCC\xD4\xA4\xBE\xAF", 8);  // 磁盘预警

class LogFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    log_.SetDirectoryForTesting(dir_);
    log_.SetClockForTesting([this] { return now_.load(); });
  }

  void TearDown() override {
    log_.SetClockForTesting(nullptr);
    log_.SetDirectoryForTesting(parking_.path());
  }

  std::string File(const std::string& name) { return testing::ReadFileBytes(dir_ + "/" + name); }

  CZvLogFile& log_ = CZvLogFile::Instance();
  testing::ScopedTempDir tmp_;
  testing::ScopedTempDir parking_;
  std::string dir_ = tmp_.Sub("log");
  std::atomic<time_t> now_{LocalTime(2010, 12, 11, 8, 9, 10)};
};

TEST_F(LogFileTest, KeepsTheLatestEntriesEvenWhenNoFileCanBeWritten) {
  log_.KeepRecent(2);
  ASSERT_EQ(0, ZV_OPLOG(kEventInfo, kModuleSync, "one"));
  // The folder is a file now: nothing reaches the disk, the view still
  // shows what happened.
  log_.SetDirectoryForTesting(tmp_.Sub("file"));
  testing::WriteFileBytes(tmp_.Sub("file"), "x");
  EXPECT_NE(0, ZV_OPLOG(kEventWarning, kModuleDisk, "two %d", 2));
  now_ = LocalTime(2010, 12, 11, 23, 59, 58);
  EXPECT_NE(0, ZV_OPLOG(kEventError, kModuleSync, "用户%s登陆信息校验失败(密码错误)!", "demo"));
  const std::vector<CZvLogFile::RecentEntry> recent = log_.Recent();
  log_.KeepRecent(0);
  ASSERT_EQ(recent.size(), 2u);
  EXPECT_EQ(recent[0].time, "08:09:10");
  EXPECT_EQ(recent[0].code, kEventWarning);
  EXPECT_EQ(recent[0].module, "磁盘预警");
  EXPECT_EQ(recent[0].text, "two 2");
  EXPECT_EQ(recent[1].time, "23:59:58");
  EXPECT_EQ(recent[1].text, "用户demo登陆信息校验失败(密码错误)!");
  EXPECT_TRUE(log_.Recent().empty());
}

TEST_F(LogFileTest, RecordBytesWrittenOutByHand) {
  ASSERT_EQ(0, log_.Write(kEventError, kModuleSync, "读取数据库配置文件失败!"));
  const std::string expected =
      std::string("\xCD\xAC\xB2\xBD\xC6\xF7", 6) + std::string(14, '\0') +  // module
      std::string("3\0\0\0", 4) +                                          // code
      std::string("08:09:10\0\0\0\0", 12) +                                // time
      std::string("\xB6\xC1\xC8\xA1\xCA\xFD\xBE\xDD\xBF\xE2\xC5\xE4\xD6\xC3\xCE\xC4"
                  "\xBC\xFE\xCA\xA7\xB0\xDC!",
                  23) +
      std::string(217 - 23, '\0') +  // message
      std::string("\0\x0D\x0A", 3);
  ASSERT_EQ(256u, expected.size());
  EXPECT_EQ(expected, File("20101211.log"));
}

TEST_F(LogFileTest, FormatArgumentsAndDiskModule) {
  ASSERT_EQ(0, log_.Write(kEventInfo, kModuleDisk, "用户%s登陆成功,IP地址:%u.%u.%u.%u!", "abc", 10u,
                          0u, 0u, 1u));
  const std::string message =
      "\xD3\xC3\xBB\xA7"
      "abc"
      "\xB5\xC7\xC2\xBD\xB3\xC9\xB9\xA6,IP\xB5\xD8\xD6\xB7:10.0.0.1!";
  EXPECT_EQ(Record(kDiskGbk, '1', "08:09:10", message), File("20101211.log"));
}

TEST_F(LogFileTest, PercentInArgumentWrittenLiterally) {
  ASSERT_EQ(0, log_.Write(kEventWarning, kModuleSync, "文件%s", "a%sb%d%%n"));
  EXPECT_EQ(Record(kSyncGbk, '2', "08:09:10", "\xCE\xC4\xBC\xFE" "a%sb%d%%n"), File("20101211.log"));
}

TEST_F(LogFileTest, UnconvertibleTextBecomesQuestionMarks) {
  // U+1F600 has no GBK code; 0xFF is no UTF-8 at all; a cut-off sequence
  // at the end is no character either.
  ASSERT_EQ(0, log_.Write(kEventInfo, "mod\xF0\x9F\x98\x80", "a\xFF" "b\xF0\x9F\x98\x80" "c\xE5\x90"));
  EXPECT_EQ(Record("mod?", '1', "08:09:10", "a?b?c??"), File("20101211.log"));
  EXPECT_EQ(kSyncGbk, ConvertUtf8ToGbk("同步器"));
  EXPECT_EQ("", ConvertUtf8ToGbk(""));
}

TEST_F(LogFileTest, ModuleOfTwentyBytesOrMoreHasNoTerminator) {
  ASSERT_EQ(0, log_.Write(kEventInfo, "ABCDEFGHIJKLMNOPQRSTUVWXYZ", "m"));
  const std::string record = File("20101211.log");
  ASSERT_EQ(256u, record.size());
  EXPECT_EQ("ABCDEFGHIJKLMNOPQRST1", record.substr(0, 21));
  ASSERT_EQ(0, log_.Write(kEventInfo, "ABCDEFGHIJKLMNOPQRST", "m"));
  EXPECT_EQ("ABCDEFGHIJKLMNOPQRST1", File("20101211.log").substr(256, 21));
}

TEST_F(LogFileTest, MessageCutTo217Bytes) {
  const std::string exact(217, 'x');
  ASSERT_EQ(0, log_.Write(kEventInfo, kModuleSync, "%s", exact.c_str()));
  ASSERT_EQ(0, log_.Write(kEventInfo, kModuleSync, "%s", std::string(300, 'y').c_str()));
  const std::string file = File("20101211.log");
  ASSERT_EQ(512u, file.size());
  EXPECT_EQ(exact, file.substr(36, 217));
  EXPECT_EQ('\0', file[253]);
  EXPECT_EQ(Record(kSyncGbk, '1', "08:09:10", std::string(217, 'y')), file.substr(256));
}

TEST_F(LogFileTest, CutCountsGbkBytes) {
  // 120 Chinese characters are 360 bytes of UTF-8 but 240 of GBK: the cut
  // keeps 108 whole characters and the first byte of the 109th.
  std::string text;
  for (int i = 0; i < 120; ++i) text += "同";
  ASSERT_EQ(0, log_.Write(kEventInfo, kModuleSync, "%s", text.c_str()));
  std::string expected;
  for (int i = 0; i < 108; ++i) expected += "\xCD\xAC";
  expected += "\xCD";
  EXPECT_EQ(Record(kSyncGbk, '1', "08:09:10", expected), File("20101211.log"));
}

TEST_F(LogFileTest, ExistingFileContinuedAtLastWholeRecord) {
  testing::WriteFileBytes(dir_ + "/20101211.log", std::string(1000, 'Z'));
  ASSERT_EQ(0, log_.Open());
  ASSERT_EQ(0, log_.Write(kEventInfo, kModuleSync, "next"));
  const std::string file = File("20101211.log");
  ASSERT_EQ(1024u, file.size());
  EXPECT_EQ(std::string(768, 'Z'), file.substr(0, 768));
  EXPECT_EQ(Record(kSyncGbk, '1', "08:09:10", "next"), file.substr(768));
}

// The crash handler's entry: prepared in advance, written later with only
// plain system calls, at the place a freshly opened log would write.
TEST_F(LogFileTest, PreparedEntryWritesWhereAFreshLogWould) {
  struct Case {
    size_t existing;  // bytes already in the day's file
    size_t offset;    // where the record must land
  };
  const Case cases[] = {{0, 0}, {1000, 768}, {kFileBytes, 0}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.existing);
    std::filesystem::remove_all(dir_);
    if (c.existing > 0) testing::WriteFileBytes(dir_ + "/20101231.log", std::string(c.existing, 'Z'));
    PreparedLogEntry entry;
    log_.PrepareEntry(kEventWarning, kModuleSync, "不能创建转储文件,错误号:", &entry);
    struct tm when = {};
    when.tm_year = 2010 - 1900;
    when.tm_mon = 11;
    when.tm_mday = 31;
    when.tm_hour = 23;
    when.tm_min = 5;
    when.tm_sec = 9;
    ASSERT_EQ(0, entry.Write(when, "0000000D"));
    const std::string file = File("20101231.log");
    ASSERT_EQ(std::max(c.existing - c.existing % 256, c.offset + 256), file.size());
    const std::string message =
        "\xB2\xBB\xC4\xDC\xB4\xB4\xBD\xA8\xD7\xAA\xB4\xA2\xCE\xC4\xBC\xFE,"
        "\xB4\xED\xCE\xF3\xBA\xC5:0000000D";
    EXPECT_EQ(Record(kSyncGbk, '2', "23:05:09", message), file.substr(c.offset, 256));
  }
  PreparedLogEntry unprepared;
  EXPECT_EQ(-1, unprepared.Write(tm{}, "x"));
}

TEST_F(LogFileTest, WriteOpensWhenNothingIsOpen) {
  testing::WriteFileBytes(dir_ + "/20101211.log", std::string(300, 'Z'));
  ASSERT_EQ(0, log_.Write(kEventInfo, kModuleSync, "next"));
  const std::string file = File("20101211.log");
  ASSERT_EQ(512u, file.size());
  EXPECT_EQ(std::string(256, 'Z'), file.substr(0, 256));
  EXPECT_EQ(Record(kSyncGbk, '1', "08:09:10", "next"), file.substr(256));
}

TEST_F(LogFileTest, FullFileContinuedAtStart) {
  testing::WriteFileBytes(dir_ + "/20101211.log", std::string(kFileBytes, 'Z'));
  ASSERT_EQ(0, log_.Write(kEventInfo, kModuleSync, "first"));
  const std::string file = File("20101211.log");
  ASSERT_EQ(kFileBytes, file.size());
  EXPECT_EQ(Record(kSyncGbk, '1', "08:09:10", "first"), file.substr(0, 256));
  EXPECT_EQ(std::string(kFileBytes - 256, 'Z'), file.substr(256));
}

TEST_F(LogFileTest, RingWrapsAfter16384Records) {
  for (int i = 0; i <= 16384; ++i) ASSERT_EQ(0, log_.Write(kEventInfo, kModuleSync, "%d", i));
  const std::string file = File("20101211.log");
  ASSERT_EQ(kFileBytes, file.size());
  EXPECT_EQ(Record(kSyncGbk, '1', "08:09:10", "16384"), file.substr(0, 256));
  EXPECT_EQ(Record(kSyncGbk, '1', "08:09:10", "1"), file.substr(256, 256));
  EXPECT_EQ(Record(kSyncGbk, '1', "08:09:10", "16383"), file.substr(kFileBytes - 256));
  ASSERT_EQ(0, log_.Write(kEventInfo, kModuleSync, "again"));
  EXPECT_EQ(kFileBytes, std::filesystem::file_size(dir_ + "/20101211.log"));
  EXPECT_EQ(Record(kSyncGbk, '1', "08:09:10", "again"), File("20101211.log").substr(256, 256));
}

TEST_F(LogFileTest, DaySwitchCreatesNewDaysFile) {
  now_ = LocalTime(2010, 12, 11, 23, 59, 59);
  ASSERT_EQ(0, log_.Write(kEventInfo, kModuleSync, "late"));
  now_ = LocalTime(2010, 12, 12, 0, 0, 1);
  ASSERT_EQ(0, log_.Write(kEventInfo, kModuleSync, "early"));
  EXPECT_EQ(Record(kSyncGbk, '1', "23:59:59", "late"), File("20101211.log"));
  EXPECT_EQ(Record(kSyncGbk, '1', "00:00:01", "early"), File("20101212.log"));
}

TEST_F(LogFileTest, SameDayOfAnotherMonthIsAnotherFile) {
  now_ = LocalTime(2010, 11, 11, 12, 0, 0);
  ASSERT_EQ(0, log_.Write(kEventInfo, kModuleSync, "november"));
  now_ = LocalTime(2010, 12, 11, 12, 0, 0);
  ASSERT_EQ(0, log_.Write(kEventInfo, kModuleSync, "december"));
  EXPECT_EQ(256u, File("20101111.log").size());
  EXPECT_EQ(256u, File("20101211.log").size());
}

TEST_F(LogFileTest, NoFileMeansMinusOneAndTen) {
  const std::string blocker = tmp_.Sub("blocker");
  testing::WriteFileBytes(blocker, "a file where the folder should be");
  log_.SetDirectoryForTesting(blocker + "/log");
  EXPECT_EQ(10, log_.Open());
  EXPECT_EQ(-1, log_.Write(kEventInfo, kModuleSync, "lost"));
  ASSERT_EQ(0, std::remove(blocker.c_str()));
  EXPECT_EQ(0, log_.Write(kEventInfo, kModuleSync, "kept"));
  EXPECT_EQ(Record(kSyncGbk, '1', "08:09:10", "kept"),
            testing::ReadFileBytes(blocker + "/log/20101211.log"));
}

TEST_F(LogFileTest, FailedWriteIsTwelveAndReopens) {
  std::filesystem::create_directories(dir_);
  // A full disk: the record cannot reach the file.
  ASSERT_EQ(0, ::symlink("/dev/full", (dir_ + "/20101211.log").c_str()));
  EXPECT_EQ(12, log_.Write(kEventInfo, kModuleSync, "lost"));
  EXPECT_EQ(12, log_.Write(kEventInfo, kModuleSync, "lost again"));
  ASSERT_EQ(0, std::remove((dir_ + "/20101211.log").c_str()));
  EXPECT_EQ(0, log_.Write(kEventInfo, kModuleSync, "kept"));
  EXPECT_EQ(Record(kSyncGbk, '1', "08:09:10", "kept"), File("20101211.log"));
}

TEST_F(LogFileTest, ConcurrentWritersKeepRecordsWhole) {
  constexpr int kThreads = 4;
  constexpr int kRecords = 500;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < kRecords; ++i) {
        EXPECT_EQ(0, log_.Write(kEventInfo, kModuleSync, "t%d-%d", t, i));
      }
    });
  }
  for (auto& thread : threads) thread.join();
  const std::string file = File("20101211.log");
  ASSERT_EQ(static_cast<size_t>(kThreads * kRecords) * 256, file.size());
  std::set<std::string> seen;
  for (size_t offset = 0; offset < file.size(); offset += 256) {
    const std::string record = file.substr(offset, 256);
    const std::string message = record.substr(36, record.find('\0', 36) - 36);
    EXPECT_EQ(Record(kSyncGbk, '1', "08:09:10", message), record);
    seen.insert(message);
  }
  EXPECT_EQ(static_cast<size_t>(kThreads * kRecords), seen.size());
}

}  // namespace
}  // namespace zv
