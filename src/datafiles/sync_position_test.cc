#include "datafiles/sync_position.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "records/test_home.h"
#include "test_util.h"
#include "util/file_util.h"

namespace zv {
namespace {

using ::zv::testing::DebugLogWatch;
using ::zv::testing::FileExists;
using ::zv::testing::ReadFileBytes;
using ::zv::testing::ScopedTempDir;

const bool kHomeRegistered = ::zv::testing::RegisterTestHome();

constexpr const char* kKinds[14] = {"A", "U", "M", "C", "P",      "O", "F",
                                    "S", "I", "W", "T", "oprlog", "Q", "X"};

// An account as the console writes it: slot names of the base date with
// device 0, a policy value per slot.
SyncAccountRecord MakeAccount(const char* password, uint32_t policy_base) {
  SyncAccountRecord a{};
  std::strcpy(a.userName, "branch01");
  std::strcpy(a.password, password);
  std::strcpy(a.storageName, "shop1");
  a.deviceId = 0x00A1B2C3;
  a.syncSchedule[1] = 23;
  for (int i = 0; i < 14; ++i) {
    std::snprintf(a.logSlots[i].name, sizeof a.logSlots[i].name, "20101216_0000_00000000_%s.dat",
                  kKinds[i]);
  }
  for (uint32_t i = 0; i < 32; ++i) a.logSlots[i].policyValue = policy_base + i;
  std::strcpy(a.logSlots[20].name, "carried");
  return a;
}

TEST(DataFileNameTest, FormatsAndCutsTo63Characters) {
  EXPECT_EQ(FormatDataFileName(2010, 12, 16, 15, 30, 0x00A1B2C3, "A"),
            "20101216_1530_00A1B2C3_A.dat");
  EXPECT_EQ(FormatDataFileName(2010, 1, 2, 3, 4, 0xABCDEF12, "oprlog"),
            "20100102_0304_ABCDEF12_oprlog.dat");
  const std::string long_name = FormatDataFileName(2010, 12, 16, 0, 0, 0, std::string(60, 'k'));
  EXPECT_EQ(long_name.size(), 63u);
  EXPECT_EQ(long_name, "20101216_0000_00000000_" + std::string(40, 'k'));
}

TEST(DataFileNameTest, ParsesTheSevenFields) {
  DataFileName n;
  ASSERT_TRUE(ParseDataFileName("20101216_1530_00A1B2C3_oprlog.dat", &n));
  EXPECT_EQ(n.year, 2010u);
  EXPECT_EQ(n.month, 12u);
  EXPECT_EQ(n.day, 16u);
  EXPECT_EQ(n.hour, 15u);
  EXPECT_EQ(n.minute, 30u);
  EXPECT_EQ(n.device_id, 0x00A1B2C3u);
  EXPECT_EQ(n.kind, "oprlog");
  // The kind ends at the first '.', at most 23 characters.
  ASSERT_TRUE(ParseDataFileName("20101216_1530_00a1b2c3_" + std::string(30, 'k') + ".dat", &n));
  EXPECT_EQ(n.kind, std::string(23, 'k'));
  EXPECT_EQ(n.device_id, 0x00A1B2C3u);
  ASSERT_TRUE(ParseDataFileName("20101216_1530_00A1B2C3_X", &n));
  EXPECT_EQ(n.kind, "X");
}

TEST(DataFileNameTest, FollowsTheScanfWidthRules) {
  DataFileName n;
  // "%04u" takes up to four digits: the day field gets one digit here.
  ASSERT_TRUE(ParseDataFileName("2010121_1530_00A1B2C3_A.dat", &n));
  EXPECT_EQ(n.year, 2010u);
  EXPECT_EQ(n.month, 12u);
  EXPECT_EQ(n.day, 1u);
  EXPECT_EQ(n.hour, 15u);
  // Fewer than seven fields.
  EXPECT_FALSE(ParseDataFileName("20101216_1530_00A1B2C3", &n));
  EXPECT_FALSE(ParseDataFileName("20101216_1530_00A1B2C3_.dat", &n));
  EXPECT_FALSE(ParseDataFileName("20101216-1530_00A1B2C3_A.dat", &n));
  EXPECT_FALSE(ParseDataFileName("garbage", &n));
  EXPECT_FALSE(ParseDataFileName("", &n));
  // The text ends at an embedded NUL.
  EXPECT_FALSE(ParseDataFileName(std::string_view("20101216_1530\0_00A1B2C3_A.dat", 29), &n));
}

TEST(DataFileNameTest, KindIndexByFirstCharacter) {
  for (int i = 0; i < 14; ++i) EXPECT_EQ(KindIndexOf(kKinds[i]), i) << kKinds[i];
  EXPECT_EQ(KindIndexOf("oprlog"), 11);
  EXPECT_EQ(KindIndexOf("other"), 11);  // only the first character counts
  EXPECT_EQ(KindIndexOf("Z"), -1);
  EXPECT_EQ(KindIndexOf("a"), -1);
  EXPECT_EQ(KindIndexOf(""), -1);
}

TEST(DataFileNameTest, SafeNamesAndIdentifiers) {
  EXPECT_TRUE(IsSafeFileName("20101216_1530_00A1B2C3_A.dat"));
  EXPECT_TRUE(IsSafeFileName("0123456789abcdef0123456789ABCDEF_00A1B2C3_users.dat"));
  EXPECT_TRUE(IsSafeFileName("name-with.dots.and-dash"));
  for (const char* bad : {"",    ".",   "..",  "../x", "a/b",  "a\\b",  "x..y",    "a\"b",
                          "a'b", "a`b", "a*b", "a?b",  "a<b",  "a>b",   "a|b",     "a;b",
                          "a:b", "a$b", "a b", "a\tb", "a\nb", "a\x7f", "\xc3\xa9"}) {
    EXPECT_FALSE(IsSafeFileName(bad)) << PrintableName(bad);
  }
  EXPECT_FALSE(IsSafeFileName(std::string_view("a\0b", 3)));
  EXPECT_FALSE(IsSafeFileName(std::string(256, 'a')));
  EXPECT_TRUE(IsSafeFileName(std::string(255, 'a')));

  EXPECT_TRUE(IsPlainIdentifier("oprlog"));
  EXPECT_TRUE(IsPlainIdentifier("A_20101216"));
  for (const char* bad : {"", "A-B", "A;", "a b", "a.b", "a'b", "\xc3\xa9"}) {
    EXPECT_FALSE(IsPlainIdentifier(bad)) << PrintableName(bad);
  }
  EXPECT_EQ(PrintableName("a\nb\x01\xff"), "a?b??");
}

TEST(ConfigTableNameTest, ParsesTokenDeviceAndTable) {
  const std::string token = "0123456789abcdef0123456789ABCDEF";
  ConfigTableName n;
  ASSERT_TRUE(ParseConfigTableName(token + "_00A1B2C3_users.dat", &n));
  EXPECT_EQ(n.token, token);
  EXPECT_EQ(n.device_id, 0x00A1B2C3u);
  EXPECT_EQ(n.table, "users");
  // A token of 31 or 33 characters is not followed directly by '_'.
  EXPECT_FALSE(ParseConfigTableName(token.substr(1) + "_00A1B2C3_users.dat", &n));
  EXPECT_FALSE(ParseConfigTableName(token + "X_00A1B2C3_users.dat", &n));
  EXPECT_FALSE(ParseConfigTableName(token + "_00A1B2C3_.dat", &n));
}

TEST(ConfigTableNameTest, KeyIsTheCrcOfTheNameAndItsNul) {
  // CRC-32 of the six bytes "users\0" (and of "users" alone, which it is not).
  EXPECT_EQ(ConfigTableKey("users"), 0x0BC036F4u);
  EXPECT_NE(ConfigTableKey("users"), 0x1483A5E9u);
}

class SyncPositionTest : public ::testing::Test {
 protected:
  std::string Path() const { return dir_.Sub("syncpos/branch01-00a1b2c3.dat"); }
  void SetUp() override { ASSERT_TRUE(CreateDirectoryTree(dir_.Sub("syncpos"))); }

  // The position record as it is on disk now.
  SyncAccountRecord OnDisk() const {
    CZvAccountFile file;
    file.SetPath(Path());
    file.Load();
    EXPECT_EQ(file.Records().size(), 1u);
    return file.Records().empty() ? SyncAccountRecord{} : file.Records()[0];
  }

  void AnotherCaseFindsTheSameFile(PositionNames* names);

  ScopedTempDir dir_;
};

TEST_F(SyncPositionTest, FirstLoginWritesSlotNamesWithTheDeviceId) {
  const SyncAccountRecord account = MakeAccount("pw", 10);
  DebugLogWatch log;
  CZvAccountFile position;
  ASSERT_TRUE(LoadSyncPosition(&position, Path(), account));
  EXPECT_TRUE(log.Saw("No syncpos found, create new one!"));
  ASSERT_EQ(position.Records().size(), 1u);
  const SyncAccountRecord stored = OnDisk();
  EXPECT_EQ(std::memcmp(&stored, &position.Records()[0], sizeof stored), 0);
  EXPECT_STREQ(stored.logSlots[0].name, "20101216_0000_00A1B2C3_A.dat");
  EXPECT_STREQ(stored.logSlots[11].name, "20101216_0000_00A1B2C3_oprlog.dat");
  EXPECT_STREQ(stored.logSlots[13].name, "20101216_0000_00A1B2C3_X.dat");
  EXPECT_STREQ(stored.logSlots[20].name, "carried");
  EXPECT_EQ(stored.logSlots[3].policyValue, 13u);
  EXPECT_STREQ(stored.password, "pw");
  EXPECT_EQ(stored.deviceId, 0x00A1B2C3u);
  EXPECT_EQ(stored.syncSchedule[1], 23);
}

TEST_F(SyncPositionTest, SecondLoginKeepsPositionsAndTakesTheAccountValues) {
  {
    CZvAccountFile position;
    ASSERT_TRUE(LoadSyncPosition(&position, Path(), MakeAccount("old", 10)));
    LogTableSlot& slot = position.Records()[0].logSlots[0];
    std::strcpy(slot.name, "20101217_0900_00A1B2C3_A.dat");
    slot.storedBytes = 4096;
    slot.announcedSize = 10000;
    slot.runningCrc = 0x12345678;
    position.Records()[0].configSlots[2].nameKey = 77;
    std::strcpy(position.Records()[0].configSlots[2].contentToken, "token");
    ASSERT_EQ(position.Save(), 0);
  }
  SyncAccountRecord changed = MakeAccount("new", 50);
  std::strcpy(changed.storageName, "shop9");
  DebugLogWatch log;
  CZvAccountFile position;
  ASSERT_TRUE(LoadSyncPosition(&position, Path(), changed));
  EXPECT_TRUE(log.Saw("Use existing synpos file!"));
  const SyncAccountRecord stored = OnDisk();
  EXPECT_STREQ(stored.password, "new");
  EXPECT_STREQ(stored.storageName, "shop9");
  EXPECT_STREQ(stored.logSlots[0].name, "20101217_0900_00A1B2C3_A.dat");
  EXPECT_EQ(stored.logSlots[0].storedBytes, 4096u);
  EXPECT_EQ(stored.logSlots[0].announcedSize, 10000u);
  EXPECT_EQ(stored.logSlots[0].runningCrc, 0x12345678u);
  EXPECT_EQ(stored.logSlots[1].storedBytes, 0u);
  for (uint32_t i = 0; i < 32; ++i) EXPECT_EQ(stored.logSlots[i].policyValue, 50 + i);
  EXPECT_EQ(stored.configSlots[2].nameKey, 77u);
  EXPECT_STREQ(stored.configSlots[2].contentToken, "token");
}

TEST_F(SyncPositionTest, ALoginThatChangesNothingLeavesTheFileAlone) {
  const SyncAccountRecord account = MakeAccount("pw", 10);
  auto inode = [this] {
    struct stat st {};
    EXPECT_EQ(stat(Path().c_str(), &st), 0);
    return st.st_ino;
  };
  {
    CZvAccountFile position;
    ASSERT_TRUE(LoadSyncPosition(&position, Path(), account));
    position.Records()[0].logSlots[0].storedBytes = 4096;
    ASSERT_EQ(position.Save(), 0);
  }
  const ino_t saved = inode();
  CZvAccountFile again;
  ASSERT_TRUE(LoadSyncPosition(&again, Path(), account));
  EXPECT_EQ(inode(), saved);  // not replaced
  EXPECT_EQ(again.Records()[0].logSlots[0].storedBytes, 4096u);

  SyncAccountRecord changed = account;
  changed.clientValue1 = 7;
  CZvAccountFile third;
  ASSERT_TRUE(LoadSyncPosition(&third, Path(), changed));
  EXPECT_NE(inode(), saved);
  EXPECT_EQ(OnDisk().clientValue1, 7u);
  EXPECT_EQ(OnDisk().logSlots[0].storedBytes, 4096u);
}

void SyncPositionTest::AnotherCaseFindsTheSameFile(PositionNames* names) {
  {
    CZvAccountFile position;
    ASSERT_TRUE(LoadSyncPosition(&position, dir_.Sub("syncpos/Branch01-00a1b2c3.dat"),
                                 MakeAccount("pw", 0), names));
    position.Records()[0].logSlots[2].storedBytes = 777;
    ASSERT_EQ(position.Save(), 0);
  }
  DebugLogWatch log;
  CZvAccountFile position;
  ASSERT_TRUE(LoadSyncPosition(&position, dir_.Sub("syncpos/BRANCH01-00A1B2C3.dat"),
                               MakeAccount("pw", 0), names));
  EXPECT_TRUE(log.Saw("Use existing synpos file!"));
  EXPECT_EQ(position.Records()[0].logSlots[2].storedBytes, 777u);
  EXPECT_EQ(position.path(), dir_.Sub("syncpos/Branch01-00a1b2c3.dat"));
  EXPECT_FALSE(FileExists(dir_.Sub("syncpos/BRANCH01-00A1B2C3.dat")));

  // Only the .tem file left of an interrupted first save: found as well.
  ASSERT_EQ(rename(dir_.Sub("syncpos/Branch01-00a1b2c3.dat").c_str(),
                   dir_.Sub("syncpos/Branch01-00a1b2c3.tem").c_str()),
            0);
  ASSERT_EQ(unlink(dir_.Sub("syncpos/Branch01-00a1b2c3.bak0").c_str()), 0);
  ASSERT_EQ(unlink(dir_.Sub("syncpos/Branch01-00a1b2c3.bak1").c_str()), 0);
  CZvAccountFile third;
  ASSERT_TRUE(LoadSyncPosition(&third, dir_.Sub("syncpos/branch01-00a1b2c3.dat"),
                               MakeAccount("pw", 0), names));
  EXPECT_EQ(third.Records()[0].logSlots[2].storedBytes, 777u);
  EXPECT_EQ(third.path(), dir_.Sub("syncpos/Branch01-00a1b2c3.dat"));
}

TEST_F(SyncPositionTest, UserNameInAnotherCaseFindsTheSamePositionFile) {
  AnotherCaseFindsTheSameFile(nullptr);
}

TEST_F(SyncPositionTest, UserNameInAnotherCaseFindsTheSamePositionFileThroughTheIndex) {
  PositionNames names;
  AnotherCaseFindsTheSameFile(&names);
}

// The index reads the folder once and notes what the server makes since;
// a spelling whose files are gone no longer counts.
TEST_F(SyncPositionTest, TheIndexNotesNewFilesAndForgetsRemovedOnes) {
  PositionNames names;
  const std::string made = dir_.Sub("syncpos/Made-00000001.dat");
  ::zv::testing::WriteFileBytes(dir_.Sub("syncpos/Old-00000002.bak1"), "x");
  EXPECT_EQ(names.Resolve(made), made);  // the first miss reads the folder
  ::zv::testing::WriteFileBytes(made, "x");
  EXPECT_EQ(names.Resolve(dir_.Sub("syncpos/MADE-00000001.dat")), made);
  EXPECT_EQ(names.Resolve(dir_.Sub("syncpos/old-00000002.dat")),
            dir_.Sub("syncpos/Old-00000002.dat"));
  ASSERT_EQ(unlink(made.c_str()), 0);
  EXPECT_EQ(names.Resolve(dir_.Sub("syncpos/made-00000001.dat")),
            dir_.Sub("syncpos/made-00000001.dat"));
}

// A folder that cannot be read (no descriptor left) gives no name: the
// file may be there under another spelling. The index is not taken for
// read, so the next look-up finds that spelling.
TEST_F(SyncPositionTest, AnUnreadableFolderGivesNoNameAndIsReadAgain) {
  const std::string spelt = dir_.Sub("syncpos/Branch01-00A1B2C3.dat");
  ::zv::testing::WriteFileBytes(spelt, "x");
  const int code = ::zv::testing::ExitCodeWithoutDescriptors([&](std::vector<int>* held) {
    PositionNames names;
    if (!names.Resolve(Path()).empty()) return 1;
    close(held->back());
    return names.Resolve(Path()) == spelt ? 0 : 2;
  });
  EXPECT_EQ(code, 0) << "1: a name without reading the folder, 2: the spelling on disk not "
                        "found once it could be read";
}

TEST_F(SyncPositionTest, UnparsableSlotNameFailsTheLogin) {
  SyncAccountRecord account = MakeAccount("pw", 0);
  std::strcpy(account.logSlots[5].name, "garbage");
  DebugLogWatch log;
  CZvAccountFile position;
  EXPECT_FALSE(LoadSyncPosition(&position, Path(), account));
  EXPECT_TRUE(log.Saw("Can't parse table name garbage!"));
  EXPECT_TRUE(::zv::testing::OperationLogContains("解析用户同步位置信息失败,文件路径:" + Path()));
  EXPECT_FALSE(FileExists(Path()));
}

TEST_F(SyncPositionTest, FailedSaveFailsTheLogin) {
  DebugLogWatch log;
  CZvAccountFile position;
  EXPECT_FALSE(
      LoadSyncPosition(&position, dir_.Sub("nofolder/x-00000001.dat"), MakeAccount("pw", 0)));
  EXPECT_TRUE(log.Saw("Can't save synpos file!"));
  EXPECT_TRUE(::zv::testing::OperationLogContains("保存同步位置信息失败!"));
}

// A file that is there but cannot be opened (as when no descriptor is
// left) is neither taken for a missing one, which would save a fresh
// record over it, nor replaced by an older backup.
TEST_F(SyncPositionTest, APositionFileThatCannotBeOpenedFailsTheLoginAndStays) {
  CZvAccountFile first;
  ASSERT_TRUE(LoadSyncPosition(&first, Path(), MakeAccount("pw", 0)));
  const std::string backup = dir_.Sub("syncpos/branch01-00a1b2c3.bak0");
  ASSERT_EQ(std::rename(Path().c_str(), backup.c_str()), 0);
  ASSERT_EQ(symlink(Path().c_str(), Path().c_str()), 0);  // every open fails
  DebugLogWatch log;
  CZvAccountFile position;
  EXPECT_FALSE(LoadSyncPosition(&position, Path(), MakeAccount("pw", 0)));
  EXPECT_TRUE(log.Saw("Can't load synpos file!"));
  struct stat st;
  ASSERT_EQ(lstat(Path().c_str(), &st), 0);
  EXPECT_TRUE(S_ISLNK(st.st_mode)) << "a record was put in its place";
}

TEST_F(SyncPositionTest, DamagedPositionFileIsRecreatedFromTheAccount) {
  ::zv::testing::WriteFileBytes(Path(), "not a record file");
  CZvAccountFile position;
  ASSERT_TRUE(LoadSyncPosition(&position, Path(), MakeAccount("pw", 0)));
  EXPECT_STREQ(OnDisk().logSlots[0].name, "20101216_0000_00A1B2C3_A.dat");
}

std::string Token(int i) {
  char token[40];
  std::snprintf(token, sizeof token, "%032d", i);
  return token;
}

TEST_F(SyncPositionTest, ConfigChecksumsFillThirtyTwoSlotsAndReuseTheirOwn) {
  CZvAccountFile position;
  ASSERT_TRUE(LoadSyncPosition(&position, Path(), MakeAccount("pw", 0)));
  for (int i = 0; i < 32; ++i) {
    const std::string table = "table" + std::to_string(i);
    ASSERT_TRUE(UpdateConfigChecksum(&position, Token(i) + "_00A1B2C3_" + table + ".dat")) << i;
  }
  SyncAccountRecord stored = OnDisk();
  for (int i = 0; i < 32; ++i) {
    EXPECT_EQ(stored.configSlots[i].nameKey, ConfigTableKey("table" + std::to_string(i)));
    EXPECT_EQ(std::string(stored.configSlots[i].contentToken), Token(i));
  }
  DebugLogWatch log;
  EXPECT_FALSE(UpdateConfigChecksum(&position, Token(99) + "_00A1B2C3_table32.dat"));
  EXPECT_TRUE(log.Saw("Config table checksums is full!"));
  const SyncAccountRecord unchanged = OnDisk();
  EXPECT_EQ(std::memcmp(&unchanged, &stored, sizeof stored), 0);

  // Importing table 5 again takes its own slot.
  ASSERT_TRUE(UpdateConfigChecksum(&position, Token(555) + "_00A1B2C3_table5.dat"));
  stored = OnDisk();
  EXPECT_EQ(std::string(stored.configSlots[5].contentToken), Token(555));
  EXPECT_EQ(stored.configSlots[5].nameKey, ConfigTableKey("table5"));
  EXPECT_EQ(std::string(stored.configSlots[6].contentToken), Token(6));
}

TEST_F(SyncPositionTest, ConfigChecksumPrefersTheMatchingSlotOverAnEarlierFreeOne) {
  CZvAccountFile position;
  ASSERT_TRUE(LoadSyncPosition(&position, Path(), MakeAccount("pw", 0)));
  ConfigTableSlot* slots = position.Records()[0].configSlots;
  slots[3].nameKey = 0x0BC036F4;  // "users"
  std::strcpy(slots[3].contentToken, "a-much-longer-old-token-that-is-cleared-first");
  DebugLogWatch log;
  ASSERT_TRUE(UpdateConfigChecksum(&position, Token(7) + "_00A1B2C3_users.dat"));
  EXPECT_TRUE(log.Saw("Config table " + Token(7) + "_00A1B2C3_users.dat(0BC036F4) updated!"));
  const SyncAccountRecord stored = OnDisk();
  EXPECT_EQ(stored.configSlots[0].nameKey, 0u);
  EXPECT_EQ(std::string(stored.configSlots[3].contentToken), Token(7));
  EXPECT_EQ(stored.configSlots[3].contentToken[40], '\0');

  EXPECT_FALSE(UpdateConfigChecksum(&position, Token(7).substr(1) + "_00A1B2C3_users.dat"));
  EXPECT_TRUE(log.Saw("Can't parse configtable "));
}

}  // namespace
}  // namespace zv
