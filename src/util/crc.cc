#include "util/crc.h"

#include <array>
#include <bit>
#include <cstring>

namespace zv {

namespace {

constexpr uint32_t kPolynomial = 0x04C11DB7u;  // processed bit-reflected (0xEDB88320)
constexpr int kSlices = 16;

uint32_t Reflect(uint32_t value, int bits) {
  uint32_t out = 0;
  for (int i = 0; i < bits; ++i) {
    if (value & (1u << i)) out |= 1u << (bits - 1 - i);
  }
  return out;
}

// Table k gives the CRC contribution of a byte followed by k zero bytes;
// table 0 is the plain byte table.
struct SliceTables {
  std::array<std::array<uint32_t, 256>, kSlices> t;

  SliceTables() {
    for (uint32_t i = 0; i < 256; ++i) {
      // Bit-reversed index in the top byte, eight steps of the polynomial
      // most-significant bit first, then the whole word reversed.
      uint32_t c = Reflect(i, 8) << 24;
      for (int step = 0; step < 8; ++step) {
        c = (c & 0x80000000u) ? (c << 1) ^ kPolynomial : c << 1;
      }
      t[0][i] = Reflect(c, 32);
    }
    for (int k = 1; k < kSlices; ++k) {
      for (uint32_t i = 0; i < 256; ++i) {
        uint32_t prev = t[k - 1][i];
        t[k][i] = (prev >> 8) ^ t[0][prev & 0xFFu];
      }
    }
  }
};

// Built once, on first use; C++ makes the initialisation thread-safe.
const SliceTables& Tables() {
  static const SliceTables tables;
  return tables;
}

inline uint32_t LoadLe32(const uint8_t* p) {
  if constexpr (std::endian::native == std::endian::little) {
    uint32_t v;
    std::memcpy(&v, p, sizeof v);
    return v;
  } else {
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
           (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
  }
}

}  // namespace

CCrc::CCrc() { Tables(); }

uint32_t CCrc::Update(uint32_t previous, const void* buffer, size_t length) const {
  const auto& t = Tables().t;
  const uint8_t* p = static_cast<const uint8_t*>(buffer);
  uint32_t c = ~previous;
  // Sixteen bytes per step: each byte's contribution comes from the table
  // for its distance to the end of the block.
  while (length >= 16) {
    uint32_t a = LoadLe32(p) ^ c;
    uint32_t b = LoadLe32(p + 4);
    uint32_t d = LoadLe32(p + 8);
    uint32_t e = LoadLe32(p + 12);
    c = t[15][a & 0xFF] ^ t[14][(a >> 8) & 0xFF] ^ t[13][(a >> 16) & 0xFF] ^ t[12][a >> 24] ^
        t[11][b & 0xFF] ^ t[10][(b >> 8) & 0xFF] ^ t[9][(b >> 16) & 0xFF] ^ t[8][b >> 24] ^
        t[7][d & 0xFF] ^ t[6][(d >> 8) & 0xFF] ^ t[5][(d >> 16) & 0xFF] ^ t[4][d >> 24] ^
        t[3][e & 0xFF] ^ t[2][(e >> 8) & 0xFF] ^ t[1][(e >> 16) & 0xFF] ^ t[0][e >> 24];
    p += 16;
    length -= 16;
  }
  while (length-- > 0) c = (c >> 8) ^ t[0][(c ^ *p++) & 0xFF];
  return ~c;
}

uint32_t CCrc::UpdateBytewise(uint32_t previous, const void* buffer, size_t length) const {
  const auto& table = Tables().t[0];
  const uint8_t* p = static_cast<const uint8_t*>(buffer);
  uint32_t c = ~previous;
  for (size_t i = 0; i < length; ++i) c = (c >> 8) ^ table[(c & 0xFF) ^ p[i]];
  return ~c;
}

uint32_t CCrc::TableEntry(unsigned i) const {
  if (i > 255) throw 0;  // programming error
  return Tables().t[0][i];
}

}  // namespace zv
