#include "util/crc.h"

#include <algorithm>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace zv {
namespace {

uint32_t Crc(const std::string& s) { return CCrc().Compute(s.data(), s.size()); }

TEST(CrcTest, CheckValue) { EXPECT_EQ(Crc("123456789"), 0xCBF43926u); }

TEST(CrcTest, KnownAnswers) {
  // Values of the standard CRC-32, written down from its catalogue entry.
  EXPECT_EQ(Crc(std::string(32, '\0')), 0x190A55ADu);
  EXPECT_EQ(Crc(std::string(32, '\xFF')), 0xFF6CAB0Bu);
  std::string ramp;
  for (int i = 0; i < 32; ++i) ramp.push_back(static_cast<char>(i));
  EXPECT_EQ(Crc(ramp), 0x91267E8Au);
  EXPECT_EQ(Crc("The quick brown fox jumps over the lazy dog"), 0x414FA339u);
}

TEST(CrcTest, LongBufferThroughTheSlicedPath) {
  std::string data;
  for (int r = 0; r < 40; ++r) {
    for (int i = 0; i < 256; ++i) data.push_back(static_cast<char>(i));
  }
  EXPECT_EQ(Crc(data), 0xBBCE3B9Du);
}

TEST(CrcTest, EmptyAndZeroLength) {
  CCrc crc;
  EXPECT_EQ(crc.Compute("", 0), 0u);
  EXPECT_EQ(crc.Compute(nullptr, 0), 0u);
  for (uint32_t x : {0u, 1u, 0xCBF43926u, 0xFFFFFFFFu}) {
    EXPECT_EQ(crc.Update(x, "abc", 0), x);
    EXPECT_EQ(crc.UpdateBytewise(x, "abc", 0), x);
  }
}

TEST(CrcTest, UpdatesChain) {
  CCrc crc;
  const std::string text = "123456789";
  for (size_t split = 0; split <= text.size(); ++split) {
    uint32_t first = crc.Update(0, text.data(), split);
    EXPECT_EQ(crc.Update(first, text.data() + split, text.size() - split), 0xCBF43926u)
        << "split at " << split;
  }
}

TEST(CrcTest, TableEntries) {
  CCrc crc;
  EXPECT_EQ(crc.TableEntry(0), 0u);
  EXPECT_EQ(crc.TableEntry(1), 0x77073096u);
  EXPECT_EQ(crc.TableEntry(128), 0xEDB88320u);
  EXPECT_EQ(crc.TableEntry(255), 0x2D02EF8Du);
}

TEST(CrcTest, TableEntryOutOfRangeIsAProgrammingError) {
  CCrc crc;
  try {
    crc.TableEntry(256);
    ADD_FAILURE() << "no exception";
  } catch (int code) {
    EXPECT_EQ(code, 0);
  }
}

TEST(CrcTest, SlicedEqualsBytewiseForEveryLengthAndAlignment) {
  std::mt19937 rng(20240101);
  std::vector<uint8_t> data(5000 + 16 + 64);
  for (uint8_t& b : data) b = static_cast<uint8_t>(rng());
  CCrc crc;
  for (size_t length = 0; length <= 300; ++length) {
    for (size_t offset = 0; offset < 16; ++offset) {
      uint32_t expected = crc.UpdateBytewise(0x12345678u, data.data() + offset, length);
      ASSERT_EQ(crc.Update(0x12345678u, data.data() + offset, length), expected)
          << "length " << length << " offset " << offset;
      ASSERT_EQ(crc.UpdateTableSliced(0x12345678u, data.data() + offset, length), expected)
          << "length " << length << " offset " << offset;
    }
  }
  std::uniform_int_distribution<size_t> any_length(0, 5000);
  std::uniform_int_distribution<size_t> any_offset(0, 15);
  std::uniform_int_distribution<uint32_t> any_start;
  for (int i = 0; i < 2000; ++i) {
    size_t length = any_length(rng);
    size_t offset = any_offset(rng);
    uint32_t start = any_start(rng);
    uint32_t expected = crc.UpdateBytewise(start, data.data() + offset, length);
    ASSERT_EQ(crc.Update(start, data.data() + offset, length), expected)
        << "length " << length << " offset " << offset;
    ASSERT_EQ(crc.UpdateTableSliced(start, data.data() + offset, length), expected)
        << "length " << length << " offset " << offset;
  }
}

TEST(CrcTest, LargeBuffersAndSplitsAgreeWithBytewise) {
  std::mt19937 rng(7);
  std::vector<uint8_t> data((1 << 20) + 77);
  for (uint8_t& b : data) b = static_cast<uint8_t>(rng());
  CCrc crc;
  uint32_t whole = crc.UpdateBytewise(0, data.data(), data.size());
  EXPECT_EQ(crc.Update(0, data.data(), data.size()), whole);
  EXPECT_EQ(crc.UpdateTableSliced(0, data.data(), data.size()), whole);
  // The same bytes fed in pieces of every awkward size give the same value.
  std::uniform_int_distribution<size_t> piece(0, 70000);
  size_t at = 0;
  uint32_t running = 0;
  while (at < data.size()) {
    size_t n = std::min(piece(rng), data.size() - at);
    running = crc.Update(running, data.data() + at, n);
    at += n;
  }
  EXPECT_EQ(running, whole);
}

}  // namespace
}  // namespace zv
