#include "crashdump/safe_text.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdint>
#include <functional>
#include <string>

#include "test_util.h"

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
  };
  for (const Case& c : cases) {
    char buffer[64];
    SafeText text(buffer, sizeof(buffer));
    c.write(text);
    EXPECT_STREQ(c.expected, text.c_str());
    EXPECT_FALSE(text.Overflowed());
  }
}

TEST(SafeTextTest, UnboundTextIsCutAndSaysSo) {
  char buffer[6];
  SafeText text(buffer, sizeof(buffer));
  text.Add("abc").Dec(12345);
  EXPECT_STREQ("abc12", text.c_str());
  EXPECT_TRUE(text.Overflowed());
}

TEST(SafeTextTest, BoundTextWritesEverythingThroughASmallBuffer) {
  testing::ScopedTempDir dir;
  const std::string path = dir.Sub("out.txt");
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  ASSERT_GE(fd, 0);
  std::string expected;
  {
    char buffer[8];
    SafeText text(buffer, sizeof(buffer), fd);
    for (int i = 0; i < 40; ++i) {
      text.Add("line ").Dec(static_cast<uint64_t>(i)).Add('\n');
      expected += "line " + std::to_string(i) + "\n";
    }
    EXPECT_TRUE(text.Flush());
    EXPECT_FALSE(text.Overflowed());
  }
  ::close(fd);
  EXPECT_EQ(expected, testing::ReadFileBytes(path));
}

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
