#include "crashdump/mini_dump.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <regex>
#include <string>
#include <vector>

#include "crashdump/crash_test_util.h"
#include "test_util.h"

namespace zv {
namespace {

using ::testing::HasSubstr;

class MiniDumpTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(setup_.Prepare(dir_.path() + "/", "test version 7\n")); }

  void Touch(const std::string& name) { testing::WriteFileBytes(dir_.Sub(name), "old"); }

  testing::ScopedTempDir dir_;
  DumpSetup setup_;
};

// Old reports and look-alikes in the folder before a new report's path is
// made, and which of them go, in the order they must go.
TEST_F(MiniDumpTest, PrunesToTheFourNewestOldReports) {
  struct Case {
    const char* what;
    std::vector<std::string> files;
    std::vector<std::string> folders;
    std::vector<std::string> deleted;
    bool record_unwritable = false;
  };
  const std::vector<std::string> six = {
      "Zentrovane_20200101_000005.dmp", "Zentrovane_20200101_000001.dmp",
      "Zentrovane_20200101_000003.dmp", "Zentrovane_20191231_235959.dmp",
      "Zentrovane_20200101_000002.dmp", "Zentrovane_20200101_000004.dmp"};
  const std::vector<std::string> four(six.begin() + 2, six.end());
  auto plus = [](std::vector<std::string> a, const std::vector<std::string>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
  };
  const Case cases[] = {
      {"six old reports: the two oldest go", six, {},
       {"Zentrovane_20191231_235959.dmp", "Zentrovane_20200101_000001.dmp"}},
      {"four old reports stay", four, {}, {}},
      {"another program's file sorts first and goes",
       plus(four, {"A_20991231_235959.dmp"}), {}, {"A_20991231_235959.dmp"}},
      {"letter case of the extension does not matter",
       plus(four, {"Zentrovane_20000101_000000.DMP"}), {}, {"Zentrovane_20000101_000000.DMP"}},
      {"folders and other names do not count",
       plus(four, {"Zentrovane_2000.dmp", "Zentrovane_20000101_000000.dmp.txt"}),
       {"Zentrovane_19990101_000000.dmp"}, {}},
      {"a record that cannot be opened does not stop a deletion", six, {},
       {"Zentrovane_20191231_235959.dmp", "Zentrovane_20200101_000001.dmp"}, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::filesystem::remove_all(dir_.path());
    std::filesystem::create_directories(dir_.path());
    for (const std::string& name : c.files) Touch(name);
    for (const std::string& name : c.folders) std::filesystem::create_directory(dir_.Sub(name));
    if (c.record_unwritable) std::filesystem::create_directory(dir_.Sub("deleted_dumps.lst"));

    quennlib::MiniDump dump(setup_);
    char path[quennlib::MiniDump::kPathChars];
    ASSERT_EQ(0, dump.MakeDumpPath("Zentrovane", path, sizeof(path)));
    EXPECT_TRUE(std::regex_match(path, std::regex(dir_.path() + "/Zentrovane_\\d{8}_\\d{6}\\.dmp")))
        << path;

    std::vector<std::string> expected = c.files;
    for (const std::string& name : c.deleted) std::erase(expected, name);
    std::sort(expected.begin(), expected.end());
    std::vector<std::string> left;
    for (const auto& entry : std::filesystem::directory_iterator(dir_.path())) {
      const std::string name = entry.path().filename().string();
      if (entry.is_regular_file() && name != "deleted_dumps.lst") left.push_back(name);
    }
    std::sort(left.begin(), left.end());
    EXPECT_EQ(expected, left);

    // One line per deletion, oldest first, stamped with the time the new
    // report is named after.
    const std::string stamp(path + std::strlen(path) - 19, 15);  // YYYYMMDD_hhmmss
    const std::string when = stamp.substr(0, 4) + "-" + stamp.substr(4, 2) + "-" +
                             stamp.substr(6, 2) + " " + stamp.substr(9, 2) + ":" +
                             stamp.substr(11, 2) + ":" + stamp.substr(13, 2);
    std::string expected_record;
    for (const std::string& name : c.deleted) expected_record += when + " " + dir_.Sub(name) + "\n";
    if (!c.record_unwritable) {
      EXPECT_EQ(expected_record, testing::ReadFileBytes(dir_.Sub("deleted_dumps.lst")));
    }
  }
}

TEST_F(MiniDumpTest, RefusesWhatItCannotWrite) {
  for (int i = 0; i < 6; ++i) Touch("Zentrovane_20200101_00000" + std::to_string(i) + ".dmp");
  struct Case {
    const char* what;
    const char* name;
    int kind;
    size_t path_length;  // 0: WriteDump, else MakeDumpPath with this buffer
    int expected;
  };
  const Case cases[] = {
      {"empty name", "", kDumpSmall, 0, quennlib::kInvalidParameter},
      {"kind below the three", "Zentrovane", -1, 0, quennlib::kInvalidParameter},
      {"kind above the three", "Zentrovane", 3, 0, quennlib::kInvalidParameter},
      {"empty name for a path", "", kDumpSmall, 200, quennlib::kInvalidParameter},
      {"buffer too small for the path", "Zentrovane", kDumpSmall, 20, ENAMETOOLONG},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    quennlib::MiniDump dump(setup_);
    if (c.path_length == 0) {
      EXPECT_EQ(c.expected, dump.WriteDump(c.name, nullptr, nullptr, c.kind));
    } else {
      std::vector<char> buffer(c.path_length);
      EXPECT_EQ(c.expected, dump.MakeDumpPath(c.name, buffer.data(), buffer.size()));
    }
  }
  // Nothing was pruned or written by any of them.
  EXPECT_EQ(6u, testing::ListReports(dir_.path()).size());
  EXPECT_FALSE(testing::FileExists(dir_.Sub("deleted_dumps.lst")));
}

// Reports written over time: those in the folder and those pruned, which
// the pruning records; a count that survives pruning.
TEST_F(MiniDumpTest, CountsReportsPresentAndPruned) {
  EXPECT_EQ(0u, quennlib::CountWrittenReports(dir_.path().c_str()));
  for (int i = 0; i < 6; ++i) Touch("Zentrovane_20200101_00000" + std::to_string(i) + ".dmp");
  Touch("Zentrovane_2020.dmp");        // not a report's name
  Touch("notes.txt");
  std::filesystem::create_directory(dir_.Sub("Zentrovane_20200101_000009.dmp"));  // a folder
  EXPECT_EQ(6u, quennlib::CountWrittenReports(dir_.path().c_str()));

  // A seventh report: the folder keeps five, the record names two.
  quennlib::MiniDump dump(setup_);
  ASSERT_EQ(0, dump.WriteDump("Zentrovane", nullptr, nullptr, kDumpSmall));
  EXPECT_EQ(2u, testing::SplitLines(testing::ReadFileBytes(dir_.Sub("deleted_dumps.lst"))).size());
  EXPECT_EQ(7u, quennlib::CountWrittenReports(dir_.path().c_str()));
}

bool AcceptEverything(const char*) { return true; }

// The three kinds differ in the memory they add; each adds at least the
// stack.
TEST_F(MiniDumpTest, KindsAddMoreMemory) {
  const std::string executable = std::filesystem::read_symlink("/proc/self/exe").string();
  struct Case {
    int kind;
    ModuleFilter filter;
    bool heap;
    bool module_data;
    bool module_code;
  };
  const Case cases[] = {
      {kDumpSmall, nullptr, false, false, false},
      {kDumpData, nullptr, true, false, false},
      {kDumpData, AcceptEverything, true, true, false},
      {kDumpFull, nullptr, true, true, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE("kind " + std::to_string(c.kind));
    quennlib::MiniDump dump(setup_);
    ASSERT_EQ(0, dump.WriteDump("Zentrovane", nullptr, c.filter, c.kind));
    const std::string report = testing::ReadFileBytes(dump.path());
    std::filesystem::remove(dump.path());
    EXPECT_THAT(report, HasSubstr("\nMemory: stack from 0x"));
    EXPECT_EQ(c.heap, testing::HasMemorySection(report, "rw-p", "[heap]"));
    EXPECT_EQ(c.module_data, testing::HasMemorySection(report, "rw-p", executable));
    EXPECT_EQ(c.module_code, testing::HasMemorySection(report, "r-xp", executable));
  }
}

}  // namespace
}  // namespace zv
