// CCrc: the standard CRC-32 (ISO-HDLC / IEEE 802.3, as in zlib and ZIP):
// reflected polynomial 0xEDB88320, initial value and final XOR 0xFFFFFFFF.
// It sits on the path of every received byte, so Update folds with
// carry-less multiplication where the processor has it and uses sixteen
// byte-slice tables otherwise; the result equals the byte-at-a-time method
// for every length and alignment. Objects are cheap; any thread may use its own.
#pragma once

#include <cstddef>
#include <cstdint>

namespace zv {

class CCrc {
 public:
  CCrc();
  virtual ~CCrc() = default;

  // Continues a CRC: Update(Update(0, a), b) == Compute(a followed by b).
  // Update(x, p, 0) == x.
  uint32_t Update(uint32_t previous, const void* buffer, size_t length) const;
  // Update from 0.
  uint32_t Compute(const void* buffer, size_t length) const { return Update(0, buffer, length); }

  // The sixteen-table path alone (what Update uses on processors without
  // carry-less multiplication), so that it can be checked on any machine.
  uint32_t UpdateTableSliced(uint32_t previous, const void* buffer, size_t length) const;

  // The plain byte-at-a-time method; the reference the fast path must equal.
  uint32_t UpdateBytewise(uint32_t previous, const void* buffer, size_t length) const;

  // Entry i of the byte table (entry 1 is 0x77073096, entry 128 0xEDB88320).
  uint32_t TableEntry(unsigned i) const;
};

}  // namespace zv
