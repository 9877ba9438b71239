#include "db/list_change_record.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>

#include "test_util.h"

namespace zv {
namespace {

using ::zv::testing::ReadFileBytes;
using ::zv::testing::ScopedTempDir;
using ::zv::testing::WriteFileBytes;

constexpr int64_t kSecond = 1'000'000'000;
constexpr int64_t kLook = 1'700'000'000 * kSecond;  // when the lists were looked at

struct stat ListStat(int64_t changed_ns) {
  struct stat st {};
  st.st_dev = 2049;
  st.st_ino = 1234567;
  st.st_size = 16384;
  st.st_mtim = {static_cast<time_t>(changed_ns / kSecond), changed_ns % kSecond};
  st.st_ctim = st.st_mtim;
  return st;
}

class ListChangeRecordTest : public ::testing::Test {
 protected:
  std::string Path() const { return dir_.path() + "/" + ListChangeRecord::kFileName; }
  ScopedTempDir dir_;
};

TEST_F(ListChangeRecordTest, ASettledListIsUnchangedUntilAnyStampDiffers) {
  const struct stat settled = ListStat(kLook - 5 * kSecond + 123);
  {
    ListChangeRecord record(dir_.path());
    EXPECT_FALSE(record.Load());  // no file yet
    record.Settled("shop1", settled, kLook);
    ASSERT_TRUE(record.Save());
  }
  ListChangeRecord record(dir_.path());
  ASSERT_TRUE(record.Load());
  EXPECT_TRUE(record.Unchanged("shop1", settled));
  EXPECT_FALSE(record.Unchanged("shop2", settled));

  struct Case {
    const char* what;
    void (*change)(struct stat*);
  };
  const Case cases[] = {
      {"device", [](struct stat* st) { st->st_dev += 1; }},
      {"inode", [](struct stat* st) { st->st_ino += 1; }},
      {"size", [](struct stat* st) { st->st_size += 4096; }},
      {"modification time", [](struct stat* st) { st->st_mtim.tv_nsec += 1; }},
      {"change time", [](struct stat* st) { st->st_ctim.tv_nsec += 1; }},
  };
  for (const Case& c : cases) {
    struct stat changed = settled;
    c.change(&changed);
    EXPECT_FALSE(record.Unchanged("shop1", changed)) << c.what;
  }
}

// A write in the same clock tick as the look could leave the change time as
// it was: only a change time clearly before the look is recorded.
TEST_F(ListChangeRecordTest, AChangeTimeCloseToTheLookIsNotTrusted) {
  struct Case {
    int64_t changed_ns;
    bool recorded;
  };
  const Case cases[] = {
      {kLook - kSecond / 2 + 1, true},          // fine stamps: 0.1 s suffice
      {kLook - kSecond / 20, false},
      {kLook, false},
      {kLook + kSecond, false},                // a clock set back
      {kLook - 3 * kSecond, true},             // whole seconds: 2 s needed
      {kLook - kSecond, false},
  };
  for (const Case& c : cases) {
    ListChangeRecord writer(dir_.path());
    writer.Load();
    writer.Settled("shop1", ListStat(c.changed_ns), kLook);
    ASSERT_TRUE(writer.Save());
    ListChangeRecord reader(dir_.path());
    reader.Load();
    EXPECT_EQ(reader.Unchanged("shop1", ListStat(c.changed_ns)), c.recorded)
        << (kLook - c.changed_ns) << " ns before the look";
  }
}

TEST_F(ListChangeRecordTest, ARunWritesWhatItKeptAndSettledOnly) {
  const struct stat st = ListStat(kLook - 10 * kSecond);
  {
    ListChangeRecord record(dir_.path());
    for (const char* storage : {"a", "b", "c"}) record.Settled(storage, st, kLook);
    ASSERT_TRUE(record.Save());
  }
  {
    ListChangeRecord record(dir_.path());
    ASSERT_TRUE(record.Load());
    record.Keep("a");                       // unchanged
    record.Settled("d", st, kLook);         // new
    record.Keep("zz");                      // never recorded: nothing to keep
    ASSERT_TRUE(record.Save());             // b (changed) and c (gone) are dropped
  }
  ListChangeRecord record(dir_.path());
  ASSERT_TRUE(record.Load());
  EXPECT_TRUE(record.Unchanged("a", st));
  EXPECT_FALSE(record.Unchanged("b", st));
  EXPECT_FALSE(record.Unchanged("c", st));
  EXPECT_TRUE(record.Unchanged("d", st));
  EXPECT_FALSE(record.Unchanged("zz", st));

  // A run that changes nothing leaves the file as it is.
  struct stat before;
  ASSERT_EQ(stat(Path().c_str(), &before), 0);
  ListChangeRecord again(dir_.path());
  ASSERT_TRUE(again.Load());
  again.Keep("a");
  again.Keep("d");
  ASSERT_TRUE(again.Save());
  struct stat after;
  ASSERT_EQ(stat(Path().c_str(), &after), 0);
  EXPECT_EQ(after.st_ino, before.st_ino);
}

// A record that is cut short, damaged, or made for another data directory
// counts for nothing: every list is then opened.
TEST_F(ListChangeRecordTest, ADamagedRecordIsIgnoredWhole) {
  const struct stat st = ListStat(kLook - 10 * kSecond);
  {
    ListChangeRecord record(dir_.path());
    record.Settled("shop1", st, kLook);
    record.Settled("shop2", st, kLook);
    ASSERT_TRUE(record.Save());
  }
  const std::string good = ReadFileBytes(Path());
  std::string flipped = good;
  flipped[flipped.find("shop2") + 2] ^= 1;
  const std::string cases[] = {
      good.substr(0, good.size() / 2),          // cut short
      good.substr(0, good.rfind("crc ")),       // no check line
      flipped,                                  // a byte changed
      "",                                       // empty (lost before it was written out)
  };
  for (const std::string& text : cases) {
    WriteFileBytes(Path(), text);
    ListChangeRecord record(dir_.path());
    EXPECT_FALSE(record.Load());
    EXPECT_FALSE(record.Unchanged("shop1", st));
  }
  WriteFileBytes(Path(), good);
  ListChangeRecord elsewhere(dir_.path() + "/other");
  ::mkdir((dir_.path() + "/other").c_str(), 0755);
  ::rename(Path().c_str(), (dir_.path() + "/other/" + ListChangeRecord::kFileName).c_str());
  EXPECT_FALSE(elsewhere.Load());
  EXPECT_FALSE(elsewhere.Unchanged("shop1", st));
}

}  // namespace
}  // namespace zv
