#include "util/string_format.h"

#include <string>

#include <gtest/gtest.h>

namespace zv {
namespace {

TEST(FormatStringTest, ShortText) {
  EXPECT_EQ(FormatString("%s-%08X %u%%", "demo", 0xA1B2C3u, 7u), "demo-00A1B2C3 7%");
  EXPECT_EQ(FormatString("%s", ""), "");
}

// Lengths around the stack buffer of 512 bytes, and far beyond it.
TEST(FormatStringTest, TextsOfEveryLengthAroundTheBufferComeWhole) {
  for (size_t length : {510u, 511u, 512u, 513u, 4096u, 100000u}) {
    std::string expected(length, 'x');
    for (size_t i = 0; i < length; i += 7) expected[i] = static_cast<char>('a' + i % 26);
    EXPECT_EQ(FormatString("%s", expected.c_str()), expected) << length;
    EXPECT_EQ(FormatString("<%s>", expected.c_str()), "<" + expected + ">") << length;
  }
}

TEST(FormatStringTest, EmbeddedNulIsKept) {
  EXPECT_EQ(FormatString("a%cb", 0), std::string("a\0b", 3));
}

}  // namespace
}  // namespace zv
