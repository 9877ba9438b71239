#include <gtest/gtest.h>

#include <string>

#include "config/zv_sync_config.h"
#include "test_util.h"

namespace zv {
namespace {

using testing::EncipherPassword;

TEST(DecryptPasswordTest, KnownAnswerOfZeroBlockIsEmpty) {
  // 0000000000000000 enciphers to c880af59f94acb12 under "qtz".
  EXPECT_EQ("", DecryptPassword("c880af59f94acb12"));
}

TEST(DecryptPasswordTest, KnownAnswerDecrypt) {
  const std::string expected("\x47\x50\x16\x10\xda\x7a\x37\x5d", 8);
  EXPECT_EQ(expected, DecryptPassword("0123456789abcdef"));
}

TEST(DecryptPasswordTest, OneGroupCutAtFirstNul) {
  EXPECT_EQ("pw", DecryptPassword(EncipherPassword(std::string("pw\0\0\0\0\0\0", 8))));
  EXPECT_EQ("pw", DecryptPassword(EncipherPassword(std::string("pw\0after", 8))));
}

TEST(DecryptPasswordTest, LengthDigitKeepsThatManyBytesOfLastBlock) {
  const std::string hex = EncipherPassword("secret12abcdefgh");
  ASSERT_EQ(32u, hex.size());
  EXPECT_EQ("secret12abcdefgh", DecryptPassword(hex));
  EXPECT_EQ("secret12abcde", DecryptPassword(hex + "5"));
  EXPECT_EQ("secret12", DecryptPassword(hex + "0"));
  EXPECT_EQ("secret12abcdefgh", DecryptPassword(hex + "8"));
  EXPECT_EQ("secret12abcdefgh", DecryptPassword(hex + "9"));
  // A non-digit reads as 0; only the last character of the rest counts.
  EXPECT_EQ("secret12", DecryptPassword(hex + "x"));
  EXPECT_EQ("secret12a", DecryptPassword(hex + "7x1"));
}

TEST(DecryptPasswordTest, OnlyLowerCaseHexDigitsCount) {
  // Upper-case letters and other characters count as the digit 0.
  EXPECT_EQ(DecryptPassword("0880005909400012"), DecryptPassword("C880AF59F94ACB12"));
  EXPECT_EQ(DecryptPassword("0000000000000000"), DecryptPassword("zz..--GG!!  \t\tqq"));
  EXPECT_NE(DecryptPassword("0880005909400012"), DecryptPassword("c880af59f94acb12"));
}

TEST(DecryptPasswordTest, ShortOrEmptyTexts) {
  EXPECT_EQ("", DecryptPassword(""));
  EXPECT_EQ("", DecryptPassword("5"));
  EXPECT_EQ("", DecryptPassword("0123456789abcde"));
}

}  // namespace
}  // namespace zv
