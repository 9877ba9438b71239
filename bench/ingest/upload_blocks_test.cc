#include "upload_blocks.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <thread>

#include "log_table_text.h"
#include "protocol/block.h"
#include "protocol/block_decoder.h"
#include "util/crc.h"

namespace zv::bench {
namespace {

UploadBlocks Prepared(uint64_t size, uint32_t block_size, int distinct) {
  UploadOptions options;
  options.size = size;
  options.block_size = block_size;
  options.distinct = distinct;
  options.lzma_preset = 1;
  UploadBlocks blocks;
  std::string error;
  EXPECT_TRUE(blocks.Prepare(options, &error)) << error;
  return blocks;
}

TEST(UploadBlocksTest, StoredBlockContentLayout) {
  std::vector<uint8_t> content;
  ASSERT_TRUE(EncodeDataBlock(Method::kStored, 0, "abc", 3, 0x01020304, &content));
  const std::vector<uint8_t> expected = {0x04, 0x03, 0x02, 0x01, 0x03, 0x00, 0x00, 0x00, 0x00,
                                         0x00, 0x00, 0x00, 0x00, 'a',  'b',  'c'};
  EXPECT_EQ(content, expected);
}

TEST(UploadBlocksTest, FirstBlockTakesTheRemainderAndTheHeader) {
  UploadBlocks blocks = Prepared(5 * 65536 + 1000, 65536, 2);
  ASSERT_EQ(blocks.block_count(), 5u);
  EXPECT_EQ(blocks.BlockLength(0), 65536u + 1000u);
  EXPECT_EQ(blocks.Plain(0).rfind(LogTableText::Header(), 0), 0u);
  for (size_t i = 1; i < 5; ++i) {
    EXPECT_EQ(blocks.BlockOffset(i), 65536u * i + 1000u);
    EXPECT_EQ(blocks.BlockLength(i), 65536u);
  }
  // The cycle of two chunks repeats.
  EXPECT_EQ(blocks.Plain(1), blocks.Plain(3));
  EXPECT_NE(blocks.Plain(1), blocks.Plain(2));
  EXPECT_EQ(blocks.BlockAt(0), 0u);
  EXPECT_EQ(blocks.BlockAt(66535), 0u);
  EXPECT_EQ(blocks.BlockAt(66536), 1u);
  EXPECT_EQ(blocks.BlockAt(blocks.size() - 1), 4u);
}

TEST(UploadBlocksTest, FileCrcCoversTheBlocksInOrder) {
  UploadBlocks blocks = Prepared(3 * 65536 + 5, 65536, 8);
  std::string file;
  for (size_t i = 0; i < blocks.block_count(); ++i) file += blocks.Plain(i);
  ASSERT_EQ(file.size(), blocks.size());
  CCrc crc;
  EXPECT_EQ(blocks.FileCrc(), crc.Compute(file.data(), file.size()));
  EXPECT_EQ(blocks.CrcOfPrefix(70000), crc.Compute(file.data(), 70000));
  EXPECT_EQ(blocks.CrcOfPrefix(0), 0u);
}

// What the server's own decoder makes of every prepared block is the plain
// chunk, for every method.
TEST(UploadBlocksTest, EveryBlockDecodesToItsChunkWithTheServersDecoder) {
  UploadBlocks blocks = Prepared(4 * 131072 + 333, 131072, 3);
  BlockDecoder decoder;
  std::vector<uint8_t> output(kMaxOriginSize);
  for (int m = 0; m < kMethodCount; ++m) {
    for (size_t i = 0; i < blocks.block_count(); ++i) {
      SCOPED_TRACE(std::string(MethodName(static_cast<Method>(m))) + " block " +
                   std::to_string(i));
      std::vector<uint8_t> wire = blocks.Block(i, static_cast<Method>(m)).wire;
      MaskBlock(wire.data(), wire.size());
      BlockHeader header = ParseBlockHeader(wire.data());
      ASSERT_EQ(header.size, wire.size());
      ASSERT_EQ(header.command, static_cast<uint32_t>(kCmdFileData));
      EXPECT_EQ(wire[kBlockHeaderSize + 12], m);
      DecodedBlock decoded = decoder.Decode(
          std::span<const uint8_t>(wire).subspan(kBlockHeaderSize), output);
      ASSERT_TRUE(decoded.ok()) << decoded.code;
      EXPECT_EQ(std::string(reinterpret_cast<const char*>(decoded.data), decoded.length),
                blocks.Plain(i));
    }
  }
  EXPECT_LT(blocks.WireBytes(Method::kLzma), blocks.WireBytes(Method::kLzo1b));
  EXPECT_LT(blocks.WireBytes(Method::kLzo1b), blocks.WireBytes(Method::kStored));
}

TEST(UploadBlocksTest, BadOptionsAreRefused) {
  UploadBlocks blocks;
  std::string error;
  UploadOptions options;
  options.size = 1 << 20;
  options.block_size = (2u << 20) + 1;  // the first block could exceed a block's limit
  EXPECT_FALSE(blocks.Prepare(options, &error));
  options.block_size = 65536;
  options.size = 100;
  EXPECT_FALSE(blocks.Prepare(options, &error));
  options.size = 1ull << 32;  // the announcement's size is 32 bits
  EXPECT_FALSE(blocks.Prepare(options, &error));
}

// Reads everything a client sends on a loopback connection.
class Capture {
 public:
  Capture() {
    listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof(address);
    if (::bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0 ||
        ::listen(listener_, 1) != 0 ||
        ::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
      throw 0;
    }
    port_ = ntohs(address.sin_port);
    reader_ = std::thread([this] {
      int fd = ::accept(listener_, nullptr, nullptr);
      char buffer[65536];
      ssize_t n;
      while (fd >= 0 && (n = ::recv(fd, buffer, sizeof(buffer), 0)) > 0) bytes_.append(buffer, n);
      if (fd >= 0) ::close(fd);
    });
  }
  ~Capture() {
    if (reader_.joinable()) reader_.join();
    ::close(listener_);
  }
  uint16_t port() const { return port_; }
  // Waits until the client closed; the bytes.
  const std::string& Bytes() {
    reader_.join();
    return bytes_;
  }

 private:
  int listener_ = -1;
  uint16_t port_ = 0;
  std::thread reader_;
  std::string bytes_;
};

TEST(UploadBlocksTest, SendPatchesTheOfferedOffsetOnly) {
  UploadBlocks blocks = Prepared(4 * 65536, 65536, 2);
  Capture capture;
  ApplianceClient client;
  ASSERT_TRUE(client.Connect("127.0.0.1", capture.port()));
  ASSERT_TRUE(blocks.SendBlock(&client, 2, Method::kLzo1b));
  ASSERT_TRUE(blocks.SendBlock(&client, 2, Method::kLzo1b));  // the shared bytes stay intact
  client.Close();
  std::string sent = capture.Bytes();
  const std::vector<uint8_t>& wire = blocks.Block(2, Method::kLzo1b).wire;
  ASSERT_EQ(sent.size(), 2 * wire.size());
  std::vector<uint8_t> first(sent.begin(), sent.begin() + wire.size());
  std::vector<uint8_t> second(sent.begin() + wire.size(), sent.end());
  EXPECT_EQ(first, second);
  MaskBlock(first.data(), first.size());
  EXPECT_EQ(LoadLe32(first.data() + kBlockHeaderSize), 2u * 65536u);
  std::vector<uint8_t> shared = wire;
  MaskBlock(shared.data(), shared.size());
  EXPECT_EQ(LoadLe32(shared.data() + kBlockHeaderSize), 0u);
  StoreLe32(shared.data() + kBlockHeaderSize, 2u * 65536u);
  EXPECT_EQ(first, shared);
}

TEST(UploadBlocksTest, PartialSendCarriesTheRestOfTheBlockStored) {
  UploadBlocks blocks = Prepared(3 * 65536, 65536, 2);
  Capture capture;
  ApplianceClient client;
  ASSERT_TRUE(client.Connect("127.0.0.1", capture.port()));
  ASSERT_TRUE(blocks.SendPartial(&client, 65536 + 1000));
  client.Close();
  std::string sent = capture.Bytes();
  std::vector<uint8_t> block(sent.begin(), sent.end());
  MaskBlock(block.data(), block.size());
  ASSERT_EQ(block.size(), kBlockHeaderSize + kFileDataHeaderSize + 65536 - 1000);
  EXPECT_EQ(LoadLe32(block.data()), block.size());
  EXPECT_EQ(LoadLe32(block.data() + 4), static_cast<uint32_t>(kCmdFileData));
  EXPECT_EQ(LoadLe32(block.data() + 12), 65536u + 1000u);
  EXPECT_EQ(LoadLe32(block.data() + 16), 65536u - 1000u);
  EXPECT_EQ(block[24], 0);
  EXPECT_EQ(std::string(block.begin() + 25, block.end()), blocks.Plain(1).substr(1000));
}

}  // namespace
}  // namespace zv::bench
