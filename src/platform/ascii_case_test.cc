#include "platform/ascii_case.h"

#include <gtest/gtest.h>

namespace zv {
namespace {

TEST(AsciiCaseTest, OnlyAsciiLettersFold) {
  struct Case {
    std::string_view a, b;
    bool equal;
  };
  const Case cases[] = {
      {"demo", "DeMo", true},
      {"demo-00A1B2C3", "DEMO-00a1b2c3", true},
      {"", "", true},
      {"demo", "demo ", false},
      {"[", "{", false},      // 0x5B and 0x7B differ by 0x20 but are no letters
      {"@", "`", false},
      {"\xC3\x84", "\xC3\xA4", false},  // UTF-8 Ä and ä: bytes compare as they are
      {"\xC4", "\xE4", false},          // Latin-1 Ä and ä likewise
      {std::string_view("a\0b", 3), std::string_view("A\0B", 3), true},
      {std::string_view("a\0b", 3), "a", false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(EqualsIgnoringCase(c.a, c.b), c.equal) << c.a << " / " << c.b;
    EXPECT_EQ(EqualsIgnoringCase(c.b, c.a), c.equal) << c.b << " / " << c.a;
  }
  EXPECT_EQ(ToLowerAscii("AbC-\xC3\x84Z[@"), "abc-\xC3\x84z[@");
}

}  // namespace
}  // namespace zv
