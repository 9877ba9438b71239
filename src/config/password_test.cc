#include <gtest/gtest.h>
#include <nettle/des.h>

#include <cstdint>
#include <string>

#include "config/zv_sync_config.h"

namespace zv {
namespace {

// Enciphers plain (a multiple of 8 bytes) with the key "qtz" and writes it
// out as lower-case hexadecimal, as the tools that write dbconf.ini do.
std::string Encipher(const std::string& plain) {
  const uint8_t key[DES_KEY_SIZE] = {'q', 't', 'z', 0, 0, 0, 0, 0};
  des_ctx ctx;
  EXPECT_EQ(1, des_set_key(&ctx, key));
  std::string hex;
  for (size_t i = 0; i + DES_BLOCK_SIZE <= plain.size(); i += DES_BLOCK_SIZE) {
    uint8_t block[DES_BLOCK_SIZE];
    des_encrypt(&ctx, DES_BLOCK_SIZE, block, reinterpret_cast<const uint8_t*>(plain.data() + i));
    for (uint8_t b : block) {
      static const char kDigits[] = "0123456789abcdef";
      hex.push_back(kDigits[b >> 4]);
      hex.push_back(kDigits[b & 15]);
    }
  }
  return hex;
}

TEST(DecryptPasswordTest, KnownAnswerOfZeroBlockIsEmpty) {
  // 0000000000000000 enciphers to c880af59f94acb12 under "qtz".
  EXPECT_EQ("", DecryptPassword("c880af59f94acb12"));
}

TEST(DecryptPasswordTest, KnownAnswerDecrypt) {
  const std::string expected("\x47\x50\x16\x10\xda\x7a\x37\x5d", 8);
  EXPECT_EQ(expected, DecryptPassword("0123456789abcdef"));
}

TEST(DecryptPasswordTest, OneGroupCutAtFirstNul) {
  EXPECT_EQ("pw", DecryptPassword(Encipher(std::string("pw\0\0\0\0\0\0", 8))));
  EXPECT_EQ("pw", DecryptPassword(Encipher(std::string("pw\0after", 8))));
}

TEST(DecryptPasswordTest, LengthDigitKeepsThatManyBytesOfLastBlock) {
  const std::string hex = Encipher("secret12abcdefgh");
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
