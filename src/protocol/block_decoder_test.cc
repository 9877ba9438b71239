#include "protocol/block_decoder.h"

#include <gtest/gtest.h>
#include <lzma.h>
#include <lzo/lzo1b.h>
#include <lzo/lzoconf.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "log/sync_log.h"
#include "test_util.h"

namespace zv {
namespace {

using Bytes = std::vector<uint8_t>;

// Gives the test process a home of its own before any singleton exists.
class DecoderEnvironment : public ::testing::Environment {
 public:
  void SetUp() override {
    home_ = new testing::ScopedTempDir();
    setenv("ZENTROVANE_HOME", home_->path().c_str(), 1);
    setenv("ZENTROVANE_REGISTRY", home_->Sub("registry.reg").c_str(), 1);
    setenv("ZENTROVANE_OBJECT_NAMESPACE", testing::UniqueName("dec").c_str(), 1);
    ZVSyncLog::Instance().SetDirectoryForTesting(home_->Sub("debuglog"));
    ZVSyncLog::Instance().SetLevel(0xFFFFFFFF);
  }
  void TearDown() override { delete home_; }
  static testing::ScopedTempDir* home_;
};
testing::ScopedTempDir* DecoderEnvironment::home_ = nullptr;
const auto* const kEnv = ::testing::AddGlobalTestEnvironment(new DecoderEnvironment);

// Everything the debug log holds so far.
std::string DebugLogText() {
  return testing::ReadFolderText(DecoderEnvironment::home_->Sub("debuglog"));
}

void PutU32(Bytes* out, uint32_t v) {
  for (int i = 0; i < 4; ++i) out->push_back(static_cast<uint8_t>(v >> (8 * i)));
}

// The content of a data block, written field by field.
Bytes Content(uint8_t method, uint32_t origin, const Bytes& payload, uint32_t offset = 0) {
  Bytes out;
  PutU32(&out, offset);
  PutU32(&out, origin);
  PutU32(&out, 0xDEADBEEF);
  out.push_back(method);
  out.insert(out.end(), payload.begin(), payload.end());
  return out;
}

Bytes SampleText(size_t size, uint32_t seed = 1) {
  Bytes out(size);
  std::mt19937 rng(seed);
  static const char kWords[][8] = {"alpha ", "beta ", "gamma\n", "delta\t", "42 ", "x"};
  size_t i = 0;
  while (i < size) {
    const char* w = kWords[rng() % 6];
    for (size_t k = 0; w[k] != 0 && i < size; ++k) out[i++] = static_cast<uint8_t>(w[k]);
  }
  return out;
}

Bytes Lzo1b(const Bytes& in, bool best) {
  Bytes out(in.size() + in.size() / 16 + 64 + 3);
  Bytes work(best ? LZO1B_999_MEM_COMPRESS : LZO1B_MEM_COMPRESS);
  lzo_uint out_len = out.size();
  int ret = best ? lzo1b_999_compress(in.data(), in.size(), out.data(), &out_len, work.data())
                 : lzo1b_1_compress(in.data(), in.size(), out.data(), &out_len, work.data());
  EXPECT_EQ(ret, LZO_E_OK);
  out.resize(out_len);
  return out;
}

// .lzma ("alone") output with its 8-byte size field removed: carries an end
// marker.
Bytes LzmaWithEndMarker(const Bytes& in) {
  lzma_options_lzma opt;
  EXPECT_FALSE(lzma_lzma_preset(&opt, in.size() > (1u << 20) ? 1 : 6));
  lzma_stream strm = LZMA_STREAM_INIT;
  EXPECT_EQ(lzma_alone_encoder(&strm, &opt), LZMA_OK);
  Bytes out(in.size() + in.size() / 2 + 1024);
  strm.next_in = in.data();
  strm.avail_in = in.size();
  strm.next_out = out.data();
  strm.avail_out = out.size();
  EXPECT_EQ(lzma_code(&strm, LZMA_FINISH), LZMA_STREAM_END);
  out.resize(strm.total_out);
  lzma_end(&strm);
  EXPECT_GE(out.size(), 13u);
  out.erase(out.begin() + 5, out.begin() + 13);
  return out;
}

// Property bytes followed by a raw stream without an end marker.
Bytes LzmaWithoutEndMarker(const Bytes& in) {
  lzma_options_lzma opt;
  EXPECT_FALSE(lzma_lzma_preset(&opt, in.size() > (1u << 20) ? 1 : 6));
  opt.ext_flags = 0;
  lzma_set_ext_size(opt, in.size());
  lzma_filter filters[2] = {{LZMA_FILTER_LZMA1EXT, &opt}, {LZMA_VLI_UNKNOWN, nullptr}};
  Bytes out(5 + in.size() + in.size() / 2 + 1024);
  EXPECT_EQ(lzma_properties_encode(&filters[0], out.data()), LZMA_OK);
  size_t out_pos = 5;
  EXPECT_EQ(lzma_raw_buffer_encode(filters, nullptr, in.data(), in.size(), out.data(), &out_pos,
                                   out.size()),
            LZMA_OK);
  out.resize(out_pos);
  return out;
}

// An LZMA buffer as the xz command-line tool writes it, size field removed.
Bytes LzmaFromXzTool(const Bytes& in) {
  testing::ScopedTempDir dir;
  std::string src = dir.Sub("in.bin");
  std::string dst = dir.Sub("out.lzma");
  testing::WriteFileBytes(src, std::string(in.begin(), in.end()));
  std::string cmd = "xz --format=lzma -c '" + src + "' > '" + dst + "'";
  EXPECT_EQ(std::system(cmd.c_str()), 0) << cmd;
  std::string data = testing::ReadFileBytes(dst);
  Bytes out(data.begin(), data.end());
  EXPECT_GE(out.size(), 13u);
  out.erase(out.begin() + 5, out.begin() + 13);
  return out;
}

// A buffer whose last byte is followed by an inaccessible page, so that any
// read or write past its end crashes the test instead of passing unseen.
class GuardedBuffer {
 public:
  explicit GuardedBuffer(size_t size) : size_(size) {
    const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
    data_pages_ = (size + page - 1) / page;
    map_size_ = (data_pages_ + 1) * page;
    base_ = static_cast<uint8_t*>(
        mmap(nullptr, map_size_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
    if (base_ == MAP_FAILED) std::abort();
    if (mprotect(base_ + data_pages_ * page, page, PROT_NONE) != 0) std::abort();
    data_ = base_ + data_pages_ * page - size;
  }
  ~GuardedBuffer() { munmap(base_, map_size_); }
  uint8_t* data() { return data_; }
  size_t size() const { return size_; }
  std::span<uint8_t> span() { return {data_, size_}; }
  std::span<const uint8_t> Place(const Bytes& bytes) {
    if (bytes.size() > size_) std::abort();
    uint8_t* start = data_ + (size_ - bytes.size());
    if (!bytes.empty()) std::memcpy(start, bytes.data(), bytes.size());
    return {start, bytes.size()};
  }

 private:
  size_t size_;
  size_t data_pages_ = 0;
  size_t map_size_ = 0;
  uint8_t* base_ = nullptr;
  uint8_t* data_ = nullptr;
};

class BlockDecoderTest : public ::testing::Test {
 protected:
  BlockDecoderTest() : output_(kMaxOriginSize), input_(kMaxOriginSize + 0x10000) {}

  DecodedBlock Decode(const Bytes& content) { return decoder_.Decode(input_.Place(content), output_.span()); }

  void ExpectDecodesTo(const Bytes& content, const Bytes& expected) {
    DecodedBlock result = Decode(content);
    ASSERT_EQ(result.code, kNoError);
    ASSERT_EQ(result.length, expected.size());
    EXPECT_EQ(0, std::memcmp(result.data, expected.data(), expected.size()));
  }

  BlockDecoder decoder_;
  GuardedBuffer output_;
  GuardedBuffer input_;
};

TEST_F(BlockDecoderTest, ParseHeadReadsLittleEndianFields) {
  const Bytes content = {0x10, 0x20, 0x30, 0x40, 0x05, 0x04, 0x03, 0x00,
                         0xAA, 0xBB, 0xCC, 0xDD, 0x81, 0x99};
  DataBlockHead head;
  ASSERT_TRUE(BlockDecoder::ParseHead(content, &head));
  EXPECT_EQ(head.offered_offset, 0x40302010u);
  EXPECT_EQ(head.origin_size, 0x00030405u);
  EXPECT_EQ(head.unused, 0xDDCCBBAAu);
  EXPECT_EQ(head.method, static_cast<int8_t>(0x81));
}

TEST_F(BlockDecoderTest, ContentOfTwelveBytesHasNoHead) {
  DataBlockHead head;
  EXPECT_FALSE(BlockDecoder::ParseHead(Bytes(12, 0), &head));
  EXPECT_TRUE(BlockDecoder::ParseHead(Bytes(13, 0), &head));
}

TEST_F(BlockDecoderTest, MethodComparedAsSignedByte) {
  DataBlockHead head;
  head.origin_size = 10;
  for (int m : {0, 1, 2}) {
    head.method = static_cast<int8_t>(m);
    EXPECT_TRUE(BlockDecoder::IsAcceptableHead(head)) << m;
  }
  for (int m : {3, 4, 100, 127}) {
    head.method = static_cast<int8_t>(m);
    EXPECT_FALSE(BlockDecoder::IsAcceptableHead(head)) << m;
  }
  // 128..255 pass the first test and are refused later as unknown methods.
  for (int m : {128, 200, 255}) {
    head.method = static_cast<int8_t>(m);
    EXPECT_TRUE(BlockDecoder::IsAcceptableHead(head)) << m;
  }
  head.method = 0;
  head.origin_size = 0;
  EXPECT_FALSE(BlockDecoder::IsAcceptableHead(head));
}

TEST_F(BlockDecoderTest, MethodThreeIsDataErrorMethod128IsUncompressError) {
  const Bytes payload = SampleText(100);
  EXPECT_EQ(Decode(Content(3, 100, payload)).code, kDataError);
  EXPECT_EQ(Decode(Content(127, 100, payload)).code, kDataError);
  EXPECT_EQ(Decode(Content(128, 100, payload)).code, kUncompressError);
  EXPECT_NE(DebugLogText().find("Unknown compress method 128!"), std::string::npos);
  EXPECT_EQ(Decode(Content(255, 100, payload)).code, kUncompressError);
}

TEST_F(BlockDecoderTest, OriginSizeZeroIsDataError) {
  EXPECT_EQ(Decode(Content(0, 0, Bytes(10, 1))).code, kDataError);
}

TEST_F(BlockDecoderTest, StoredBlockPointsIntoContentWithoutCopy) {
  const Bytes payload = SampleText(5000);
  std::span<const uint8_t> placed = input_.Place(Content(0, 5000, payload));
  DecodedBlock result = decoder_.Decode(placed, output_.span());
  ASSERT_TRUE(result.ok());
  EXPECT_EQ(result.data, placed.data() + kDataBlockHeadSize);
  EXPECT_EQ(result.length, 5000u);
  EXPECT_EQ(0, std::memcmp(result.data, payload.data(), payload.size()));
}

TEST_F(BlockDecoderTest, StoredBlockLongerThanOriginKeepsOriginSizeBytes) {
  const Bytes payload = SampleText(300);
  DecodedBlock result = Decode(Content(0, 200, payload));
  ASSERT_TRUE(result.ok());
  EXPECT_EQ(result.length, 200u);
  EXPECT_EQ(0, std::memcmp(result.data, payload.data(), 200));
}

TEST_F(BlockDecoderTest, StoredBlockShorterThanOriginIsDataError) {
  DecodedBlock result = Decode(Content(0, 101, SampleText(100)));
  EXPECT_EQ(result.code, kDataError);
  EXPECT_EQ(result.data, nullptr);
  EXPECT_NE(DebugLogText().find("Stored data incomplete!origin:101 received:100"),
            std::string::npos);
}

TEST_F(BlockDecoderTest, StoredBlockOfMaximumSize) {
  const Bytes payload = SampleText(kMaxOriginSize, 7);
  ExpectDecodesTo(Content(0, kMaxOriginSize, payload), payload);
}

TEST_F(BlockDecoderTest, OriginSizeAboveLimitRefused) {
  DecodedBlock result = Decode(Content(0, kMaxOriginSize + 1, SampleText(kMaxOriginSize + 1)));
  EXPECT_EQ(result.code, kUncompressError);
  EXPECT_NE(DebugLogText().find("datainfo->origin_size==4195329"), std::string::npos);
}

TEST_F(BlockDecoderTest, Lzo1bFastAndBestCompressors) {
  for (size_t size : {size_t{1}, size_t{4096}, size_t{1} << 20, size_t{kMaxOriginSize}}) {
    const Bytes plain = SampleText(size, static_cast<uint32_t>(size));
    ExpectDecodesTo(Content(1, static_cast<uint32_t>(size), Lzo1b(plain, false)), plain);
  }
  const Bytes plain = SampleText(300000, 3);
  ExpectDecodesTo(Content(1, 300000, Lzo1b(plain, true)), plain);
}

TEST_F(BlockDecoderTest, Lzo1bOneByteShortRefused) {
  const Bytes plain = SampleText(10000, 9);
  // The stream decodes to 9999 bytes while the block claims 10000.
  Bytes short_plain(plain.begin(), plain.end() - 1);
  DecodedBlock result = Decode(Content(1, 10000, Lzo1b(short_plain, false)));
  EXPECT_EQ(result.code, kUncompressError);
  EXPECT_NE(DebugLogText().find("Data size unmatched!origin:10000 uncompressed:9999"),
            std::string::npos);
}

TEST_F(BlockDecoderTest, Lzo1bTruncatedOrTrailingRefused) {
  const Bytes plain = SampleText(10000, 10);
  Bytes stream = Lzo1b(plain, false);
  Bytes truncated(stream.begin(), stream.end() - 3);
  EXPECT_EQ(Decode(Content(1, 10000, truncated)).code, kUncompressError);
  Bytes trailing = stream;
  trailing.push_back(0);
  EXPECT_EQ(Decode(Content(1, 10000, trailing)).code, kUncompressError);
  EXPECT_NE(DebugLogText().find("Uncompress data failed!ret="), std::string::npos);
}

TEST_F(BlockDecoderTest, Lzo1bOutputLargerThanOriginRefused) {
  const Bytes plain = SampleText(10000, 11);
  EXPECT_EQ(Decode(Content(1, 5000, Lzo1b(plain, false))).code, kUncompressError);
}

TEST_F(BlockDecoderTest, LzmaWithEndMarker) {
  const Bytes plain = SampleText(200000, 12);
  ExpectDecodesTo(Content(2, 200000, LzmaWithEndMarker(plain)), plain);
}

TEST_F(BlockDecoderTest, LzmaWithoutEndMarker) {
  const Bytes plain = SampleText(200000, 13);
  ExpectDecodesTo(Content(2, 200000, LzmaWithoutEndMarker(plain)), plain);
}

TEST_F(BlockDecoderTest, LzmaFromXzCommandLineTool) {
  const Bytes plain = SampleText(150000, 14);
  ExpectDecodesTo(Content(2, 150000, LzmaFromXzTool(plain)), plain);
}

TEST_F(BlockDecoderTest, LzmaBlocksOfChangingSizesReuseOneDecoder) {
  for (uint32_t size : {1u, 4096u, 100000u, 4096u, kMaxOriginSize, 17u}) {
    const Bytes plain = SampleText(size, size);
    ExpectDecodesTo(Content(2, size, size % 2 ? LzmaWithEndMarker(plain)
                                              : LzmaWithoutEndMarker(plain)),
                    plain);
  }
}

TEST_F(BlockDecoderTest, LzmaTwoTrailingBytesRefused) {
  const Bytes plain = SampleText(50000, 15);
  for (Bytes stream : {LzmaWithEndMarker(plain), LzmaWithoutEndMarker(plain)}) {
    stream.push_back(0);
    stream.push_back(0);
    EXPECT_EQ(Decode(Content(2, 50000, stream)).code, kUncompressError);
  }
}

TEST_F(BlockDecoderTest, LzmaOneByteShortOrLongRefused) {
  const Bytes plain = SampleText(50000, 16);
  for (const Bytes& stream : {LzmaWithEndMarker(plain), LzmaWithoutEndMarker(plain)}) {
    EXPECT_EQ(Decode(Content(2, 50001, stream)).code, kUncompressError);
    EXPECT_EQ(Decode(Content(2, 49999, stream)).code, kUncompressError);
  }
}

TEST_F(BlockDecoderTest, LzmaTruncatedRefused) {
  const Bytes plain = SampleText(50000, 17);
  Bytes stream = LzmaWithoutEndMarker(plain);
  stream.resize(stream.size() - 10);
  EXPECT_EQ(Decode(Content(2, 50000, stream)).code, kUncompressError);
  EXPECT_NE(DebugLogText().find("LzmaUncompress failed!ret="), std::string::npos);
}

TEST_F(BlockDecoderTest, LzmaWithoutPropertiesRefused) {
  EXPECT_EQ(Decode(Content(2, 10, Bytes{0x5D, 0, 0})).code, kUncompressError);
  EXPECT_EQ(Decode(Content(2, 10, Bytes{})).code, kUncompressError);
}

TEST_F(BlockDecoderTest, LzmaBadPropertyByteRefused) {
  const Bytes plain = SampleText(1000, 18);
  Bytes stream = LzmaWithoutEndMarker(plain);
  stream[0] = 225;
  EXPECT_EQ(Decode(Content(2, 1000, stream)).code, kUncompressError);
}

TEST_F(BlockDecoderTest, LzmaHugeDictionaryClaimIsHarmless) {
  const Bytes plain = SampleText(1000, 19);
  Bytes stream = LzmaWithoutEndMarker(plain);
  // Dictionary size field (bytes 1..4) claims 4 GiB - 1.
  stream[1] = stream[2] = stream[3] = stream[4] = 0xFF;
  ExpectDecodesTo(Content(2, 1000, stream), plain);
}

TEST_F(BlockDecoderTest, ThrowsOnTooSmallOutputBuffer) {
  Bytes small(100);
  const Bytes content = Content(0, 10, Bytes(10, 1));
  EXPECT_THROW((void)decoder_.Decode(content, std::span<uint8_t>(small)), int);
}

// Random and mutated blocks: never a crash, never a read or write past the
// guarded buffers, and success only with exactly origin-size bytes.
TEST_F(BlockDecoderTest, GarbageNeverCrashes) {
  const uint32_t level = ZVSyncLog::Instance().GetLevel();
  ZVSyncLog::Instance().SetLevel(0);  // thousands of failures: keep the log small
  std::mt19937 rng(20101216);
  const Bytes plain = SampleText(20000, 20);
  const Bytes valid[] = {Lzo1b(plain, false), LzmaWithEndMarker(plain),
                         LzmaWithoutEndMarker(plain)};
  const uint8_t valid_method[] = {1, 2, 2};
  int successes = 0;
  for (int round = 0; round < 3000; ++round) {
    Bytes content;
    if (round % 2 == 0) {
      // Pure noise with a plausible head.
      Bytes noise(rng() % 2000);
      for (auto& b : noise) b = static_cast<uint8_t>(rng());
      uint8_t method = static_cast<uint8_t>(rng() % 4 == 0 ? rng() : rng() % 3);
      content = Content(method, 1 + rng() % kMaxOriginSize, noise);
    } else {
      // A valid stream with a few bytes flipped, cut or extended.
      int which = static_cast<int>(rng() % 3);
      Bytes stream = valid[which];
      int flips = 1 + static_cast<int>(rng() % 4);
      for (int f = 0; f < flips; ++f) stream[rng() % stream.size()] ^= static_cast<uint8_t>(1 + rng() % 255);
      if (rng() % 4 == 0) stream.resize(rng() % stream.size());
      uint32_t origin = rng() % 8 == 0 ? 1 + rng() % kMaxOriginSize : 20000;
      content = Content(valid_method[which], origin, stream);
    }
    DataBlockHead head;
    ASSERT_TRUE(BlockDecoder::ParseHead(content, &head));
    DecodedBlock result = Decode(content);
    if (result.ok()) {
      ++successes;
      EXPECT_EQ(result.length, head.origin_size);
      ASSERT_NE(result.data, nullptr);
    } else {
      EXPECT_TRUE(result.code == kDataError || result.code == kUncompressError);
    }
  }
  ZVSyncLog::Instance().SetLevel(level);
  // The decoder still works after all that.
  ExpectDecodesTo(Content(2, 20000, valid[1]), plain);
  ExpectDecodesTo(Content(1, 20000, valid[0]), plain);
  RecordProperty("successes", successes);
}

}  // namespace
}  // namespace zv
