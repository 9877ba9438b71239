#include "client/block_encoder.h"

#include <lzma.h>
#include <lzo/lzo1b.h>
#include <lzo/lzoconf.h>

#include <cstring>
#include <mutex>

#include "protocol/block.h"

namespace zv {
namespace {

constexpr size_t kHeadSize = 13;
constexpr size_t kMaxContent = kMaxBlockSize - kBlockHeaderSize;

void InitLzoOnce() {
  static std::once_flag once;
  std::call_once(once, [] { (void)lzo_init(); });
}

void PutHead(uint8_t* head, uint32_t offered_offset, uint32_t origin_size, uint8_t method) {
  StoreLe32(head, offered_offset);
  StoreLe32(head + 4, origin_size);
  StoreLe32(head + 8, 0);
  head[12] = method;
}

}  // namespace

std::vector<uint8_t> BuildDataBlockContent(uint32_t offered_offset, uint32_t origin_size,
                                           uint8_t method, std::span<const uint8_t> payload) {
  std::vector<uint8_t> content(kHeadSize + payload.size());
  PutHead(content.data(), offered_offset, origin_size, method);
  if (!payload.empty()) std::memcpy(content.data() + kHeadSize, payload.data(), payload.size());
  return content;
}

BlockEncoder::BlockEncoder() : lzo_work_(new uint8_t[LZO1B_MEM_COMPRESS]) { InitLzoOnce(); }

BlockEncoder::~BlockEncoder() = default;

bool BlockEncoder::CompressLzo1b(std::span<const uint8_t> data, std::vector<uint8_t>* out) {
  out->resize(data.size() + data.size() / 64 + 16 + 3);
  lzo_uint length = out->size();
  int rc = lzo1b_1_compress(data.data(), data.size(), out->data(), &length, lzo_work_.get());
  if (rc != LZO_E_OK) return false;
  out->resize(length);
  return true;
}

bool BlockEncoder::CompressLzma(std::span<const uint8_t> data, std::vector<uint8_t>* out) {
  lzma_options_lzma options;
  if (lzma_lzma_preset(&options, lzma_preset_)) return false;
  // The one-call format needs no dictionary larger than the data.
  if (options.dict_size > data.size()) {
    options.dict_size =
        data.size() < LZMA_DICT_SIZE_MIN ? LZMA_DICT_SIZE_MIN : static_cast<uint32_t>(data.size());
  }
  lzma_stream stream = LZMA_STREAM_INIT;
  if (lzma_alone_encoder(&stream, &options) != LZMA_OK) return false;
  // The .lzma header is 5 property bytes and an 8-byte size field; the
  // block carries the properties and the raw stream only.
  out->resize(13 + data.size() + data.size() / 16 + 4096);
  stream.next_in = data.data();
  stream.avail_in = data.size();
  stream.next_out = out->data();
  stream.avail_out = out->size();
  lzma_ret rc = lzma_code(&stream, LZMA_FINISH);
  const size_t produced = out->size() - stream.avail_out;
  lzma_end(&stream);
  if (rc != LZMA_STREAM_END || produced < 13) return false;
  out->resize(produced);
  out->erase(out->begin() + 5, out->begin() + 13);
  return true;
}

bool BlockEncoder::Encode(std::span<const uint8_t> piece, uint32_t offered_offset,
                          Compression method, std::vector<uint8_t>* content) {
  if (piece.empty() || piece.size() > kMaxOriginSize) return false;
  const auto origin = static_cast<uint32_t>(piece.size());
  if (method == Compression::kStored) {
    if (piece.size() > kMaxStoredPiece) return false;
    *content = BuildDataBlockContent(offered_offset, origin, 0, piece);
    return true;
  }
  std::vector<uint8_t> packed;
  bool ok =
      method == Compression::kLzo ? CompressLzo1b(piece, &packed) : CompressLzma(piece, &packed);
  if (!ok || kHeadSize + packed.size() > kMaxContent) return false;
  *content = BuildDataBlockContent(offered_offset, origin, static_cast<uint8_t>(method), packed);
  return true;
}

}  // namespace zv
