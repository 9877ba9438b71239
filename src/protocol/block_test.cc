#include "protocol/block.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "client/appliance_client.h"
#include "protocol/login_set.h"

namespace zv {
namespace {

std::string Bytes(const std::vector<uint8_t>& v) { return std::string(v.begin(), v.end()); }

TEST(BlockTest, ValueBlockLayout) {
  // A pending echo: size 16, command 3, reserved 0, value "jjjj".
  const uint8_t expected[] = {0x10, 0x00, 0x00, 0x00, 0x03, 0x00, 0x00, 0x00,
                              0x00, 0x00, 0x00, 0x00, 0x6A, 0x6A, 0x6A, 0x6A};
  std::vector<uint8_t> block = BuildValueBlock(kCmdPending, kPendingEcho);
  ASSERT_EQ(block.size(), sizeof(expected));
  EXPECT_EQ(0, std::memcmp(block.data(), expected, sizeof(expected)));
}

TEST(BlockTest, MaskCoversHeaderAndContent) {
  std::vector<uint8_t> block = BuildValueBlock(kCmdError, 5);
  MaskBlock(block.data(), block.size());
  // Each byte XOR 0xA7: 10 00 00 00 | 07 00 00 00 | 00.. | 05 00 00 00.
  const uint8_t expected[] = {0xB7, 0xA7, 0xA7, 0xA7, 0xA0, 0xA7, 0xA7, 0xA7,
                              0xA7, 0xA7, 0xA7, 0xA7, 0xA2, 0xA7, 0xA7, 0xA7};
  ASSERT_EQ(block.size(), sizeof(expected));
  EXPECT_EQ(0, std::memcmp(block.data(), expected, sizeof(expected)));
  MaskBlock(block.data(), block.size());
  EXPECT_EQ(Bytes(block), Bytes(BuildValueBlock(kCmdError, 5)));
}

TEST(BlockTest, EmptyBlockIsHeaderOnly) {
  std::vector<uint8_t> block = BuildBlock(kCmdTaskFinished, nullptr, 0, 0x01020304);
  const uint8_t expected[] = {0x0C, 0, 0, 0, 0x0A, 0, 0, 0, 0x04, 0x03, 0x02, 0x01};
  ASSERT_EQ(block.size(), sizeof(expected));
  EXPECT_EQ(0, std::memcmp(block.data(), expected, sizeof(expected)));
  BlockHeader header = ParseBlockHeader(block.data());
  EXPECT_EQ(header.size, 12u);
  EXPECT_EQ(header.command, 10u);
  EXPECT_EQ(header.reserved, 0x01020304u);
}

TEST(BlockTest, ContentSizeOfShortHeaders) {
  EXPECT_EQ(BlockContentSize(0), 0u);
  EXPECT_EQ(BlockContentSize(5), 0u);
  EXPECT_EQ(BlockContentSize(12), 0u);
  EXPECT_EQ(BlockContentSize(13), 1u);
  EXPECT_EQ(BlockContentSize(kMaxBlockSize), kMaxBlockSize - 12);
}

TEST(BlockTest, OversizedContentIsAProgrammingError) {
  std::vector<uint8_t> big(kMaxBlockSize - 11);
  EXPECT_THROW(BuildBlock(kCmdFileData, big.data(), big.size()), int);
  EXPECT_EQ(BuildBlock(kCmdFileData, big.data(), big.size() - 1).size(), kMaxBlockSize);
}

TEST(BlockTest, ServerVersionPlain) {
  auto field = FormatServerVersion(false, "ignored", 1234);
  const char text[] = "Korvane ZVSync Server V3.2 Build Dec 16 2010";
  EXPECT_EQ(0, std::memcmp(field.data(), text, sizeof(text)));  // with its NUL
  for (size_t i = sizeof(text); i < field.size(); ++i) ASSERT_EQ(field[i], '\0') << i;
}

TEST(BlockTest, ServerVersionWithSystemInfo) {
  auto field = FormatServerVersion(true, "Some CPU @ 2.00GHz", 16000);
  EXPECT_STREQ(field.data(),
               "Korvane ZVSync Server V3.2 Build Dec 16 2010 Some CPU @ 2.00GHz 16000MB Memory");
  auto unknown = FormatServerVersion(true, "", 512);
  EXPECT_STREQ(unknown.data(), "Korvane ZVSync Server V3.2 Build Dec 16 2010 Unkonwn 512MB Memory");
}

TEST(BlockTest, ServerVersionLongProcessorNameKeepsTerminator) {
  auto field = FormatServerVersion(true, std::string(400, 'x'), 1);
  EXPECT_EQ(field[255], '\0');
  EXPECT_EQ(std::strlen(field.data()), 255u);
}

TEST(BlockTest, ClientVersionLayout) {
  auto field = FormatClientVersion("appliance 7");
  EXPECT_EQ(0, std::memcmp(field.data(), "Korvane ZVSync Client V3.2appliance 7", 38));
  EXPECT_EQ(field[37], '\0');
  auto cut = FormatClientVersion(std::string(300, 'y'));
  EXPECT_EQ(cut[254], 'y');
  EXPECT_EQ(cut[255], '\0');
}

TEST(BlockTest, LoginContentLayout) {
  LoginRequest request;
  request.user = "demo";
  request.password = "pw";
  request.device_id = 0x00A1B2C3;
  request.client_value1 = 0x11223344;
  request.client_value2 = 7;
  request.client_address = {10, 1, 2, 3};
  ClientAuthBlock block = BuildLoginContent(request);
  uint8_t expected[56] = {};
  std::memcpy(expected, "demo", 4);
  std::memcpy(expected + 20, "pw", 2);
  const uint8_t tail[] = {0xC3, 0xB2, 0xA1, 0x00, 0x44, 0x33, 0x22, 0x11,
                          0x07, 0x00, 0x00, 0x00, 10,   1,    2,    3};
  std::memcpy(expected + 40, tail, sizeof(tail));
  EXPECT_EQ(0, std::memcmp(&block, expected, sizeof(expected)));
}

TEST(BlockTest, LoginContentCutsLongNames) {
  LoginRequest request;
  request.user = std::string(30, 'u');
  request.password = std::string(30, 'p');
  ClientAuthBlock block = BuildLoginContent(request);
  EXPECT_EQ(block.userName[18], 'u');
  EXPECT_EQ(block.userName[19], '\0');
  EXPECT_EQ(block.password[18], 'p');
  EXPECT_EQ(block.password[19], '\0');
}

TEST(LoginSetTest, KeysIgnoreLetterCase) {
  LoginSet set;
  EXPECT_TRUE(set.Insert("Demo-00A1B2C3"));
  EXPECT_FALSE(set.Insert("demo-00a1b2c3"));
  EXPECT_FALSE(set.Insert("DEMO-00A1B2C3"));
  EXPECT_TRUE(set.Insert("demo-00A1B2C4"));
  EXPECT_TRUE(set.Contains("dEmO-00a1b2c3"));
  EXPECT_EQ(set.size(), 2u);
  set.Remove("DEMO-00A1B2C3");
  EXPECT_FALSE(set.Contains("demo-00a1b2c3"));
  EXPECT_TRUE(set.Insert("demo-00A1B2C3"));
  set.Remove("nobody-00000000");
  EXPECT_EQ(set.size(), 2u);
}

TEST(LoginSetTest, NormalizeLowersAsciiOnly) {
  EXPECT_EQ(LoginSet::Normalize("AbC-\xC3\x84Z"), "abc-\xC3\x84z");
}

}  // namespace
}  // namespace zv
