#include "config/ini_file.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "test_util.h"

namespace zv {
namespace {

TEST(IniFileTest, MissingFileIsMinusOne) {
  testing::ScopedTempDir dir;
  IniFile ini;
  EXPECT_EQ(-1, ini.Load(dir.Sub("absent.ini")));
  EXPECT_EQ("d", ini.GetString("a", "b", "d"));
}

TEST(IniFileTest, FolderOrFifoIsNotAFile) {
  testing::ScopedTempDir dir;
  IniFile ini;
  EXPECT_EQ(-1, ini.Load(dir.path()));
  ASSERT_EQ(0, ::mkfifo(dir.Sub("fifo.ini").c_str(), 0600));
  EXPECT_EQ(-1, ini.Load(dir.Sub("fifo.ini")));  // must not wait for a writer
}

TEST(IniFileTest, OversizedFileRefusedUnread) {
  testing::ScopedTempDir dir;
  testing::WriteFileBytes(dir.Sub("big.ini"), "[S]\nA=1\n");
  ASSERT_EQ(0, ::truncate(dir.Sub("big.ini").c_str(), (64 << 20) + 1));  // sparse
  IniFile ini;
  EXPECT_EQ(-2, ini.Load(dir.Sub("big.ini")));
  EXPECT_EQ("d", ini.GetString("S", "A", "d"));
}

TEST(IniFileTest, LoadReadsFileAndReplacesEarlierContent) {
  testing::ScopedTempDir dir;
  testing::WriteFileBytes(dir.Sub("one.ini"), "[S]\r\nA=1\r\n");
  testing::WriteFileBytes(dir.Sub("two.ini"), "[S]\r\nB=2\r\n");
  IniFile ini;
  ASSERT_EQ(0, ini.Load(dir.Sub("one.ini")));
  EXPECT_EQ(1u, ini.GetUInt("S", "A", 9));
  ASSERT_EQ(0, ini.Load(dir.Sub("two.ini")));
  EXPECT_EQ(9u, ini.GetUInt("S", "A", 9));
  EXPECT_EQ(2u, ini.GetUInt("S", "B", 9));
}

TEST(IniFileTest, SectionsAndKeysIgnoreCase) {
  IniFile ini;
  ini.Parse("[db_config]\nsqluser=admin\n");
  EXPECT_EQ("admin", ini.GetString("DB_CONFIG", "SQLUser", ""));
  EXPECT_EQ("admin", ini.GetString("Db_Config", "SQLUSER", ""));
}

TEST(IniFileTest, OneBlankRemovedOnEachSideOfEqualsTrailingBlanksKept) {
  IniFile ini;
  ini.Parse("[S]\nKey = value  \nTwo  =  x\n");
  EXPECT_EQ("value  ", ini.GetString("S", "Key", ""));
  // Only one blank on each side goes: the key keeps one, the value one.
  EXPECT_EQ("none", ini.GetString("S", "Two", "none"));
  EXPECT_EQ(" x", ini.GetString("S", "Two ", "none"));
}

TEST(IniFileTest, TrailingCarriageReturnsAndLineFeedsRemoved) {
  IniFile ini;
  ini.Parse("[S]\r\nA=x\r\r\nB=y");
  EXPECT_EQ("x", ini.GetString("S", "A", ""));
  EXPECT_EQ("y", ini.GetString("S", "B", ""));
}

TEST(IniFileTest, LeadingWhiteSpaceAndComments) {
  IniFile ini;
  ini.Parse("  \t[S]\n   A=1\n# B=2\n ;C=3\n\n\tD=4\n");
  EXPECT_EQ("1", ini.GetString("S", "A", ""));
  EXPECT_EQ("none", ini.GetString("S", "B", "none"));
  EXPECT_EQ("none", ini.GetString("S", "C", "none"));
  EXPECT_EQ("none", ini.GetString("S", "# B", "none"));
  EXPECT_EQ("4", ini.GetString("S", "D", ""));
}

TEST(IniFileTest, LinesBeforeFirstSectionAndWithoutKeyIgnored) {
  IniFile ini;
  ini.Parse("A=early\n[S]\n=5\nnovalue\nB=late\n");
  EXPECT_EQ("none", ini.GetString("S", "A", "none"));
  EXPECT_EQ("late", ini.GetString("S", "B", ""));
  EXPECT_EQ("none", ini.GetString("S", "", "none"));
  EXPECT_EQ("none", ini.GetString("S", "novalue", "none"));
}

TEST(IniFileTest, EqualsInValueKeptAfterFirst) {
  IniFile ini;
  ini.Parse("[S]\nA=b=c\n");
  EXPECT_EQ("b=c", ini.GetString("S", "A", ""));
}

TEST(IniFileTest, HeaderWithTrailingCommentNamesAnotherSection) {
  IniFile ini;
  ini.Parse("[S] ; the main section\nA=1\n[T]\nB=2\n");
  EXPECT_EQ("none", ini.GetString("S", "A", "none"));
  // The name runs to the end of the line, line end included.
  EXPECT_EQ("1", ini.GetString("S] ; the main section\n", "A", "none"));
  EXPECT_EQ("2", ini.GetString("T", "B", ""));
}

TEST(IniFileTest, HeaderClosedByBracketBeforeLineEndOnly) {
  IniFile ini;
  ini.Parse("[a]b]\r\nK=v\n");
  EXPECT_EQ("v", ini.GetString("a]b", "K", ""));
}

TEST(IniFileTest, DuplicateSectionMergesDuplicateKeyFirstWins) {
  IniFile ini;
  ini.Parse("[S]\nA=first\n[T]\nX=1\n[s]\nA=second\nB=2\na=third\n");
  EXPECT_EQ("first", ini.GetString("S", "A", ""));
  EXPECT_EQ("2", ini.GetString("S", "B", ""));
  EXPECT_EQ("1", ini.GetString("T", "X", ""));
}

TEST(IniFileTest, NamesCompareOnFirst96Characters) {
  const std::string long_section(96, 's');
  const std::string long_key(96, 'k');
  IniFile ini;
  ini.Parse("[" + long_section + "XYZ]\n" + long_key + "ABC=v\n");
  EXPECT_EQ("v", ini.GetString(long_section, long_key, ""));
  EXPECT_EQ("v", ini.GetString(long_section + "other", long_key + "other", ""));
  EXPECT_EQ("none", ini.GetString(long_section.substr(1), long_key, "none"));
}

TEST(IniFileTest, IntegersFollowStrtoul) {
  IniFile ini;
  ini.Parse(std::string(
                "[ZV_CONFIG]\n"
                "DelDay = 30 \n"
                "Abc=abc\n"
                "Minus=-1\n"
                "Lead=   42x\n"
                "Plus=+7\n"
                "Empty=\n"
                "Big=4294967296\n"
                "Max=4294967295\n"
                "Long=") + std::string(30, '0') + "12345\n");
  EXPECT_EQ(30u, ini.GetUInt("ZV_CONFIG", "DelDay", 0));
  EXPECT_EQ(0u, ini.GetUInt("ZV_CONFIG", "Abc", 5));
  EXPECT_EQ(4294967295u, ini.GetUInt("ZV_CONFIG", "Minus", 0));
  EXPECT_EQ(42u, ini.GetUInt("ZV_CONFIG", "Lead", 0));
  EXPECT_EQ(7u, ini.GetUInt("ZV_CONFIG", "Plus", 0));
  EXPECT_EQ(5u, ini.GetUInt("ZV_CONFIG", "Empty", 5));
  EXPECT_EQ(5u, ini.GetUInt("ZV_CONFIG", "Missing", 5));
  EXPECT_EQ(5u, ini.GetUInt("OTHER", "DelDay", 5));
  // Out of range saturates as a 32-bit strtoul does.
  EXPECT_EQ(4294967295u, ini.GetUInt("ZV_CONFIG", "Big", 0));
  EXPECT_EQ(4294967295u, ini.GetUInt("ZV_CONFIG", "Max", 0));
  // Only the first 31 characters count: 35 characters, the last four cut.
  EXPECT_EQ(1u, ini.GetUInt("ZV_CONFIG", "Long", 0));
}

TEST(IniFileTest, LongLineSplitIntoSeveralLines) {
  // 65,534 characters make one line; the rest is read as a line of its own.
  std::string first = "A=" + std::string(65534 - 2, 'x');
  IniFile ini;
  ini.Parse("[S]\n" + first + "B=tail\n");
  EXPECT_EQ(std::string(65532, 'x'), ini.GetString("S", "A", ""));
  EXPECT_EQ("tail", ini.GetString("S", "B", ""));
}

TEST(IniFileTest, NulEndsTheLine) {
  IniFile ini;
  ini.Parse(std::string("[S]\nA=ab\0cd\nB=2\n", 16));
  EXPECT_EQ("ab", ini.GetString("S", "A", ""));
  EXPECT_EQ("2", ini.GetString("S", "B", ""));
}

TEST(IniFileTest, GarbageNeverCrashes) {
  std::string text;
  uint32_t seed = 12345;
  for (int i = 0; i < 200000; ++i) {
    seed = seed * 1103515245 + 12345;
    const char alphabet[] = "[]=;# \t\r\nab0-";
    text.push_back(alphabet[(seed >> 16) % (sizeof(alphabet) - 1)]);
  }
  IniFile ini;
  ini.Parse(text);
  EXPECT_EQ("d", ini.GetString("no such", "key", "d"));
}

}  // namespace
}  // namespace zv
