#include "records/account_file.h"

#include <errno.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <random>
#include <string>

#include "records/test_home.h"
#include "test_util.h"
#include "util/crc.h"
#include "util/file_util.h"

namespace zv {
namespace {

using ::zv::testing::DebugLogWatch;
using ::zv::testing::FileExists;
using ::zv::testing::ReadFileBytes;
using ::zv::testing::ScopedTempDir;
using ::zv::testing::WriteFileBytes;

const bool kHomeRegistered = ::zv::testing::RegisterTestHome();

// A byte image written out field by field from the documented offsets.
class Image {
 public:
  explicit Image(size_t size) : bytes_(size, '\0') {}
  Image& U8(size_t at, uint8_t v) {
    bytes_.at(at) = static_cast<char>(v);
    return *this;
  }
  Image& U16(size_t at, uint16_t v) { return U8(at, v & 0xFF).U8(at + 1, v >> 8); }
  Image& U32(size_t at, uint32_t v) { return U16(at, v & 0xFFFF).U16(at + 2, v >> 16); }
  Image& Text(size_t at, std::string_view text) {
    for (size_t i = 0; i < text.size(); ++i) U8(at + i, static_cast<uint8_t>(text[i]));
    return *this;
  }
  // n bytes counting up from first.
  Image& Fill(size_t at, size_t n, uint8_t first) {
    for (size_t i = 0; i < n; ++i) U8(at + i, static_cast<uint8_t>(first + i));
    return *this;
  }
  const std::string& str() const { return bytes_; }

 private:
  std::string bytes_;
};

std::string Header(uint32_t magic, uint32_t count, uint32_t version) {
  return Image(16).U32(0, magic).U32(4, count).U32(8, version).str();
}

// -1 when equal, else the first differing offset (or the shorter length).
long FirstDifference(std::string_view a, std::string_view b) {
  size_t n = std::min(a.size(), b.size());
  for (size_t i = 0; i < n; ++i) {
    if (a[i] != b[i]) return static_cast<long>(i);
  }
  return a.size() == b.size() ? -1 : static_cast<long>(n);
}

std::string RecordBytes(const SyncAccountRecord& r) {
  return std::string(reinterpret_cast<const char*>(&r), sizeof r);
}

constexpr const char* kKinds[14] = {"A", "U", "M", "C", "P",      "O", "F",
                                    "S", "I", "W", "T", "oprlog", "Q", "X"};

// The current-format image that an upgrade must produce for the given
// leading fields (everything before the slots is given by the caller).
void ExpectSlots(Image* image, const std::string& date, const uint32_t (&policy)[14]) {
  for (size_t i = 0; i < 14; ++i) {
    size_t slot = 0xA6 + 84 * i;
    image->Text(slot, date + "_0000_00000000_" + kKinds[i] + ".dat");
    image->U32(slot + 64, policy[i]);
  }
}

class AccountFileTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(CreateDirectoryTree(dir_.Sub("config/syncpos"))); }
  std::string Path() const { return dir_.Sub("config/syncpos/abc-0000ab12.dat"); }
  std::string Side(const char* ext) const { return dir_.Sub("config/syncpos/abc-0000ab12") + ext; }

  ScopedTempDir dir_;
};

TEST_F(AccountFileTest, SideFilesReplaceTheExtension) {
  CZvAccountFile file;
  file.SetPath("config/syncpos/abc-0000ab12.dat");
  EXPECT_EQ(file.SidePath(".tem"), "config/syncpos/abc-0000ab12.tem");
  EXPECT_EQ(file.SidePath(".bak0"), "config/syncpos/abc-0000ab12.bak0");
  EXPECT_EQ(file.SidePath(".bak1"), "config/syncpos/abc-0000ab12.bak1");
  file.SetPath("conf.d/noext");
  EXPECT_EQ(file.SidePath(".tem"), "conf.d/noext.tem");
}

TEST_F(AccountFileTest, LoadsCurrentFormatWithoutRewriting) {
  Image r1(5094), r2(5094);
  r1.Text(0x00, "branch01").Text(0x14, "Secret").Text(0x28, "shop1").U32(0x48, 0x00A1B2C3);
  r1.U8(0x75, 1).U16(0x7C, 2).U16(0x88, 2010).U8(0x8A, 12).U8(0x8B, 16).Fill(0x8C, 6, 0x30);
  r1.Text(0xA6, "20101216_1530_00A1B2C3_A.dat").U32(0xA6 + 64, 7).U32(0xA6 + 68, 4096);
  r1.U32(0xA6 + 72, 10000).U32(0xA6 + 76, 0xDEADBEEF);
  r1.Text(0xA6 + 84 * 13, "X").U32(0xA6 + 84 * 13 + 68, 13);
  r1.U32(0xB26, 0x11223344).Text(0xB26 + 4, "0123456789abcdef0123456789abcdef");
  r1.U32(0xB26 + 68 * 31, 0x55667788).Fill(0x13A6, 64, 0x80);
  r2.Text(0x00, "second").Text(0x28, "shop2").Fill(0x58, 28, 1);
  const std::string bytes = Header(0x89156984, 2, 0x3200) + r1.str() + r2.str();
  WriteFileBytes(Path(), bytes);

  CZvAccountFile file;
  file.SetPath(Path());
  EXPECT_EQ(file.Load(), 0);
  ASSERT_EQ(file.Records().size(), 2u);
  const SyncAccountRecord& a = file.Records()[0];
  EXPECT_STREQ(a.userName, "branch01");
  EXPECT_STREQ(a.password, "Secret");
  EXPECT_STREQ(a.storageName, "shop1");
  EXPECT_EQ(a.deviceId, 0x00A1B2C3u);
  EXPECT_EQ(a.inUse, 1);
  EXPECT_EQ(a.recordRevision, 2);
  EXPECT_EQ(a.baseYear, 2010);
  EXPECT_EQ(a.baseMonth, 12);
  EXPECT_EQ(a.baseDay, 16);
  EXPECT_STREQ(a.logSlots[0].name, "20101216_1530_00A1B2C3_A.dat");
  EXPECT_EQ(a.logSlots[0].policyValue, 7u);
  EXPECT_EQ(a.logSlots[0].storedBytes, 4096u);
  EXPECT_EQ(a.logSlots[0].announcedSize, 10000u);
  EXPECT_EQ(a.logSlots[0].runningCrc, 0xDEADBEEFu);
  EXPECT_EQ(a.logSlots[13].storedBytes, 13u);
  EXPECT_EQ(a.configSlots[0].nameKey, 0x11223344u);
  EXPECT_STREQ(a.configSlots[0].contentToken, "0123456789abcdef0123456789abcdef");
  EXPECT_EQ(a.configSlots[31].nameKey, 0x55667788u);
  EXPECT_EQ(FirstDifference(RecordBytes(a), r1.str()), -1);
  EXPECT_EQ(FirstDifference(RecordBytes(file.Records()[1]), r2.str()), -1);
  EXPECT_EQ(file.version(), 0x3200u);
  // Nothing is written when the file is current.
  EXPECT_EQ(ReadFileBytes(Path()), bytes);
  EXPECT_FALSE(FileExists(Side(".tem")));
}

// Two records of the 0x3000 layout and the current records they become.
struct V3000Case {
  std::string source;
  std::string expected;
};

V3000Case MakeV3000Record(std::string_view user, uint16_t year, uint8_t month, uint8_t day,
                          std::initializer_list<int> on_entries, uint32_t value_base) {
  Image src(1630);
  src.Text(0x000, user).Text(0x014, "pw").Text(0x028, "store");
  src.Fill(0x048, 40, 0x40).U8(0x070, 0x11).U8(0x071, 0x22).U16(0x072, 0x3344);
  src.U32(0x074, 0x55667788).U32(0x078, 0x99AABBCC).Fill(0x07C, 4, 1);
  src.U16(0x080, year).U8(0x082, month).U8(0x083, day).Fill(0x084, 4, 5).U16(0x088, 0x0A0B);
  src.Fill(0x08A, 20, 0xA0).Fill(0x61E, 64, 0xC0);
  for (size_t i = 0; i < 32; ++i) {
    size_t entry = 0x09E + 36 * i;
    src.Text(entry, "noise-in-the-entry").U16(entry + 26, static_cast<uint16_t>(value_base + i));
    src.U32(entry + 28, 0xFFFFFFFF).U32(entry + 32, 0xFFFFFFFF);
  }
  for (int i : on_entries) src.U16(0x09E + 36 * i + 24, static_cast<uint16_t>(i + 1));

  Image want(5094);
  want.Text(0x0000, user).Text(0x0014, "pw").Text(0x0028, "store");
  want.Fill(0x004C, 40, 0x40).U8(0x0074, 0x11).U8(0x0075, 0x22).U16(0x0076, 0x3344);
  want.U32(0x0078, 0x55667788).U16(0x007C, 2).U32(0x0080, 0x99AABBCC).Fill(0x0084, 4, 1);
  want.U16(0x0088, year).U8(0x008A, month).U8(0x008B, day);
  want.Fill(0x008C, 4, 5).U16(0x0090, 0x0A0B).Fill(0x0092, 20, 0xA0).Fill(0x13A6, 64, 0xC0);
  uint32_t mask = 0;
  for (int i : on_entries) mask |= i == 8 ? 0x8 : i == 1 ? 0x1 : i == 2 ? 0x2 : i == 4 ? 0x4 : 0;
  uint32_t policy[14];
  for (uint32_t i = 0; i < 13; ++i) policy[i] = value_base + i;
  policy[13] = mask;
  char date[16];
  std::snprintf(date, sizeof date, "%04u%02u%02u", year, month, day);
  ExpectSlots(&want, date, policy);
  return {src.str(), want.str()};
}

TEST_F(AccountFileTest, UpgradesV3000AndRewritesCurrentFormat) {
  V3000Case a = MakeV3000Record("first", 2010, 12, 16, {1, 8, 3}, 100);
  V3000Case b = MakeV3000Record("second", 2011, 1, 2, {2, 4}, 500);
  WriteFileBytes(Path(), Header(0x65610639, 2, 0xABCD) + a.source + b.source);

  CZvAccountFile file;
  file.SetPath(Path());
  EXPECT_EQ(file.Load(), 0);
  ASSERT_EQ(file.Records().size(), 2u);
  EXPECT_EQ(FirstDifference(RecordBytes(file.Records()[0]), a.expected), -1);
  EXPECT_EQ(FirstDifference(RecordBytes(file.Records()[1]), b.expected), -1);
  EXPECT_STREQ(file.Records()[0].logSlots[0].name, "20101216_0000_00000000_A.dat");
  EXPECT_EQ(file.Records()[0].logSlots[13].policyValue, 0x9u);
  EXPECT_EQ(file.Records()[1].logSlots[13].policyValue, 0x6u);
  EXPECT_EQ(file.version(), 0x3200u);

  const std::string on_disk = ReadFileBytes(Path());
  EXPECT_EQ(FirstDifference(on_disk, Header(0x89156984, 2, 0x3200) + a.expected + b.expected), -1);
  EXPECT_EQ(ReadFileBytes(Side(".tem")), on_disk);
}

TEST_F(AccountFileTest, UpgradesV2000ThroughV3000) {
  auto make = [](std::string_view user, uint32_t base) {
    Image src(984);
    src.Text(0x000, user).Text(0x014, "pw2").Text(0x028, "store2").Fill(0x048, 40, 0x10);
    src.U8(0x070, 0x71).U8(0x071, 0x72).U16(0x072, 0x7374).U32(0x074, 0x75767778);
    src.U32(0x078, 0x797A7B7C).Fill(0x07C, 4, 0xF0).U16(0x080, 2009).U8(0x082, 3).U8(0x083, 4);
    src.Fill(0x084, 0x098 - 0x084, 0xEE);  // not copied
    for (size_t i = 0; i < 32; ++i) {
      size_t e = 0x098 + 24 * i;
      src.U16(e + 14, static_cast<uint16_t>(base + i)).U32(e + 16, 0x1000 + i);
      src.U32(e + 20, 0x2000 + i);
    }
    src.U16(0x098 + 24 * 2 + 12, 1).U16(0x098 + 24 * 4 + 12, 1);
    src.Text(0x098 + 24 * 3, "A20101216xyz");
    src.Text(0x098 + 24 * 5, "U20091105");
    src.Text(0x098 + 24 * 7, "00A000000");  // byte +2 not a digit: no date
    src.Text(0x098 + 24 * 9, "I20100101");

    Image want(5094);
    want.Text(0x0000, user).Text(0x0014, "pw2").Text(0x0028, "store2").Fill(0x004C, 40, 0x10);
    want.U8(0x0074, 0x71).U8(0x0075, 0x72).U16(0x0076, 0x7374).U32(0x0078, 0x75767778);
    want.U16(0x007C, 2).U32(0x0080, 0x797A7B7C).Fill(0x0084, 4, 0xF0);
    want.U16(0x0088, 2009).U8(0x008A, 3).U8(0x008B, 4);
    want.U8(0x008C, 0).U8(0x008D, 23).U8(0x008E, 0).U8(0x008F, 59).U16(0x0090, 10);
    uint32_t policy[14];
    for (uint32_t i = 0; i < 14; ++i) policy[i] = base + i;
    policy[12] = 1;
    policy[13] = 0x2 | 0x4;
    ExpectSlots(&want, "20090304", policy);
    return std::make_pair(src.str(), want.str());
  };
  auto a = make("alpha", 10);
  auto b = make("beta", 40);

  // The intermediate 0x3000 entries, entry 12 with the smallest date.
  uint8_t v3000[1630];
  CZvAccountFile::UpgradeV2000ToV3000(reinterpret_cast<const uint8_t*>(a.first.data()), v3000);
  const uint8_t* e12 = v3000 + 0x09E + 36 * 12;
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(e12), 9), "Q20091105");
  EXPECT_EQ(e12[24] | e12[25] << 8, 0);
  EXPECT_EQ(e12[26] | e12[27] << 8, 1);
  EXPECT_EQ(e12[28] | e12[29] << 8 | e12[30] << 16 | e12[31] << 24, 1);
  EXPECT_EQ(std::memcmp(e12 + 32, "\xFF\xFF\xFF\xFF", 4), 0);
  const uint8_t* e3 = v3000 + 0x09E + 36 * 3;
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(e3), 12), "A20101216xyz");
  EXPECT_EQ(e3[28], 0x03);  // u32 +16 of the source entry
  EXPECT_EQ(e3[29], 0x10);
  EXPECT_EQ(e3[32], 0x03);  // u32 +20
  EXPECT_EQ(e3[33], 0x20);

  WriteFileBytes(Path(), Header(0x46195826, 2, 0x3200) + a.first + b.first);
  CZvAccountFile file;
  file.SetPath(Path());
  EXPECT_EQ(file.Load(), 0);
  ASSERT_EQ(file.Records().size(), 2u);
  EXPECT_EQ(FirstDifference(RecordBytes(file.Records()[0]), a.second), -1);
  EXPECT_EQ(FirstDifference(RecordBytes(file.Records()[1]), b.second), -1);
  EXPECT_EQ(
      FirstDifference(ReadFileBytes(Path()), Header(0x89156984, 2, 0x3200) + a.second + b.second),
      -1);
}

TEST_F(AccountFileTest, UpgradesV1000ThroughV3000) {
  auto make = [](std::string_view user, uint32_t base) {
    Image src(320);
    src.Text(0x000, user).Text(0x014, "pw1").Text(0x028, "store1").Fill(0x048, 40, 0x20);
    src.U8(0x070, 0x61).U8(0x071, 0x62).U16(0x072, 0x6364);
    src.U32(0x074, 0xDDCCBBAA).Fill(0x078, 4, 1).U16(0x07C, 2010).U8(0x07E, 12).U8(0x07F, 16);
    for (size_t i = 0; i < 5; ++i) {
      src.U16(0x080 + 36 * i + 26, static_cast<uint16_t>(base + i));
    }
    src.U16(0x080 + 36 * 1 + 24, 1).U16(0x080 + 36 * 4 + 24, 9);
    src.Fill(0x080 + 36 * 5, 12, 0x90);  // the cut-off part of entry 5

    Image want(5094);
    want.Text(0x0000, user).Text(0x0014, "pw1").Text(0x0028, "store1").Fill(0x004C, 40, 0x20);
    want.U8(0x0074, 0x61).U8(0x0075, 0x62).U16(0x0076, 0x6364).U32(0x0078, 0);
    want.U16(0x007C, 2).U32(0x0080, 0xDDCCBBAA).Fill(0x0084, 4, 1);
    want.U16(0x0088, 2010).U8(0x008A, 12).U8(0x008B, 16);
    uint32_t policy[14] = {};
    for (uint32_t i = 0; i < 5; ++i) policy[i] = base + i;
    policy[13] = 0x1 | 0x4;
    ExpectSlots(&want, "20101216", policy);
    return std::make_pair(src.str(), want.str());
  };
  auto a = make("one", 300);
  auto b = make("two", 900);
  WriteFileBytes(Path(), Header(0x26581946, 2, 0) + a.first + b.first);

  CZvAccountFile file;
  file.SetPath(Path());
  EXPECT_EQ(file.Load(), 0);
  ASSERT_EQ(file.Records().size(), 2u);
  EXPECT_EQ(FirstDifference(RecordBytes(file.Records()[0]), a.second), -1);
  EXPECT_EQ(FirstDifference(RecordBytes(file.Records()[1]), b.second), -1);
  EXPECT_EQ(
      FirstDifference(ReadFileBytes(Path()), Header(0x89156984, 2, 0x3200) + a.second + b.second),
      -1);
}

TEST_F(AccountFileTest, CurrentMagicWithVersion2000ReadsSmallRecords) {
  Image src(984);
  src.Text(0, "legacy").Text(0x28, "st").U16(0x080, 2012).U8(0x082, 5).U8(0x083, 6);
  WriteFileBytes(Path(), Header(0x89156984, 1, 0x2000) + src.str());
  CZvAccountFile file;
  file.SetPath(Path());
  EXPECT_EQ(file.Load(), 0);
  ASSERT_EQ(file.Records().size(), 1u);
  EXPECT_STREQ(file.Records()[0].userName, "legacy");
  EXPECT_STREQ(file.Records()[0].logSlots[11].name, "20120506_0000_00000000_oprlog.dat");
  EXPECT_EQ(file.Records()[0].syncSchedule[1], 23);
  EXPECT_EQ(ReadFileBytes(Path()).size(), 16u + 5094u);
}

TEST_F(AccountFileTest, HeaderCountAboveRecordsKeepsWhatWasRead) {
  Image r(5094);
  r.Text(0, "u1");
  Image s(5094);
  s.Text(0, "u2");
  WriteFileBytes(Path(), Header(0x89156984, 3, 0x3200) + r.str() + s.str());
  DebugLogWatch log;
  CZvAccountFile file;
  file.SetPath(Path());
  EXPECT_EQ(file.Load(), 0);
  ASSERT_EQ(file.Records().size(), 2u);
  EXPECT_STREQ(file.Records()[1].userName, "u2");
  EXPECT_TRUE(log.Saw("Read file error!errno="));
}

TEST_F(AccountFileTest, NegativeOrHugeCountReadsUntilTheFileEnds) {
  WriteFileBytes(Path(), Header(0x89156984, 0xFFFFFFFF, 0x3200) + std::string(5094, 'x'));
  CZvAccountFile file;
  file.SetPath(Path());
  EXPECT_EQ(file.LoadFile(), 0);
  EXPECT_TRUE(file.Records().empty());

  WriteFileBytes(Path(), Header(0x89156984, 0x7FFFFFFF, 0x3200) + std::string(5094, 'x'));
  EXPECT_EQ(file.LoadFile(), 11);
  EXPECT_EQ(file.Records().size(), 1u);
}

TEST_F(AccountFileTest, ShortHeaderAndBadMagic) {
  WriteFileBytes(Path(), std::string(15, '\0'));
  CZvAccountFile file;
  file.SetPath(Path());
  EXPECT_EQ(file.LoadFile(), 11);
  DebugLogWatch log;
  WriteFileBytes(Path(), Header(0x12345678, 0, 0x3200));
  EXPECT_EQ(file.LoadFile(), 13);
  EXPECT_TRUE(log.Saw("Read file header error!flag=12345678"));
  EXPECT_EQ(CZvAccountFile().LoadFile(), 10);
}

TEST_F(AccountFileTest, BadMainFileIsRestoredFromTem) {
  Image r(5094);
  r.Text(0, "fromtem").U32(0x48, 42);
  const std::string tem = Header(0x89156984, 1, 0x3200) + r.str();
  WriteFileBytes(Path(), Header(0x0BADF00D, 1, 0x3200) + std::string(5094, 'z'));
  WriteFileBytes(Side(".tem"), tem);
  CZvAccountFile file;
  file.SetPath(Path());
  EXPECT_EQ(file.Load(), 0);
  ASSERT_EQ(file.Records().size(), 1u);
  EXPECT_STREQ(file.Records()[0].userName, "fromtem");
  EXPECT_EQ(ReadFileBytes(Path()), tem);
}

TEST_F(AccountFileTest, DamagedSideFileNeverReplacesTheMainFile) {
  Image a(5094), b(5094);
  a.Text(0, "a");
  b.Text(0, "b");
  // The main file holds two of three records; the .tem file is cut short.
  const std::string main = Header(0x89156984, 3, 0x3200) + a.str() + b.str();
  WriteFileBytes(Path(), main);
  WriteFileBytes(Side(".tem"), Header(0x89156984, 1, 0x3200) + "short");
  WriteFileBytes(Side(".bak0"), Header(0x77777777, 1, 0x3200) + a.str());
  CZvAccountFile file;
  file.SetPath(Path());
  EXPECT_EQ(file.Load(), 0);
  EXPECT_EQ(file.Records().size(), 2u);
  EXPECT_EQ(ReadFileBytes(Path()), main);

  // A complete backup does replace it.
  const std::string bak1 = Header(0x89156984, 1, 0x3200) + b.str();
  WriteFileBytes(Side(".bak1"), bak1);
  EXPECT_EQ(file.Load(), 0);
  ASSERT_EQ(file.Records().size(), 1u);
  EXPECT_STREQ(file.Records()[0].userName, "b");
  EXPECT_EQ(ReadFileBytes(Path()), bak1);
}

TEST_F(AccountFileTest, NoFilesGiveNoRecords) {
  CZvAccountFile file;
  file.SetPath(Path());
  EXPECT_EQ(file.Load(), 0);
  EXPECT_TRUE(file.Records().empty());
  EXPECT_FALSE(FileExists(Path()));
}

TEST_F(AccountFileTest, SaveWritesHeaderAndRecordsAndLeavesTemEqualToMain) {
  CZvAccountFile file;
  file.SetPath(Path());
  SyncAccountRecord r{};
  std::strcpy(r.userName, "saved");
  r.deviceId = 0x01020304;
  file.Records().push_back(r);
  ASSERT_EQ(file.Save(), 0);
  Image want(5094);
  want.Text(0, "saved").U32(0x48, 0x01020304);
  const std::string bytes = ReadFileBytes(Path());
  EXPECT_EQ(bytes, Header(0x89156984, 1, 0x3200) + want.str());
  EXPECT_EQ(ReadFileBytes(Side(".tem")), bytes);
  // The first save had no main file to back up.
  EXPECT_FALSE(FileExists(Side(".bak0")));

  file.Records()[0].deviceId = 5;
  ASSERT_EQ(file.Save(), 0);
  EXPECT_EQ(ReadFileBytes(Side(".bak0")), bytes);  // the previous main file
  EXPECT_EQ(ReadFileBytes(Side(".tem")), ReadFileBytes(Path()));
  CZvAccountFile again;
  again.SetPath(Path());
  again.Load();
  ASSERT_EQ(again.Records().size(), 1u);
  EXPECT_EQ(again.Records()[0].deviceId, 5u);
}

// The backup is the previous main file itself under a second name (no
// copy): the main name moves to a new file, the backup keeps the old one.
TEST_F(AccountFileTest, SaveKeepsThePreviousMainFileAsTheBackup) {
  CZvAccountFile file;
  file.SetPath(Path());
  file.Records().resize(1);
  ASSERT_EQ(file.Save(), 0);
  struct stat before;
  ASSERT_EQ(stat(Path().c_str(), &before), 0);
  const std::string previous = ReadFileBytes(Path());
  file.Records()[0].deviceId = 7;
  ASSERT_EQ(file.Save(), 0);
  struct stat backup, main_file;
  ASSERT_EQ(stat(Side(".bak0").c_str(), &backup), 0);
  ASSERT_EQ(stat(Path().c_str(), &main_file), 0);
  EXPECT_EQ(backup.st_ino, before.st_ino);
  EXPECT_NE(main_file.st_ino, before.st_ino);
  EXPECT_EQ(backup.st_nlink, 1u);
  EXPECT_EQ(ReadFileBytes(Side(".bak0")), previous);
  EXPECT_NE(ReadFileBytes(Path()), previous);
}

// Without a main file the backups stay as they are: there is nothing to
// keep in their place.
TEST_F(AccountFileTest, SaveWithoutAMainFileKeepsTheBackups) {
  WriteFileBytes(Side(".bak0"), "older");
  WriteFileBytes(Side(".bak1"), "newer");
  CZvAccountFile file;
  file.SetPath(Path());
  file.Records().resize(1);
  ASSERT_EQ(file.Save(), 0);
  EXPECT_EQ(ReadFileBytes(Side(".bak0")), "older");
  EXPECT_EQ(ReadFileBytes(Side(".bak1")), "newer");
  EXPECT_EQ(ReadFileBytes(Path()), ReadFileBytes(Side(".tem")));
}

// A save that leaves its rename to the next commit writes the same files
// as a durable one: .tem equal to the main file, the previous main file
// as the backup, a main file that loads.
TEST_F(AccountFileTest, SaveWithNextCommitLeavesTheSameFiles) {
  CZvAccountFile file;
  file.SetPath(Path());
  file.Records().resize(1);
  file.Records()[0].deviceId = 1;
  ASSERT_EQ(file.Save(CZvAccountFile::Durability::kWithNextCommit), 0);
  const std::string first = ReadFileBytes(Path());
  EXPECT_EQ(first.size(), kRecordFileHeaderSize + kRecordSize);
  file.Records()[0].deviceId = 2;
  ASSERT_EQ(file.Save(CZvAccountFile::Durability::kWithNextCommit), 0);
  EXPECT_EQ(ReadFileBytes(Side(".bak0")), first);
  EXPECT_EQ(ReadFileBytes(Side(".tem")), ReadFileBytes(Path()));
  // No temporary copy is left beside the main file.
  size_t entries = 0;
  const std::filesystem::path folder = std::filesystem::path(Path()).parent_path();
  for (const auto& entry : std::filesystem::directory_iterator(folder)) {
    (void)entry;
    ++entries;
  }
  EXPECT_EQ(entries, 3u);  // main, .tem, .bak0
  CZvAccountFile again;
  again.SetPath(Path());
  again.Load();
  ASSERT_EQ(again.Records().size(), 1u);
  EXPECT_EQ(again.Records()[0].deviceId, 2u);
}

void SetModificationTime(const std::string& path, time_t seconds) {
  struct timeval times[2] = {{seconds, 0}, {seconds, 0}};
  ASSERT_EQ(utimes(path.c_str(), times), 0) << path;
}

TEST_F(AccountFileTest, PickBackupToReplaceFollowsTheTenSecondRule) {
  CZvAccountFile file;
  file.SetPath(Path());
  const time_t base = 1600000000;
  EXPECT_EQ(file.PickBackupToReplace(), CZvAccountFile::Backup::kBak0);  // neither exists

  WriteFileBytes(Side(".bak1"), "1");
  EXPECT_EQ(file.PickBackupToReplace(), CZvAccountFile::Backup::kBak0);  // .bak0 missing
  std::remove(Side(".bak1").c_str());
  WriteFileBytes(Side(".bak0"), "0");
  EXPECT_EQ(file.PickBackupToReplace(), CZvAccountFile::Backup::kBak1);  // .bak1 missing

  WriteFileBytes(Side(".bak1"), "1");
  struct Row {
    time_t t0, t1;
    CZvAccountFile::Backup want;
  } rows[] = {
      {base + 60, base, CZvAccountFile::Backup::kBak1},  // .bak1 a minute older
      {base, base + 60, CZvAccountFile::Backup::kBak0},  // .bak0 a minute older
      {base + 11, base, CZvAccountFile::Backup::kBak1},
      {base, base + 11, CZvAccountFile::Backup::kBak0},
      {base + 5, base, CZvAccountFile::Backup::kBak1},  // within 10 s: .bak1
      {base, base + 5, CZvAccountFile::Backup::kBak1},
      {base + 10, base, CZvAccountFile::Backup::kBak1},
      {base, base + 10, CZvAccountFile::Backup::kBak1},
      {base, base, CZvAccountFile::Backup::kBak1},
  };
  for (const Row& row : rows) {
    SetModificationTime(Side(".bak0"), row.t0);
    SetModificationTime(Side(".bak1"), row.t1);
    EXPECT_EQ(file.PickBackupToReplace(), row.want) << row.t0 - base << " " << row.t1 - base;
  }
}

TEST_F(AccountFileTest, SaveReplacesTheOlderBackup) {
  CZvAccountFile file;
  file.SetPath(Path());
  file.Records().resize(1);
  ASSERT_EQ(file.Save(), 0);
  const std::string previous = ReadFileBytes(Path());
  WriteFileBytes(Side(".bak0"), "old0");
  WriteFileBytes(Side(".bak1"), "old1");
  SetModificationTime(Side(".bak0"), 1600000000);
  SetModificationTime(Side(".bak1"), 1600000060);
  file.Records()[0].deviceId = 1;
  ASSERT_EQ(file.Save(), 0);
  EXPECT_EQ(ReadFileBytes(Side(".bak0")), previous);
  EXPECT_EQ(ReadFileBytes(Side(".bak1")), "old1");

  SetModificationTime(Side(".bak0"), 1600000060);
  SetModificationTime(Side(".bak1"), 1600000000);
  const std::string second = ReadFileBytes(Path());
  file.Records()[0].deviceId = 2;
  ASSERT_EQ(file.Save(), 0);
  EXPECT_EQ(ReadFileBytes(Side(".bak1")), second);
  EXPECT_EQ(ReadFileBytes(Side(".bak0")), previous);
}

// A backup that cannot be replaced (here a folder stands in its place) is
// logged and the save goes on to replace the main file.
TEST_F(AccountFileTest, FailedBackupStepsAreLoggedAndTheSaveGoesOn) {
  CZvAccountFile file;
  file.SetPath(Path());
  file.Records().resize(1);
  ASSERT_EQ(file.Save(), 0);
  WriteFileBytes(Side(".bak0") + "/occupied", "x");
  WriteFileBytes(Side(".bak1"), "newer");
  SetModificationTime(Side(".bak0"), 1600000000);
  SetModificationTime(Side(".bak1"), 1600000060);
  ASSERT_EQ(file.PickBackupToReplace(), CZvAccountFile::Backup::kBak0);
  DebugLogWatch log;
  file.Records()[0].deviceId = 9;
  EXPECT_EQ(file.Save(), 0);
  EXPECT_TRUE(log.Saw("error delete bak file  return 0 last error no.:"));
  EXPECT_TRUE(log.Saw("error copy " + Path() + " to " + Side(".bak0") + " file  return 0"));
  EXPECT_EQ(ReadFileBytes(Path()), ReadFileBytes(Side(".tem")));
  CZvAccountFile reader;
  reader.SetPath(Path());
  reader.Load();
  ASSERT_EQ(reader.Records().size(), 1u);
  EXPECT_EQ(reader.Records()[0].deviceId, 9u);
}

TEST_F(AccountFileTest, RestoreThatCannotCopyIsLogged) {
  // The main path is taken by a folder: it neither reads nor can be replaced.
  WriteFileBytes(Path() + "/occupied", "x");
  Image r(5094);
  r.Text(0, "tem");
  WriteFileBytes(Side(".tem"), Header(0x89156984, 1, 0x3200) + r.str());
  DebugLogWatch log;
  CZvAccountFile file;
  file.SetPath(Path());
  EXPECT_EQ(file.Load(), 0);
  EXPECT_TRUE(file.Records().empty());
  EXPECT_TRUE(log.Saw("can not copy " + Side(".tem") + " to " + Path() + " file last error No:"));
}

TEST_F(AccountFileTest, SaveFailsWithoutTouchingFilesWhenTemCannotBeCreated) {
  CZvAccountFile file;
  file.SetPath(dir_.Sub("missing/folder/a.dat"));
  file.Records().resize(1);
  EXPECT_EQ(file.Save(), 10);
  EXPECT_FALSE(FileExists(dir_.Sub("missing")));
}

// A record write that does not complete (the file size limit stands in for
// a full disk) fails with 12 and leaves the main file and backups alone.
TEST_F(AccountFileTest, SaveFailsWithTwelveWhenARecordCannotBeWritten) {
  CZvAccountFile file;
  file.SetPath(Path());
  file.Records().resize(1);
  ASSERT_EQ(file.Save(), 0);
  const std::string main = ReadFileBytes(Path());
  pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    signal(SIGXFSZ, SIG_IGN);
    struct rlimit limit = {8000, 8000};
    setrlimit(RLIMIT_FSIZE, &limit);
    file.Records().resize(2);
    _exit(file.Save());
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 12);
  EXPECT_EQ(ReadFileBytes(Path()), main);
  EXPECT_FALSE(FileExists(Side(".bak0")));
}

// The record a crash-test writer saves as version n: every slot counts n and
// the tail carries the CRC of the rest, so a torn record shows.
SyncAccountRecord VersionRecord(uint32_t n) {
  SyncAccountRecord r{};
  std::snprintf(r.userName, sizeof r.userName, "crash%u", n);
  r.deviceId = n * 2654435761u;
  for (auto& slot : r.logSlots) {
    slot.storedBytes = n;
    slot.runningCrc = n ^ 0xA5A5A5A5;
  }
  for (size_t i = 0; i < sizeof r.configSlots; ++i) {
    reinterpret_cast<uint8_t*>(r.configSlots)[i] = static_cast<uint8_t>(n + i);
  }
  uint32_t crc = CCrc().Compute(&r, offsetof(SyncAccountRecord, tail));
  std::memcpy(r.tail, &crc, sizeof crc);
  return r;
}

// Kills a process that saves in a loop at random instants; after every kill
// the file loads as a complete version no older than the last save that
// returned (the page cache outlives the process, so this holds for saves
// that leave their rename to the next commit, or everything to write-back,
// too: two rounds in three).
TEST_F(AccountFileTest, KillDuringSaveAlwaysLeavesACompleteCopy) {
  std::mt19937 random(12345);
  uint32_t next = 1;
  for (int round = 0; round < 200; ++round) {
    int pipe_fds[2];
    ASSERT_EQ(pipe(pipe_fds), 0);
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      close(pipe_fds[0]);
      CZvAccountFile writer;
      writer.SetPath(Path());
      const CZvAccountFile::Durability modes[] = {CZvAccountFile::Durability::kNow,
                                                  CZvAccountFile::Durability::kWithNextCommit,
                                                  CZvAccountFile::Durability::kWhenWrittenBack};
      const auto durability = modes[round % 3];
      for (uint32_t n = next;; ++n) {
        writer.Records().assign(1, VersionRecord(n));
        if (writer.Save(durability) != 0) _exit(3);
        if (write(pipe_fds[1], &n, sizeof n) != sizeof n) _exit(4);
      }
    }
    close(pipe_fds[1]);
    // The version loaded last round is on disk already; the first round
    // waits for a first complete save.
    uint32_t saved = next - 1;
    if (round == 0) {
      ASSERT_EQ(read(pipe_fds[0], &saved, sizeof saved), static_cast<ssize_t>(sizeof saved));
    }
    usleep(std::uniform_int_distribution<useconds_t>(0, 20000)(random));
    ASSERT_EQ(kill(child, SIGKILL), 0);
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFSIGNALED(status)) << "the writer stopped by itself: " << status;
    uint32_t n = 0;
    while (read(pipe_fds[0], &n, sizeof n) == static_cast<ssize_t>(sizeof n)) saved = n;
    close(pipe_fds[0]);

    CZvAccountFile reader;
    reader.SetPath(Path());
    reader.Load();
    ASSERT_EQ(reader.Records().size(), 1u) << "round " << round;
    const SyncAccountRecord& got = reader.Records()[0];
    const uint32_t version = got.logSlots[0].storedBytes;
    ASSERT_EQ(FirstDifference(RecordBytes(got), RecordBytes(VersionRecord(version))), -1)
        << "round " << round;
    ASSERT_GE(version, saved) << "round " << round;
    ASSERT_LE(version, saved + 1) << "round " << round;
    next = version + 1;
  }
}

}  // namespace
}  // namespace zv
