#include "uploader.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <functional>
#include <thread>

#include "protocol/block.h"
#include "protocol/block_decoder.h"
#include "protocol/result_codes.h"
#include "util/crc.h"

namespace zv::bench {
namespace {

// A server side written for the test: accepts one connection and runs a
// script on it with helpers that read and write masked blocks.
class ScriptedServer {
 public:
  struct Block {
    uint32_t command = 0;
    std::vector<uint8_t> content;
  };
  class Peer {
   public:
    explicit Peer(int fd) : fd_(fd) {}
    bool Read(Block* block) {
      uint8_t header[kBlockHeaderSize];
      if (!ReadAll(header, sizeof(header))) return false;
      MaskBlock(header, sizeof(header));
      BlockHeader parsed = ParseBlockHeader(header);
      block->command = parsed.command;
      block->content.resize(BlockContentSize(parsed.size));
      if (!ReadAll(block->content.data(), block->content.size())) return false;
      MaskBlock(block->content.data(), block->content.size());
      return true;
    }
    void Send(uint32_t command, uint32_t value) {
      std::vector<uint8_t> block = BuildValueBlock(command, value);
      MaskBlock(block.data(), block.size());
      ASSERT_EQ(::send(fd_, block.data(), block.size(), MSG_NOSIGNAL),
                static_cast<ssize_t>(block.size()));
    }

   private:
    bool ReadAll(uint8_t* p, size_t n) {
      while (n > 0) {
        ssize_t got = ::recv(fd_, p, n, 0);
        if (got <= 0) return false;
        p += got;
        n -= static_cast<size_t>(got);
      }
      return true;
    }
    int fd_;
  };

  explicit ScriptedServer(std::function<void(Peer&)> script) {
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
    thread_ = std::thread([this, script] {
      int fd = ::accept(listener_, nullptr, nullptr);
      if (fd < 0) return;
      Peer peer(fd);
      script(peer);
      ::close(fd);
    });
  }
  ~ScriptedServer() {
    Join();
    ::close(listener_);
  }
  // Waits until the script ran to its end.
  void Join() {
    if (thread_.joinable()) thread_.join();
  }
  uint16_t port() const { return port_; }

 private:
  int listener_ = -1;
  uint16_t port_ = 0;
  std::thread thread_;
};

UploadBlocks SmallFile() {
  UploadOptions options;
  options.size = 3 * 65536 + 100;
  options.block_size = 65536;
  options.distinct = 2;
  options.lzma_preset = 0;
  UploadBlocks blocks;
  std::string error;
  if (!blocks.Prepare(options, &error)) throw 0;
  return blocks;
}

TEST(UploaderTest, WholeUploadAsTheServerSeesIt) {
  UploadBlocks blocks = SmallFile();
  std::string received;
  uint32_t announced_size = 0, offered = 1, crc = 0;
  std::string name;
  ScriptedServer server([&](ScriptedServer::Peer& peer) {
    ScriptedServer::Block block;
    ASSERT_TRUE(peer.Read(&block));
    ASSERT_EQ(block.command, static_cast<uint32_t>(kCmdFileInfo));
    ASSERT_EQ(block.content.size(), kClientFileInfoBlockSize);
    name.assign(reinterpret_cast<const char*>(block.content.data()));
    announced_size = LoadLe32(&block.content[68]);
    offered = LoadLe32(&block.content[76]);
    peer.Send(kCmdFileRequest, 0);
    BlockDecoder decoder;
    std::vector<uint8_t> output(kMaxOriginSize);
    for (;;) {
      ASSERT_TRUE(peer.Read(&block));
      if (block.command != kCmdFileData) break;
      DecodedBlock decoded = decoder.Decode(block.content, output);
      ASSERT_TRUE(decoded.ok());
      ASSERT_EQ(LoadLe32(block.content.data()), received.size());  // offered offset
      received.append(reinterpret_cast<const char*>(decoded.data), decoded.length);
    }
    ASSERT_EQ(block.command, static_cast<uint32_t>(kCmdPending));
    ASSERT_EQ(LoadLe32(block.content.data()), kPendingEcho);
    peer.Send(kCmdPending, kPendingEcho);
    ASSERT_TRUE(peer.Read(&block));
    ASSERT_EQ(block.command, static_cast<uint32_t>(kCmdFileEnd));
    crc = LoadLe32(block.content.data());
    // Waiting for the processing lock, then processing: the uploader
    // passes over both kinds of pending block.
    peer.Send(kCmdPending, kPendingWaiting);
    peer.Send(kCmdPending, kPendingProcessing);
    peer.Send(kCmdConfirm, 0);
  });
  ApplianceClient client;
  ASSERT_TRUE(client.Connect("127.0.0.1", server.port()));
  Uploader upload(&client, blocks, Method::kLzma);
  ASSERT_TRUE(upload.Announce("20261208_1000_00000001_A.dat", 0, 0)) << upload.error();
  ASSERT_TRUE(upload.SendData(0, blocks.size())) << upload.error();
  ASSERT_TRUE(upload.WaitStored()) << upload.error();
  ASSERT_TRUE(upload.Finish()) << upload.error();
  EXPECT_EQ(upload.data_sent(), blocks.size());
  client.Close();
  server.Join();
  EXPECT_EQ(name, "20261208_1000_00000001_A.dat");
  EXPECT_EQ(announced_size, blocks.size());
  EXPECT_EQ(offered, 0u);
  EXPECT_EQ(received.size(), blocks.size());
  CCrc ccrc;
  EXPECT_EQ(crc, ccrc.Compute(received.data(), received.size()));
  EXPECT_EQ(crc, blocks.FileCrc());
}

TEST(UploaderTest, ResumeInsideABlockSendsTheRestStoredThenWholeBlocks) {
  UploadBlocks blocks = SmallFile();
  std::vector<std::pair<uint32_t, uint8_t>> heads;  // offered offset, method
  ScriptedServer server([&](ScriptedServer::Peer& peer) {
    ScriptedServer::Block block;
    while (peer.Read(&block) && block.command == kCmdFileData) {
      heads.emplace_back(LoadLe32(block.content.data()), block.content[12]);
    }
  });
  ApplianceClient client;
  ASSERT_TRUE(client.Connect("127.0.0.1", server.port()));
  Uploader upload(&client, blocks, Method::kLzo1b);
  const uint64_t resume = blocks.BlockOffset(1) + 5000;
  ASSERT_TRUE(upload.SendData(resume, blocks.size()));
  client.Close();
  server.Join();
  // Three blocks: the first (with the header and the remainder), two more.
  ASSERT_EQ(blocks.block_count(), 3u);
  ASSERT_EQ(heads.size(), 2u);
  EXPECT_EQ(heads[0], std::make_pair(static_cast<uint32_t>(resume), uint8_t{0}));
  EXPECT_EQ(heads[1].first, blocks.BlockOffset(2));
  EXPECT_EQ(heads[1].second, 1);
  EXPECT_EQ(upload.data_sent(), blocks.size() - resume);
}

TEST(UploaderTest, AnErrorBlockIsARefusalWithItsCode) {
  UploadBlocks blocks = SmallFile();
  ScriptedServer server([&](ScriptedServer::Peer& peer) {
    ScriptedServer::Block block;
    ASSERT_TRUE(peer.Read(&block));
    peer.Send(kCmdError, kServerDiskFull);
  });
  ApplianceClient client;
  ASSERT_TRUE(client.Connect("127.0.0.1", server.port()));
  Uploader upload(&client, blocks, Method::kStored);
  EXPECT_FALSE(upload.Announce("20261208_1000_00000001_A.dat", 0, 0));
  EXPECT_EQ(upload.refusal_code(), static_cast<uint32_t>(kServerDiskFull));
  EXPECT_NE(upload.error().find("refused with code 4"), std::string::npos) << upload.error();
}

TEST(UploaderTest, AnUnexpectedAnswerOrAClosedConnectionFails) {
  UploadBlocks blocks = SmallFile();
  ScriptedServer server([&](ScriptedServer::Peer& peer) {
    ScriptedServer::Block block;
    ASSERT_TRUE(peer.Read(&block));
    peer.Send(kCmdConfirm, 0);  // a confirm where a file request belongs
    ASSERT_TRUE(peer.Read(&block));  // the echo marker; then the server closes
  });
  ApplianceClient client;
  client.set_timeout_ms(5000);
  ASSERT_TRUE(client.Connect("127.0.0.1", server.port()));
  Uploader upload(&client, blocks, Method::kStored);
  EXPECT_FALSE(upload.Announce("20261208_1000_00000001_A.dat", 0, 0));
  EXPECT_NE(upload.error().find("unexpected block 6"), std::string::npos) << upload.error();
  EXPECT_FALSE(upload.WaitStored());
  EXPECT_EQ(upload.refusal_code(), 0u);
}

}  // namespace
}  // namespace zv::bench
