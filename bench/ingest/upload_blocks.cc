#include "upload_blocks.h"

#include <lzma.h>
#include <lzo/lzo1b.h>
#include <lzo/lzoconf.h>

#include <algorithm>
#include <cstring>
#include <mutex>

#include "log_table_text.h"
#include "protocol/block.h"
#include "protocol/block_decoder.h"
#include "util/crc.h"

namespace zv::bench {
namespace {

constexpr size_t kLzmaPropsSize = 5;
// Offered offset of a data block: content offset 0, behind the header.
constexpr size_t kOffsetOnWire = kBlockHeaderSize;
// Header and data-block head together: what a send patches and copies.
constexpr size_t kBlockHead = kBlockHeaderSize + kFileDataHeaderSize;

bool InitLzo() {
  static std::once_flag once;
  static bool ok = false;
  std::call_once(once, [] { ok = lzo_init() == LZO_E_OK; });
  return ok;
}

bool EncodeLzo(const void* data, size_t length, std::vector<uint8_t>* out) {
  if (!InitLzo()) return false;
  const size_t head = out->size();
  out->resize(head + length + length / 16 + 64 + 3);
  std::vector<uint8_t> work(LZO1B_MEM_COMPRESS);
  lzo_uint out_len = out->size() - head;
  int rc = lzo1b_1_compress(static_cast<const lzo_bytep>(data), length, out->data() + head,
                            &out_len, work.data());
  if (rc != LZO_E_OK) return false;
  out->resize(head + out_len);
  return true;
}

// Five property bytes and a raw LZMA1 stream without an end marker, as the
// appliances' one-call encoder writes it.
bool EncodeLzma(int preset, const void* data, size_t length, std::vector<uint8_t>* out) {
  lzma_options_lzma options;
  if (lzma_lzma_preset(&options, static_cast<uint32_t>(preset))) return false;
  options.dict_size = std::max<uint32_t>(4096, std::min<uint32_t>(options.dict_size,
                                                                  static_cast<uint32_t>(length)));
  options.ext_flags = 0;
  lzma_set_ext_size(options, length);
  lzma_filter filters[2] = {{LZMA_FILTER_LZMA1EXT, &options}, {LZMA_VLI_UNKNOWN, nullptr}};
  const size_t head = out->size();
  out->resize(head + kLzmaPropsSize + length + length / 2 + 1024);
  if (lzma_properties_encode(&filters[0], out->data() + head) != LZMA_OK) return false;
  size_t out_pos = head + kLzmaPropsSize;
  lzma_ret rc = lzma_raw_buffer_encode(filters, nullptr, static_cast<const uint8_t*>(data),
                                       length, out->data(), &out_pos, out->size());
  if (rc != LZMA_OK) return false;
  out->resize(out_pos);
  return true;
}

}  // namespace

const char* MethodName(Method method) {
  switch (method) {
    case Method::kStored:
      return "stored";
    case Method::kLzo1b:
      return "LZO1B";
    case Method::kLzma:
      return "LZMA";
  }
  return "?";
}

bool EncodeDataBlock(Method method, int lzma_preset, const void* data, size_t length,
                     uint32_t offered_offset, std::vector<uint8_t>* content) {
  if (length == 0 || length > kMaxOriginSize) return false;
  content->assign(kFileDataHeaderSize, 0);
  StoreLe32(content->data(), offered_offset);
  StoreLe32(content->data() + 4, static_cast<uint32_t>(length));
  (*content)[12] = static_cast<uint8_t>(method);
  bool ok = false;
  switch (method) {
    case Method::kStored: {
      const auto* p = static_cast<const uint8_t*>(data);
      content->insert(content->end(), p, p + length);
      ok = true;
      break;
    }
    case Method::kLzo1b:
      ok = EncodeLzo(data, length, content);
      break;
    case Method::kLzma:
      ok = EncodeLzma(lzma_preset, data, length, content);
      break;
  }
  return ok && content->size() <= kMaxBlockSize - kBlockHeaderSize;
}

bool UploadBlocks::Prepare(const UploadOptions& options, std::string* error) {
  const size_t min_size = LogTableText::Header().size() + LogTableText::kMinimumRows;
  if (options.block_size < 4096 || options.block_size > (2u << 20)) {
    *error = "the block size must be 4 KiB to 2 MiB";
    return false;
  }
  if (options.size < std::max<uint64_t>(min_size, 4096) || options.size > 0xFFFFFFFFull) {
    *error = "the file size must be 4 KiB to 4 GiB - 1 (a 32-bit field)";
    return false;
  }
  if (options.distinct < 1 || options.lzma_preset < 0 || options.lzma_preset > 9) {
    *error = "bad --distinct or --lzma-preset";
    return false;
  }
  size_ = options.size;
  block_size_ = options.block_size;
  const uint64_t full = size_ / block_size_;
  const uint64_t blocks = std::max<uint64_t>(full, 1);
  const size_t first = static_cast<size_t>(full == 0 ? size_ : block_size_ + size_ % block_size_);

  chunks_.clear();
  chunks_.push_back(LogTableText::WithHeader(options.seed, first));
  const uint64_t cycle = std::min<uint64_t>(blocks - 1, static_cast<uint64_t>(options.distinct));
  for (uint64_t c = 0; c < cycle; ++c) {
    chunks_.push_back(LogTableText::Rows(options.seed * 1000 + c + 1, block_size_));
  }
  if (chunks_.size() == 1) chunks_.push_back(std::string());  // ChunkOf never picks it

  for (int m = 0; m < kMethodCount; ++m) {
    encoded_[m].clear();
    for (const std::string& chunk : chunks_) {
      Encoded encoded;
      if (!chunk.empty()) {
        std::vector<uint8_t> content;
        if (!EncodeDataBlock(static_cast<Method>(m), options.lzma_preset, chunk.data(),
                             chunk.size(), 0, &content)) {
          *error = std::string("encoding a block with ") + MethodName(static_cast<Method>(m)) +
                   " failed";
          return false;
        }
        encoded.wire = BuildBlock(kCmdFileData, content.data(), content.size());
        MaskBlock(encoded.wire.data(), encoded.wire.size());
        encoded.origin_size = static_cast<uint32_t>(chunk.size());
      }
      encoded_[m].push_back(std::move(encoded));
    }
  }

  offsets_.clear();
  uint64_t offset = 0;
  for (uint64_t i = 0; i < blocks; ++i) {
    offsets_.push_back(offset);
    offset += chunks_[ChunkOf(i)].size();
  }
  if (offset != size_) throw 0;
  file_crc_ = CrcOfPrefix(size_);
  return true;
}

uint32_t UploadBlocks::BlockLength(size_t i) const {
  return static_cast<uint32_t>(chunks_[ChunkOf(i)].size());
}

size_t UploadBlocks::BlockAt(uint64_t offset) const {
  if (offset >= size_) throw 0;
  auto it = std::upper_bound(offsets_.begin(), offsets_.end(), offset);
  return static_cast<size_t>(it - offsets_.begin()) - 1;
}

uint32_t UploadBlocks::CrcOfPrefix(uint64_t offset) const {
  CCrc crc;
  uint32_t value = 0;
  for (size_t i = 0; i < offsets_.size() && offsets_[i] < offset; ++i) {
    const std::string& plain = Plain(i);
    const uint64_t take = std::min<uint64_t>(plain.size(), offset - offsets_[i]);
    value = crc.Update(value, plain.data(), static_cast<size_t>(take));
  }
  return value;
}

uint64_t UploadBlocks::WireBytes(Method method) const {
  uint64_t total = 0;
  for (size_t i = 0; i < offsets_.size(); ++i) total += Block(i, method).wire.size();
  return total;
}

bool UploadBlocks::SendBlock(ApplianceClient* client, size_t i, Method method) const {
  const Encoded& block = Block(i, method);
  // The head is copied and patched; the data go out from the shared bytes.
  uint8_t head[kBlockHead];
  std::memcpy(head, block.wire.data(), kBlockHead);
  uint8_t offset[4];
  StoreLe32(offset, static_cast<uint32_t>(offsets_[i]));
  for (int b = 0; b < 4; ++b) head[kOffsetOnWire + b] = offset[b] ^ kBlockMask;
  return client->SendRaw(head, kBlockHead) &&
         client->SendRaw(block.wire.data() + kBlockHead, block.wire.size() - kBlockHead);
}

bool UploadBlocks::SendPartial(ApplianceClient* client, uint64_t offset) const {
  const size_t i = BlockAt(offset);
  const std::string& plain = Plain(i);
  const size_t skip = static_cast<size_t>(offset - offsets_[i]);
  std::vector<uint8_t> content;
  if (!EncodeDataBlock(Method::kStored, 0, plain.data() + skip, plain.size() - skip,
                       static_cast<uint32_t>(offset), &content)) {
    return false;
  }
  return client->SendBlock(kCmdFileData, content.data(), content.size());
}

}  // namespace zv::bench
