#include "decode_rate.h"

#include <lzma.h>
#include <lzo/lzo1b.h>
#include <lzo/lzoconf.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <map>
#include <vector>

#include "protocol/block.h"
#include "protocol/block_decoder.h"

namespace zv::bench {
namespace {

constexpr size_t kDataAt = kBlockHeaderSize + kFileDataHeaderSize;
constexpr size_t kPropsSize = 5;

bool DecodeLzma(lzma_stream* stream, const uint8_t* data, size_t length, uint8_t* out,
                uint32_t origin) {
  if (length < kPropsSize) return false;
  lzma_filter filters[2] = {{LZMA_FILTER_LZMA1EXT, nullptr}, {LZMA_VLI_UNKNOWN, nullptr}};
  if (lzma_properties_decode(&filters[0], nullptr, data, kPropsSize) != LZMA_OK) return false;
  auto* options = static_cast<lzma_options_lzma*>(filters[0].options);
  options->dict_size = std::min<uint32_t>(options->dict_size, std::max<uint32_t>(origin, 4096));
  options->ext_flags = LZMA_LZMA1EXT_ALLOW_EOPM;
  lzma_set_ext_size(*options, origin);
  lzma_ret ret = lzma_raw_decoder(stream, filters);
  std::free(options);
  if (ret != LZMA_OK) return false;
  stream->next_in = data + kPropsSize;
  stream->avail_in = length - kPropsSize;
  stream->next_out = out;
  stream->avail_out = origin;
  stream->total_out = 0;
  do {
    ret = lzma_code(stream, LZMA_FINISH);
  } while (ret == LZMA_OK);
  return ret == LZMA_STREAM_END && stream->total_out == origin && stream->avail_in == 0;
}

}  // namespace

bool MeasureDecode(const UploadBlocks& blocks, Method method, double* seconds,
                   std::string* error) {
  if (method == Method::kStored) {
    *error = "stored blocks are not decoded";
    return false;
  }
  if (lzo_init() != LZO_E_OK) {
    *error = "lzo_init failed";
    return false;
  }
  // Unmasked copies of the distinct blocks, made before the clock starts.
  std::map<const void*, std::vector<uint8_t>> plain;
  for (size_t i = 0; i < blocks.block_count(); ++i) {
    const UploadBlocks::Encoded& block = blocks.Block(i, method);
    auto [it, added] = plain.try_emplace(&block, block.wire);
    if (added) MaskBlock(it->second.data(), it->second.size());
  }
  std::vector<uint8_t> output(kMaxOriginSize);
  lzma_stream stream = LZMA_STREAM_INIT;
  bool ok = true;
  auto start = std::chrono::steady_clock::now();
  for (size_t i = 0; ok && i < blocks.block_count(); ++i) {
    const UploadBlocks::Encoded& block = blocks.Block(i, method);
    const std::vector<uint8_t>& bytes = plain.find(&block)->second;
    const uint8_t* data = bytes.data() + kDataAt;
    const size_t length = bytes.size() - kDataAt;
    if (method == Method::kLzo1b) {
      lzo_uint out_len = output.size();
      ok = lzo1b_decompress_safe(data, length, output.data(), &out_len, nullptr) == LZO_E_OK &&
           out_len == block.origin_size;
    } else {
      ok = DecodeLzma(&stream, data, length, output.data(), block.origin_size);
    }
  }
  *seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  lzma_end(&stream);
  if (!ok) *error = std::string(MethodName(method)) + " block did not decode";
  return ok;
}

}  // namespace zv::bench
