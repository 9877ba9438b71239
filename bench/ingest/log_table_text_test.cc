#include "log_table_text.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "db/table_file.h"

namespace zv::bench {
namespace {

TEST(LogTableTextTest, HeaderNamesTheFifteenColumns) {
  EXPECT_EQ(LogTableText::Header(),
            "id\trecord_time\tsrc_ip\tsrc_port\tdst_ip\tdst_port\tprotocol\tuser_name\taction\t"
            "host\turl\tbytes_out\tbytes_in\tcategory\tdetail\n");
}

TEST(LogTableTextTest, RowsHaveExactlyTheAskedLengthInWholeRows) {
  for (size_t length : {size_t{15}, size_t{16}, size_t{200}, size_t{4096}, size_t{1} << 20}) {
    SCOPED_TRACE(length);
    std::string rows = LogTableText::Rows(7, length);
    ASSERT_EQ(rows.size(), length);
    EXPECT_EQ(rows.back(), '\n');
    EXPECT_EQ(rows.find('\r'), std::string::npos);
    size_t start = 0;
    while (start < rows.size()) {
      size_t end = rows.find('\n', start);
      ASSERT_NE(end, std::string::npos);
      EXPECT_EQ(std::count(rows.begin() + start, rows.begin() + end, '\t'),
                LogTableText::kColumns - 1)
          << rows.substr(start, end - start);
      start = end + 1;
    }
  }
}

TEST(LogTableTextTest, TooShortALengthIsAProgrammingError) {
  EXPECT_THROW(LogTableText::Rows(1, LogTableText::kMinimumRows - 1), int);
}

TEST(LogTableTextTest, SameSeedSameBytesOtherSeedOtherBytes) {
  EXPECT_EQ(LogTableText::Rows(3, 65536), LogTableText::Rows(3, 65536));
  EXPECT_NE(LogTableText::Rows(3, 65536), LogTableText::Rows(4, 65536));
}

// Chunks of rows may follow a header chunk in any order and still make a
// file the importer loads.
TEST(LogTableTextTest, HeaderChunkAndRowChunksPassTheImportersCheck) {
  TableFileChecker checker;
  std::string first = LogTableText::WithHeader(1, 100000);
  ASSERT_EQ(first.size(), 100000u);
  ASSERT_TRUE(checker.Feed(first.data(), first.size())) << checker.error();
  for (uint64_t seed : {5, 9, 5, 17}) {
    std::string chunk = LogTableText::Rows(seed, 65536 + seed);
    ASSERT_TRUE(checker.Feed(chunk.data(), chunk.size())) << checker.error();
  }
  EXPECT_TRUE(checker.Finish()) << checker.error();
  EXPECT_EQ(checker.columns().size(), static_cast<size_t>(LogTableText::kColumns));
  EXPECT_GT(checker.rows(), 1000u);
}

}  // namespace
}  // namespace zv::bench
