// BlockDecoder: turns the content of one file data block (command 5) into
// the bytes it carries: stored (method 0), LZO1B (method 1) or LZMA with
// five property bytes in front of a raw LZMA1 stream (method 2).
//
// Content layout (little-endian):
//   0  u32  offered offset of this piece
//   4  u32  origin size: length after decompression, 1 to 0x400400
//   8  u32  not read
//  12  u8   compression method (compared as a signed byte)
//  13  ...  data, LZO1B stream, or 5 LZMA property bytes + raw stream
//
// Owned by one session and used only by its worker thread. It keeps the
// LZMA decoder state between blocks so that blocks of one size do not
// allocate again; the LZO path never allocates. Whatever the network sends,
// the decoder reads only inside the content and writes only inside the
// caller's output buffer.
#pragma once

#include <lzma.h>

#include <cstddef>
#include <cstdint>
#include <span>

#include "protocol/result_codes.h"

namespace zv {

// Bytes before the data in a data block's content.
inline constexpr size_t kDataBlockHeadSize = 13;
// Largest origin size, and the capacity the output buffer must have.
inline constexpr uint32_t kMaxOriginSize = 0x400400;

enum CompressMethod : int8_t {
  kMethodStored = 0,
  kMethodLzo1b = 1,
  kMethodLzma = 2,
};

// The fixed head of a data block's content.
struct DataBlockHead {
  uint32_t offered_offset = 0;
  uint32_t origin_size = 0;
  uint32_t unused = 0;
  int8_t method = 0;  // signed on purpose: 128..255 read as negative
};

// The outcome of decoding one block.
struct DecodedBlock {
  // kNoError; kDataError (6): the head is malformed (method 3..127, origin
  // size 0) or a stored block carries fewer bytes than its origin size;
  // kUncompressError (10): the data cannot be decoded to exactly the origin
  // size, the origin size is too large, or the method is unknown.
  ResultCode code = kNoError;
  // On success: origin-size bytes, either inside the content (stored) or at
  // the start of the output buffer.
  const uint8_t* data = nullptr;
  uint32_t length = 0;

  bool ok() const { return code == kNoError; }
};

class BlockDecoder {
 public:
  BlockDecoder();
  ~BlockDecoder();

  // Gives back the LZMA decoder's memory now (the next LZMA block takes it
  // again), so that the thread that decoded frees it, not the one that
  // deletes the decoder.
  void Release();
  BlockDecoder(const BlockDecoder&) = delete;
  BlockDecoder& operator=(const BlockDecoder&) = delete;

  // False when the content is too short to hold the head (12 bytes or
  // less); the session ends without a reply then.
  [[nodiscard]] static bool ParseHead(std::span<const uint8_t> content, DataBlockHead* head);

  // The session's first test of a data block: false (answer code 6) when the
  // method, read as a signed byte, is above 2, or the origin size is 0.
  // Methods 128..255 pass and fail later in Decode as unknown (code 10).
  [[nodiscard]] static bool IsAcceptableHead(const DataBlockHead& head);

  // Decodes a whole block content. output must hold kMaxOriginSize bytes
  // (else throws 0). Writes the failure's debug line itself; the caller
  // writes its own refusal lines, answers with result.code, and on success
  // counts the decoded bytes for the speed display.
  [[nodiscard]] DecodedBlock Decode(std::span<const uint8_t> content, std::span<uint8_t> output);

 private:
  DecodedBlock DecodeLzo(std::span<const uint8_t> data, uint32_t origin_size,
                         std::span<uint8_t> output);
  DecodedBlock DecodeLzma(std::span<const uint8_t> data, uint32_t origin_size,
                          std::span<uint8_t> output);

  // Raw LZMA1 decoder state, reused from block to block.
  lzma_stream lzma_ = LZMA_STREAM_INIT;
};

}  // namespace zv
