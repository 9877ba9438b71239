// BlockEncoder: the appliance's side of the data block compression. Turns
// a piece of a file into the content of one file data block (command 5):
//
//   0  u32  offered offset of the piece
//   4  u32  origin size (the piece's length)
//   8  u32  0
//  12  u8   method: 0 stored, 1 LZO1B, 2 LZMA
//  13  ...  the piece, its LZO1B stream, or 5 LZMA property bytes followed
//           by the raw LZMA1 stream (with an end marker)
//
// Owned by one client and used by one thread at a time; it keeps the LZO
// work memory and the output buffer between blocks.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <vector>

namespace zv {

enum class Compression : uint8_t {
  kStored = 0,
  kLzo = 1,
  kLzma = 2,
};

class BlockEncoder {
 public:
  // The most data a stored block can carry within the block size limit.
  static constexpr uint32_t kMaxStoredPiece = 0x400400 - 12 - 13;
  // The most data one block may carry once decompressed.
  static constexpr uint32_t kMaxOriginSize = 0x400400;

  BlockEncoder();
  ~BlockEncoder();
  BlockEncoder(const BlockEncoder&) = delete;
  BlockEncoder& operator=(const BlockEncoder&) = delete;

  // LZMA preset (0..9) used by kLzma; 1 by default.
  void set_lzma_preset(uint32_t preset) { lzma_preset_ = preset; }

  // The content of a block carrying piece at offered_offset, compressed with
  // method. False when the piece is empty or larger than kMaxOriginSize, or
  // when the result does not fit in one block (a stored piece above
  // kMaxStoredPiece, or data that does not compress); the caller then sends
  // smaller pieces or stores them.
  [[nodiscard]] bool Encode(std::span<const uint8_t> piece, uint32_t offered_offset,
                            Compression method, std::vector<uint8_t>* content);

  // Raw compressors: the LZO1B stream of data (lzo1b_1_compress), and the
  // 5 property bytes plus raw LZMA1 stream of data.
  [[nodiscard]] bool CompressLzo1b(std::span<const uint8_t> data, std::vector<uint8_t>* out);
  [[nodiscard]] bool CompressLzma(std::span<const uint8_t> data, std::vector<uint8_t>* out);

 private:
  std::unique_ptr<uint8_t[]> lzo_work_;
  uint32_t lzma_preset_ = 1;
};

// The content of a data block with head fields and payload as given, for
// tests that send what a well-behaved appliance never would.
std::vector<uint8_t> BuildDataBlockContent(uint32_t offered_offset, uint32_t origin_size,
                                           uint8_t method, std::span<const uint8_t> payload);

}  // namespace zv
