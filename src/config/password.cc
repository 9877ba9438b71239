// DecryptPassword: SQLPWD in dbconf.ini is DES ciphertext written as
// lower-case hexadecimal, 16 digits per 8-byte block, optionally followed
// by one decimal digit that says how many bytes of the last block belong to
// the password.
#include <nettle/des.h>

#include <cstdint>
#include <string>

#include "config/zv_sync_config.h"

namespace zv {
namespace {

// The key is assembled at run time from a short text rather than kept as a
// ready byte string.
void BuildKey(uint8_t key[DES_KEY_SIZE]) {
  static const char kKeyText[] = "qtz";
  for (size_t i = 0; i < DES_KEY_SIZE; ++i) key[i] = 0;
  for (size_t i = 0; kKeyText[i] != '\0'; ++i) {
    key[i % DES_KEY_SIZE] ^= static_cast<uint8_t>(kKeyText[i]);
  }
}

// Only 0-9 and a-f are digits; anything else counts as 0.
uint8_t HexValue(char c) {
  if (c >= '0' && c <= '9') return static_cast<uint8_t>(c - '0');
  if (c >= 'a' && c <= 'f') return static_cast<uint8_t>(c - 'a' + 10);
  return 0;
}

}  // namespace

std::string DecryptPassword(const std::string& text) {
  uint8_t key[DES_KEY_SIZE];
  BuildKey(key);
  des_ctx ctx;
  // des_set_key reports weak keys only; the key is fixed and not weak, and
  // the schedule is built either way.
  (void)des_set_key(&ctx, key);

  constexpr size_t kGroup = 2 * DES_BLOCK_SIZE;
  const size_t groups = text.size() / kGroup;
  std::string plain;
  plain.reserve(groups * DES_BLOCK_SIZE);
  for (size_t g = 0; g < groups; ++g) {
    uint8_t cipher[DES_BLOCK_SIZE];
    for (size_t i = 0; i < DES_BLOCK_SIZE; ++i) {
      const char* digits = text.data() + g * kGroup + 2 * i;
      cipher[i] = static_cast<uint8_t>((HexValue(digits[0]) << 4) | HexValue(digits[1]));
    }
    uint8_t block[DES_BLOCK_SIZE];
    des_decrypt(&ctx, DES_BLOCK_SIZE, block, cipher);
    plain.append(reinterpret_cast<const char*>(block), DES_BLOCK_SIZE);
  }

  if (text.size() % kGroup != 0) {
    const char last = text.back();
    const size_t used = (last >= '0' && last <= '9') ? static_cast<size_t>(last - '0') : 0;
    if (used < DES_BLOCK_SIZE) {
      const size_t drop = DES_BLOCK_SIZE - used;
      plain.resize(plain.size() > drop ? plain.size() - drop : 0);
    }
  }

  const size_t nul = plain.find('\0');
  if (nul != std::string::npos) plain.resize(nul);
  return plain;
}

}  // namespace zv
