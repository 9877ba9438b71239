#include "crashdump/safe_text.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdint>
#include <functional>

namespace zv {
namespace {

TEST(SafeTextTest, FormatsNumbersByHand) {
  struct Case {
    std::function<void(SafeText&)> write;
    const char* expected;
  };
  const Case cases[] = {
      {[](SafeText& t) { t.Dec(0); }, "0"},
      {[](SafeText& t) { t.Dec(7, 2); }, "07"},
      {[](SafeText& t) { t.Dec(2026, 4); }, "2026"},
      {[](SafeText& t) { t.Dec(UINT64_MAX); }, "18446744073709551615"},
      {[](SafeText& t) { t.SignedDec(-480); }, "-480"},
      {[](SafeText& t) { t.SignedDec(INT64_MIN); }, "-9223372036854775808"},
      {[](SafeText& t) { t.Hex(0xD, 8); }, "0000000D"},
      {[](SafeText& t) { t.Hex(0xDEADBEEFCAFEull); }, "DEADBEEFCAFE"},
      {[](SafeText& t) { t.Address(0x7f12ab); }, "0x00000000007f12ab"},
      {[](SafeText& t) { t.Add("a").Add('b').Add(std::string_view("cde", 2)); }, "abcd"},
      // struct tm: second, minute, hour, day, month - 1, year - 1900, ...
      {[](SafeText& t) { t.DateTime(tm{9, 5, 23, 31, 11, 110, 0, 0, 0, 0, nullptr}); },
       "2010-12-31 23:05:09"},
      {[](SafeText& t) { t.DateTime(tm{0, 7, 0, 2, 0, 126, 0, 0, 0, 0, nullptr}, true); },
       "20260102_000700"},
  };
  for (const Case& c : cases) {
    char buffer[64];
    SafeText text(buffer, sizeof(buffer));
    c.write(text);
    EXPECT_STREQ(c.expected, text.c_str());
    EXPECT_FALSE(text.Overflowed());
  }
}

// A report that cannot be written completely must say why: the errno
// goes to the operation log.
TEST(SafeTextTest, AFailedWriteKeepsItsErrno) {
  const int fd = ::open("/dev/full", O_WRONLY | O_CLOEXEC);
  if (fd < 0) GTEST_SKIP() << "no /dev/full";
  char buffer[8];
  SafeText text(buffer, sizeof(buffer), fd);
  text.Add("more than eight bytes");
  EXPECT_FALSE(text.Flush());
  EXPECT_EQ(ENOSPC, text.error());
  ::close(fd);
}

}  // namespace
}  // namespace zv
