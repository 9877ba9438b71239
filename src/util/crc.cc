#include "util/crc.h"

#include <array>
#include <bit>
#include <cstring>

#if defined(__x86_64__)
#include <immintrin.h>
#define ZV_CRC_HAVE_CLMUL 1
#endif

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

uint32_t UpdateSliced(uint32_t c, const uint8_t* p, size_t length) {
  const auto& t = Tables().t;
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
  return c;
}

#ifdef ZV_CRC_HAVE_CLMUL

bool CpuHasClmul() {
  static const bool has = [] {
    __builtin_cpu_init();
    return __builtin_cpu_supports("pclmul") && __builtin_cpu_supports("sse4.1");
  }();
  return has;
}

#define ZV_CLMUL_TARGET __attribute__((target("pclmul,sse4.1")))

ZV_CLMUL_TARGET inline __m128i Load128(const uint8_t* at) {
  return _mm_loadu_si128(reinterpret_cast<const __m128i*>(at));
}

// Moves a lane forward by the distance its constant pair encodes.
ZV_CLMUL_TARGET inline __m128i Fold(__m128i x, __m128i k) {
  return _mm_xor_si128(_mm_clmulepi64_si128(x, k, 0x00), _mm_clmulepi64_si128(x, k, 0x11));
}

// Folding with carry-less multiplication, 64 bytes per step in four
// 128-bit lanes. The constants are powers of x modulo the polynomial,
// bit-reflected and shifted left by one:
//   k1 = x^(4*128+32), k2 = x^(4*128-32)  (fold four lanes forward)
//   k3 = x^(128+32),   k4 = x^(128-32)    (fold one lane forward)
//   k5 = x^64                             (128 -> 64 bits)
// and for the final Barrett reduction mu = floor(x^64 / P) and P itself,
// both reflected over 33 bits.
// REQUIRES: length >= 64 and a multiple of 16. c is the running register
// (not inverted); the result is the register after the data.
ZV_CLMUL_TARGET uint32_t UpdateClmul(uint32_t c, const uint8_t* p, size_t length) {
  const __m128i k1k2 = _mm_set_epi64x(0x01c6e41596LL, 0x0154442bd4LL);
  const __m128i k3k4 = _mm_set_epi64x(0x00ccaa009eLL, 0x01751997d0LL);
  const __m128i k5 = _mm_set_epi64x(0, 0x0163cd6124LL);
  const __m128i mu_poly = _mm_set_epi64x(0x01f7011641LL, 0x01db710641LL);
  const __m128i low32 = _mm_setr_epi32(~0, 0, ~0, 0);

  __m128i x1 = _mm_xor_si128(Load128(p), _mm_cvtsi32_si128(static_cast<int>(c)));
  __m128i x2 = Load128(p + 16);
  __m128i x3 = Load128(p + 32);
  __m128i x4 = Load128(p + 48);
  p += 64;
  length -= 64;
  while (length >= 64) {
    x1 = _mm_xor_si128(Fold(x1, k1k2), Load128(p));
    x2 = _mm_xor_si128(Fold(x2, k1k2), Load128(p + 16));
    x3 = _mm_xor_si128(Fold(x3, k1k2), Load128(p + 32));
    x4 = _mm_xor_si128(Fold(x4, k1k2), Load128(p + 48));
    p += 64;
    length -= 64;
  }
  // Four lanes into one.
  x1 = _mm_xor_si128(Fold(x1, k3k4), x2);
  x1 = _mm_xor_si128(Fold(x1, k3k4), x3);
  x1 = _mm_xor_si128(Fold(x1, k3k4), x4);
  while (length >= 16) {
    x1 = _mm_xor_si128(Fold(x1, k3k4), Load128(p));
    p += 16;
    length -= 16;
  }
  // 128 -> 64 bits.
  __m128i t = _mm_clmulepi64_si128(x1, k3k4, 0x10);
  x1 = _mm_xor_si128(_mm_srli_si128(x1, 8), t);
  // 64 -> 32 bits.
  t = _mm_srli_si128(x1, 4);
  x1 = _mm_xor_si128(_mm_clmulepi64_si128(_mm_and_si128(x1, low32), k5, 0x00), t);
  // Barrett reduction to the 32-bit remainder.
  t = _mm_clmulepi64_si128(_mm_and_si128(x1, low32), mu_poly, 0x10);
  t = _mm_clmulepi64_si128(_mm_and_si128(t, low32), mu_poly, 0x00);
  x1 = _mm_xor_si128(x1, t);
  return static_cast<uint32_t>(_mm_extract_epi32(x1, 1));
}

#endif  // ZV_CRC_HAVE_CLMUL

}  // namespace

CCrc::CCrc() { Tables(); }

uint32_t CCrc::Update(uint32_t previous, const void* buffer, size_t length) const {
  const uint8_t* p = static_cast<const uint8_t*>(buffer);
  uint32_t c = ~previous;
#ifdef ZV_CRC_HAVE_CLMUL
  if (length >= 64 && CpuHasClmul()) {
    size_t bulk = length & ~static_cast<size_t>(15);
    c = UpdateClmul(c, p, bulk);
    p += bulk;
    length -= bulk;
  }
#endif
  return ~UpdateSliced(c, p, length);
}

uint32_t CCrc::UpdateTableSliced(uint32_t previous, const void* buffer, size_t length) const {
  return ~UpdateSliced(~previous, static_cast<const uint8_t*>(buffer), length);
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
