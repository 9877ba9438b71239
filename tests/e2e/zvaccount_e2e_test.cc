// The account-file tool writes records as the console does.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>

#include "records/account_file.h"
#include "server_harness.h"

namespace zv::e2e {
namespace {

std::string Field(const SyncAccountRecord& record, size_t offset) {
  const char* bytes = reinterpret_cast<const char*>(&record) + offset;
  return std::string(bytes, strnlen(bytes, 64));
}

TEST(ZvaccountE2ETest, AddWritesTheConsolesRecordLayout) {
  ServerHome home;
  ASSERT_TRUE(home.AddAccount("demo", "demo", "shop1"));
  std::string output;
  ASSERT_EQ(RunToEnd(ProgramPath("zvaccount"),
                     {"add", home.account_file(), "--user", "second", "--password", "pw",
                      "--storage", "shop2", "--base-date", "20240229", "--schedule",
                      "0017003b0a00"},
                     home.Environment(), &output),
            0)
      << output;

  CZvAccountFile file;
  file.SetPath(home.account_file());
  ASSERT_EQ(file.Load(), 0);
  ASSERT_EQ(file.Records().size(), 2u);
  const SyncAccountRecord& first = file.Records()[0];
  const uint8_t* bytes = reinterpret_cast<const uint8_t*>(&first);
  EXPECT_EQ(Field(first, 0x00), "demo");
  EXPECT_EQ(Field(first, 0x14), "demo");
  EXPECT_EQ(Field(first, 0x28), "shop1");
  EXPECT_EQ(std::vector<uint8_t>(bytes + 0x48, bytes + 0x4C), std::vector<uint8_t>(4, 0));
  // Base date 2010-12-16: u16 year, u8 month, u8 day.
  EXPECT_EQ(std::vector<uint8_t>(bytes + 0x88, bytes + 0x8C),
            (std::vector<uint8_t>{0xDA, 0x07, 0x0C, 0x10}));
  // Slots 0..13 at 0xA6, 84 bytes each, named from the base date and device 0.
  const char* kinds[] = {"A", "U", "M", "C", "P", "O", "F", "S", "I", "W", "T", "oprlog", "Q", "X"};
  for (size_t slot = 0; slot < 14; ++slot) {
    EXPECT_EQ(Field(first, 0xA6 + slot * 84),
              std::string("20101216_0000_00000000_") + kinds[slot] + ".dat");
  }
  EXPECT_EQ(Field(first, 0xA6 + 14 * 84), "");

  const SyncAccountRecord& second = file.Records()[1];
  const uint8_t* second_bytes = reinterpret_cast<const uint8_t*>(&second);
  EXPECT_EQ(std::vector<uint8_t>(second_bytes + 0x8C, second_bytes + 0x92),
            (std::vector<uint8_t>{0x00, 0x17, 0x00, 0x3B, 0x0A, 0x00}));
  EXPECT_EQ(Field(second, 0xA6), "20240229_0000_00000000_A.dat");

  // A second account of the same name (in any case) is refused.
  EXPECT_NE(RunToEnd(ProgramPath("zvaccount"),
                     {"add", home.account_file(), "--user", "DEMO", "--password", "x",
                      "--storage", "s"},
                     home.Environment()),
            0);
  ASSERT_EQ(RunToEnd(ProgramPath("zvaccount"), {"list", home.account_file()},
                     home.Environment(), &output),
            0);
  EXPECT_NE(output.find("user demo storage shop1"), std::string::npos) << output;
  EXPECT_NE(output.find("user second storage shop2"), std::string::npos) << output;
}

TEST(ZvaccountE2ETest, RefusesFieldsThatDoNotFit) {
  ServerHome home;
  EXPECT_NE(RunToEnd(ProgramPath("zvaccount"),
                     {"add", home.account_file(), "--user", "twentycharactersname",
                      "--password", "x", "--storage", "s"},
                     home.Environment()),
            0);
  EXPECT_NE(RunToEnd(ProgramPath("zvaccount"),
                     {"add", home.account_file(), "--user", "u", "--password", "x", "--storage",
                      "s", "--base-date", "20101332"},
                     home.Environment()),
            0);
  EXPECT_FALSE(::zv::testing::FileExists(home.account_file()));
}

// An account file that is there but cannot be read is not taken for an
// empty one: a new account saved over it would drop every other.
TEST(ZvaccountE2ETest, AnUnreadableAccountFileIsLeftAlone) {
  ServerHome home;
  ASSERT_TRUE(home.AddAccount("demo", "demo", "shop1"));  // makes the folder
  const std::string path = home.account_file();
  ASSERT_EQ(unlink(path.c_str()), 0);
  ASSERT_EQ(symlink(path.c_str(), path.c_str()), 0);  // every open fails
  std::string output;
  EXPECT_EQ(RunToEnd(ProgramPath("zvaccount"),
                     {"add", path, "--user", "second", "--password", "pw", "--storage", "s"},
                     home.Environment(), &output),
            1)
      << output;
  struct stat st;
  ASSERT_EQ(lstat(path.c_str(), &st), 0);
  EXPECT_TRUE(S_ISLNK(st.st_mode)) << "a new account file took its place";
}

}  // namespace
}  // namespace zv::e2e
