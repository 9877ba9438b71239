// UploadBlocks: one log-table file prepared for upload, held in memory so
// that the sending side of a benchmark costs almost nothing.
//
// The file is cut into data blocks of block_size bytes. The first block
// carries the header line and the remainder of size / block_size (so it is
// up to twice as long); the others repeat a cycle of `distinct` different
// chunks of rows. Every chunk ends at a row boundary, so the file is a valid
// table file however the chunks repeat. Each chunk is encoded once with
// each compression method and kept masked, as it goes on the wire; a send
// patches only the block's offered offset.
//
// Immutable after Prepare; any number of threads may send from one object.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "client/appliance_client.h"

namespace zv::bench {

enum class Method : uint8_t { kStored = 0, kLzo1b = 1, kLzma = 2 };
inline constexpr int kMethodCount = 3;
const char* MethodName(Method method);

// The content of a data block (command 5) for data encoded with method:
// offered offset, origin size, an unused word, the method byte and the
// encoded data. False when the encoder failed or the block would exceed
// the protocol's limit.
[[nodiscard]] bool EncodeDataBlock(Method method, int lzma_preset, const void* data,
                                   size_t length, uint32_t offered_offset,
                                   std::vector<uint8_t>* content);

struct UploadOptions {
  uint64_t size = 1ull << 30;
  uint32_t block_size = 1u << 20;
  int distinct = 8;       // different row chunks in the cycle
  int lzma_preset = 6;
  uint64_t seed = 1;
};

class UploadBlocks {
 public:
  // A chunk of the file encoded with one method, masked, ready to send.
  struct Encoded {
    std::vector<uint8_t> wire;  // whole block, masked; offered offset 0
    uint32_t origin_size = 0;
  };

  // Builds the chunks and encodes them; false (with *error) on bad options.
  [[nodiscard]] bool Prepare(const UploadOptions& options, std::string* error);

  uint64_t size() const { return size_; }
  uint32_t block_size() const { return block_size_; }
  size_t block_count() const { return offsets_.size(); }
  // File offset where block i starts, and its length.
  uint64_t BlockOffset(size_t i) const { return offsets_[i]; }
  uint32_t BlockLength(size_t i) const;
  // Index of the block holding file offset (REQUIRES offset < size()).
  size_t BlockAt(uint64_t offset) const;
  // Plain bytes of block i.
  const std::string& Plain(size_t i) const { return chunks_[ChunkOf(i)]; }
  // Block i encoded with method (offered offset field 0).
  const Encoded& Block(size_t i, Method method) const {
    return encoded_[static_cast<int>(method)][ChunkOf(i)];
  }
  // CRC-32 of the whole file and of its first offset bytes.
  uint32_t FileCrc() const { return file_crc_; }
  uint32_t CrcOfPrefix(uint64_t offset) const;
  // Bytes on the wire of the whole file sent with method.
  uint64_t WireBytes(Method method) const;

  // Sends block i with method and the offered offset, from the shared
  // masked bytes (no copy of the data).
  [[nodiscard]] bool SendBlock(ApplianceClient* client, size_t i, Method method) const;
  // Sends the bytes of the file from offset (inside block i) to the end of
  // block i as a stored block, for a resume that starts inside a block.
  [[nodiscard]] bool SendPartial(ApplianceClient* client, uint64_t offset) const;

 private:
  size_t ChunkOf(size_t i) const {
    return i == 0 ? 0 : 1 + (i - 1) % (chunks_.size() - 1);
  }

  uint64_t size_ = 0;
  uint32_t block_size_ = 0;
  std::vector<std::string> chunks_;         // [0] first block, then the cycle
  std::vector<Encoded> encoded_[kMethodCount];
  std::vector<uint64_t> offsets_;
  uint32_t file_crc_ = 0;
};

}  // namespace zv::bench
