#include "protocol/block_decoder.h"

#include <lzo/lzo1b.h>
#include <lzo/lzoconf.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "log/sync_log.h"
#include "protocol/block.h"

namespace zv {

namespace {

// Size of the LZMA property header in front of the raw stream.
constexpr size_t kLzmaPropsSize = 5;

// The result numbers the appliances' LZMA library reports; the debug line
// keeps using them so that a failure reads the same as on the appliance.
constexpr int kSzErrorData = 1;
constexpr int kSzErrorMem = 2;
constexpr int kSzErrorUnsupported = 4;
constexpr int kSzErrorInputEof = 6;

// lzo_init must run once per process before the first decompression.
void InitLzoOnce() {
  static std::once_flag once;
  std::call_once(once, [] {
    if (lzo_init() != LZO_E_OK) {
      // The library does not match its header: nothing can be decoded.
      ZV_LOG_C("lzo_init failed!\n");
      throw 0;
    }
  });
}

int SzCodeOf(lzma_ret ret) {
  switch (ret) {
    case LZMA_MEM_ERROR:
      return kSzErrorMem;
    case LZMA_OPTIONS_ERROR:
      return kSzErrorUnsupported;
    case LZMA_BUF_ERROR:
      return kSzErrorInputEof;
    default:
      return kSzErrorData;
  }
}

DecodedBlock Failure(ResultCode code) {
  DecodedBlock result;
  result.code = code;
  return result;
}

DecodedBlock Decoded(const uint8_t* data, uint32_t length) {
  DecodedBlock result;
  result.data = data;
  result.length = length;
  return result;
}

}  // namespace

BlockDecoder::BlockDecoder() { InitLzoOnce(); }

BlockDecoder::~BlockDecoder() { lzma_end(&lzma_); }

void BlockDecoder::Release() {
  lzma_end(&lzma_);
  lzma_ = LZMA_STREAM_INIT;
}

bool BlockDecoder::ParseHead(std::span<const uint8_t> content, DataBlockHead* head) {
  if (head == nullptr) throw 0;
  if (content.size() < kDataBlockHeadSize) return false;
  head->offered_offset = LoadLe32(content.data());
  head->origin_size = LoadLe32(content.data() + 4);
  head->unused = LoadLe32(content.data() + 8);
  head->method = static_cast<int8_t>(content[12]);
  return true;
}

bool BlockDecoder::IsAcceptableHead(const DataBlockHead& head) {
  return head.method <= kMethodLzma && head.origin_size != 0;
}

DecodedBlock BlockDecoder::Decode(std::span<const uint8_t> content, std::span<uint8_t> output) {
  if (output.size() < kMaxOriginSize) throw 0;
  DataBlockHead head;
  if (!ParseHead(content, &head) || !IsAcceptableHead(head)) return Failure(kDataError);

  if (head.origin_size > kMaxOriginSize) {
    ZV_LOG_C("datainfo->origin_size==%u\n", head.origin_size);
    return Failure(kUncompressError);
  }
  std::span<const uint8_t> data = content.subspan(kDataBlockHeadSize);
  switch (head.method) {
    case kMethodLzo1b:
      return DecodeLzo(data, head.origin_size, output);
    case kMethodLzma:
      return DecodeLzma(data, head.origin_size, output);
    case kMethodStored: {
      ZV_LOG_R("Receive uncompressed data %u bytes\n", head.origin_size);
      // A stored block must carry all of its bytes: anything else would
      // store whatever happened to follow the received bytes in the buffer.
      if (data.size() < head.origin_size) {
        ZV_LOG_E("Stored data incomplete!origin:%u received:%u\n", head.origin_size,
                 static_cast<uint32_t>(data.size()));
        return Failure(kDataError);
      }
      return Decoded(data.data(), head.origin_size);
    }
    default:
      ZV_LOG_E("Unknown compress method %u!\n", static_cast<unsigned>(content[12]));
      return Failure(kUncompressError);
  }
}

DecodedBlock BlockDecoder::DecodeLzo(std::span<const uint8_t> data, uint32_t origin_size,
                                     std::span<uint8_t> output) {
  lzo_uint out_len = kMaxOriginSize;
  // The safe decompressor checks every read against the input length and
  // every write against out_len; it needs no work memory.
  int ret = lzo1b_decompress_safe(data.data(), static_cast<lzo_uint>(data.size()), output.data(),
                                  &out_len, nullptr);
  if (ret < 0) {
    ZV_LOG_E("Uncompress data failed!ret=%u\n", static_cast<unsigned>(ret));
    return Failure(kUncompressError);
  }
  if (out_len != origin_size) {
    ZV_LOG_E("Data size unmatched!origin:%u uncompressed:%u\n", origin_size,
             static_cast<uint32_t>(out_len));
    return Failure(kUncompressError);
  }
  return Decoded(output.data(), origin_size);
}

DecodedBlock BlockDecoder::DecodeLzma(std::span<const uint8_t> data, uint32_t origin_size,
                                      std::span<uint8_t> output) {
  if (data.size() < kLzmaPropsSize) {
    ZV_LOG_E("LzmaUncompress failed!ret=%d\n", kSzErrorInputEof);
    return Failure(kUncompressError);
  }
  lzma_filter filters[2];
  filters[0].id = LZMA_FILTER_LZMA1EXT;
  filters[0].options = nullptr;
  filters[1].id = LZMA_VLI_UNKNOWN;
  filters[1].options = nullptr;
  lzma_ret ret = lzma_properties_decode(&filters[0], nullptr, data.data(), kLzmaPropsSize);
  if (ret != LZMA_OK) {
    ZV_LOG_E("LzmaUncompress failed!ret=%d\n", SzCodeOf(ret));
    return Failure(kUncompressError);
  }
  auto* options = static_cast<lzma_options_lzma*>(filters[0].options);
  // The property bytes come from the network: the dictionary never needs to
  // be larger than the output, whatever size they claim.
  options->dict_size = std::min<uint32_t>(options->dict_size, std::max<uint32_t>(origin_size, 4096));
  // Streams with and without an end marker are both accepted; the known
  // output size ends a stream without one.
  options->ext_flags = LZMA_LZMA1EXT_ALLOW_EOPM;
  lzma_set_ext_size(*options, origin_size);
  ret = lzma_raw_decoder(&lzma_, filters);
  std::free(options);
  if (ret != LZMA_OK) {
    ZV_LOG_E("LzmaUncompress failed!ret=%d\n", SzCodeOf(ret));
    return Failure(kUncompressError);
  }

  std::span<const uint8_t> stream = data.subspan(kLzmaPropsSize);
  lzma_.next_in = stream.data();
  lzma_.avail_in = stream.size();
  lzma_.next_out = output.data();
  lzma_.avail_out = origin_size;
  lzma_.total_in = 0;
  lzma_.total_out = 0;
  do {
    ret = lzma_code(&lzma_, LZMA_FINISH);
  } while (ret == LZMA_OK);
  const uint64_t produced = lzma_.total_out;
  const bool input_consumed = lzma_.avail_in == 0;
  if (ret != LZMA_STREAM_END) {
    ZV_LOG_E("LzmaUncompress failed!ret=%d\n", SzCodeOf(ret));
    return Failure(kUncompressError);
  }
  if (produced != origin_size || !input_consumed) {
    ZV_LOG_E("Data size unmatched!origin:%u uncompressed:%u\n", origin_size,
             static_cast<uint32_t>(produced));
    return Failure(kUncompressError);
  }
  return Decoded(output.data(), origin_size);
}

}  // namespace zv
