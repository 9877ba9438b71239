#include "db/table_file.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "db/sql_text.h"
#include "test_util.h"

namespace zv {
namespace {

// Feeds the text in pieces of the given size, then finishes.
bool Check(const std::string& text, size_t piece, TableFileChecker* checker) {
  for (size_t at = 0; at < text.size(); at += piece) {
    if (!checker->Feed(text.data() + at, std::min(piece, text.size() - at))) return false;
  }
  return checker->Finish();
}

void ExpectGood(const std::string& text, const std::vector<std::string>& columns, uint64_t rows) {
  for (size_t piece : {size_t{1}, size_t{2}, size_t{3}, size_t{7}, text.size() + 1}) {
    TableFileChecker checker;
    EXPECT_TRUE(Check(text, piece, &checker)) << checker.error() << " piece " << piece;
    EXPECT_EQ(columns, checker.columns());
    EXPECT_EQ(rows, checker.rows()) << "piece " << piece;
  }
}

void ExpectBad(const std::string& text, const std::string& error) {
  for (size_t piece : {size_t{1}, size_t{3}, text.size() + 1}) {
    TableFileChecker checker;
    EXPECT_FALSE(Check(text, piece, &checker)) << "piece " << piece;
    EXPECT_EQ(error, checker.error()) << "piece " << piece;
    // Once failed, it stays failed.
    EXPECT_FALSE(checker.Feed("x", 1));
    EXPECT_FALSE(checker.Finish());
  }
}

TEST(TableFileCheckerTest, WellFormedFiles) {
  ExpectGood("id\tname\n", {"id", "name"}, 0);
  ExpectGood("id\tname", {"id", "name"}, 0);
  ExpectGood("id\tname\n1\tfoo\n2\tbar\n", {"id", "name"}, 2);
  ExpectGood("id\tname\n1\tfoo\n2\tbar", {"id", "name"}, 2);  // last line without '\n'
  ExpectGood("a\tb\n\t\n", {"a", "b"}, 1);                   // two empty fields
  ExpectGood("a\n\n\n", {"a"}, 2);                           // empty single fields
  ExpectGood("a\tb\n\\N\tx\\ty\\ny\\rz\\\\\n", {"a", "b"}, 1);
  ExpectGood("a\tb\nx\t\\N\n", {"a", "b"}, 1);
  ExpectGood("record_time\tmsg\n2010-12-16 15:30:00\t\xe6\x97\xa5\xe5\xbf\x97\n",
             {"record_time", "msg"}, 1);
  ExpectGood("a\n\xf0\x9f\x98\x80\n", {"a"}, 1);  // four-byte UTF-8
}

TEST(TableFileCheckerTest, RowWithOtherFieldCountIsMalformed) {
  ExpectBad("a\tb\n1\t2\n3\n", "line 3: 1 fields where the header has 2");
  ExpectBad("a\tb\n1\t2\t3\n", "line 2: 3 fields where the header has 2");
  ExpectBad("a\tb\n1\t2\n3", "line 3: 1 fields where the header has 2");
}

TEST(TableFileCheckerTest, BadEscapesAreMalformed) {
  ExpectBad("a\nx\\0\n", "line 2: unknown escape \\0");
  ExpectBad("a\nx\\\n", "line 2: backslash at the end of a line");
  ExpectBad("a\nx\\", "line 2: backslash at the end of the file");
  ExpectBad("a\nx\\N\n", "line 2: \\N inside a field");
  ExpectBad("a\n\\Nx\n", "line 2: \\N followed by more text");
  ExpectBad("a\n\\N\\t\n", "line 2: \\N followed by more text");
}

TEST(TableFileCheckerTest, RawCarriageReturnIsMalformed) {
  ExpectBad("a\nx\r\n", "line 2: raw carriage return (write it as \\r)");
  ExpectBad("a\r\nx\n", "line 1: carriage return in the header");
}

TEST(TableFileCheckerTest, InvalidUtf8IsMalformed) {
  ExpectBad("a\n\xca\xfd\n", "line 2: invalid UTF-8");                // GBK
  ExpectBad("a\n\xc0\xaf\n", "line 2: invalid UTF-8");                // overlong
  ExpectBad("a\n\xed\xa0\x80\n", "line 2: invalid UTF-8");            // surrogate
  ExpectBad("a\n\xf4\x90\x80\x80\n", "line 2: invalid UTF-8");        // above U+10FFFF
  ExpectBad("a\n\xe6\x97\n", "line 2: invalid UTF-8");                // cut by the line end
  ExpectBad("a\n\xe6\x97", "line 2: invalid UTF-8 at the end of the file");
}

TEST(TableFileCheckerTest, BadHeadersAreMalformed) {
  ExpectBad("", "line 1: no header line");
  ExpectBad("a\tb c\n", "line 1: column name \"b c\" is not a plain identifier");
  ExpectBad("a\t\n", "line 1: column name \"\" is not a plain identifier");
  ExpectBad("a`b\n", "line 1: column name \"a`b\" is not a plain identifier");
  ExpectBad("Id\tid\n", "line 1: column id appears twice");
  ExpectBad(std::string(65, 'c') + "\n",
            "line 1: column name \"" + std::string(65, 'c') + "\" is not a plain identifier");
}

TEST(TableFileCheckerTest, HeaderLengthIsBounded) {
  std::string header;
  while (header.size() <= TableFileChecker::kMaxHeaderBytes) header += "c" + std::to_string(header.size()) + "\t";
  TableFileChecker checker;
  EXPECT_FALSE(checker.Feed(header.data(), header.size()));
  EXPECT_EQ("line 1: header line too long", checker.error());
}

TEST(TableFileCheckerTest, ReadHeaderFromFile) {
  ::zv::testing::ScopedTempDir dir;
  ::zv::testing::WriteFileBytes(dir.Sub("t.dat"), "id\tname\nrow\twith\ttoo many\n");
  std::vector<std::string> columns;
  std::string error;
  // Row errors are found while loading, not by the header reader.
  ASSERT_TRUE(ReadTableFileHeader(dir.Sub("t.dat"), &columns, &error)) << error;
  EXPECT_EQ(std::vector<std::string>({"id", "name"}), columns);

  ::zv::testing::WriteFileBytes(dir.Sub("bad.dat"), "id\tna-me\n");
  EXPECT_FALSE(ReadTableFileHeader(dir.Sub("bad.dat"), &columns, &error));
  EXPECT_EQ("line 1: column name \"na-me\" is not a plain identifier", error);

  EXPECT_FALSE(ReadTableFileHeader(dir.Sub("missing.dat"), &columns, &error));
  EXPECT_NE(std::string::npos, error.find("cannot open")) << error;
}

TEST(TableFileCheckerTest, EscapedFieldsCheckClean) {
  const std::string value = "a\tb\nc\rd\\e\\N";
  EXPECT_EQ("a\\tb\\nc\\rd\\\\e\\\\N", EscapeTableField(value));
  ExpectGood("v\n" + EscapeTableField(value) + "\n", {"v"}, 1);
}

TEST(SqlTextTest, PlainIdentifiers) {
  EXPECT_TRUE(IsSqlIdentifier("A20101216"));
  EXPECT_TRUE(IsSqlIdentifier("shop_1"));
  EXPECT_TRUE(IsSqlIdentifier(std::string(64, 'x')));
  EXPECT_FALSE(IsSqlIdentifier(std::string(65, 'x')));
  EXPECT_FALSE(IsSqlIdentifier(""));
  EXPECT_FALSE(IsSqlIdentifier("a.b"));
  EXPECT_FALSE(IsSqlIdentifier("a`b"));
  EXPECT_FALSE(IsSqlIdentifier("a b"));
  EXPECT_FALSE(IsSqlIdentifier("a'b"));
  EXPECT_FALSE(IsSqlIdentifier("\xe5\x95\x86"));
}

TEST(SqlTextTest, QuoteIdentifierDoublesBackticks) {
  EXPECT_EQ("`abc`", QuoteIdentifier("abc"));
  EXPECT_EQ("`a``b`", QuoteIdentifier("a`b"));
  EXPECT_EQ("````", QuoteIdentifier("`"));
}

TEST(SqlTextTest, SystemDatabases) {
  EXPECT_TRUE(IsSystemDatabase("mysql"));
  EXPECT_TRUE(IsSystemDatabase("MySQL"));
  EXPECT_TRUE(IsSystemDatabase("information_schema"));
  EXPECT_TRUE(IsSystemDatabase("performance_schema"));
  EXPECT_TRUE(IsSystemDatabase("sys"));
  EXPECT_FALSE(IsSystemDatabase("shop1"));
  EXPECT_FALSE(IsSystemDatabase("mysql1"));
}

}  // namespace
}  // namespace zv
