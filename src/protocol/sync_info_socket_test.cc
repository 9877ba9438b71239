#include "protocol/sync_info_socket.h"

#include <gtest/gtest.h>

#include <asio/io_context.hpp>

#include <cstring>
#include <mutex>

#include "protocol/datagram_test_util.h"
#include "protocol/loop_thread_test_util.h"
#include "test_util.h"
#include "util/crc.h"

namespace zv {
namespace {

using ::zv::testing::GetU32;
using ::zv::testing::Masked;
using ::zv::testing::PutU32;
using ::zv::testing::UdpPeer;

class DatagramEnvironment : public ::testing::Environment {
 public:
  void SetUp() override {
    home_ = std::make_unique<::zv::testing::ScopedTempDir>();
    setenv("ZENTROVANE_HOME", home_->path().c_str(), 1);
    setenv("ZENTROVANE_REGISTRY", home_->Sub("config/registry.reg").c_str(), 1);
    setenv("ZENTROVANE_OBJECT_NAMESPACE", ::zv::testing::UniqueName("dgram").c_str(), 1);
  }
  void TearDown() override { home_.reset(); }

 private:
  std::unique_ptr<::zv::testing::ScopedTempDir> home_;
};
const auto* const kEnvironment = ::testing::AddGlobalTestEnvironment(new DatagramEnvironment);

constexpr char kDigest[] = "C6E98FAE76C18179F3EE53E96687EF40";

class FakeDigests : public SyncDigestSource {
 public:
  std::string GetSyncDateDigest(const std::string& user) override {
    std::lock_guard<std::mutex> lock(mu_);
    asked_.push_back(user);
    if (strcasecmp(user.c_str(), "demo") == 0 || user == "abcdefghijklmnopqrs") return kDigest;
    return "";
  }
  std::vector<std::string> asked() {
    std::lock_guard<std::mutex> lock(mu_);
    return asked_;
  }

 private:
  std::mutex mu_;
  std::vector<std::string> asked_;
};

// The unmasked bytes of a request: size, cmd, check, content.
std::vector<uint8_t> Request(uint32_t cmd, const std::vector<uint8_t>& content) {
  std::vector<uint8_t> bytes;
  uint32_t size = static_cast<uint32_t>(12 + content.size());
  PutU32(&bytes, size);
  PutU32(&bytes, cmd);
  PutU32(&bytes, CCrc().Compute(content.data(), content.size()) ^ cmd);
  bytes.insert(bytes.end(), content.begin(), content.end());
  return bytes;
}

std::vector<uint8_t> NameField(const std::string& name) {
  std::vector<uint8_t> field(name.begin(), name.end());
  field.resize(20, 0);
  return field;
}

const std::vector<uint8_t> kTextReply = [] {
  std::string text = "I don't know what you are talking about!";
  std::vector<uint8_t> bytes(text.begin(), text.end());
  bytes.push_back(0);
  return bytes;
}();

class SyncInfoSocketTest : public ::testing::Test {
 protected:
  void SetUp() override {
    socket_ = std::make_unique<SyncInfoSocket>(loop_.io(), &digests_);
    port_ = ::zv::testing::FreeTcpUdpPort();
    ASSERT_TRUE(socket_->Create(port_));
    loop_.Start();
  }
  void TearDown() override {
    loop_.Run([this] { socket_->Close(); });
    loop_.Stop();
  }

  // Sends and returns the reply, unmasked when binary.
  std::vector<uint8_t> Ask(const std::vector<uint8_t>& wire) {
    EXPECT_TRUE(peer_.SendTo(port_, wire));
    auto reply = peer_.Receive();
    EXPECT_TRUE(reply.has_value());
    return reply.value_or(std::vector<uint8_t>());
  }

  ::zv::testing::LoopThread loop_;
  FakeDigests digests_;
  std::unique_ptr<SyncInfoSocket> socket_;
  uint16_t port_ = 0;
  UdpPeer peer_;
};

TEST_F(SyncInfoSocketTest, PlainTextGetsTheUnmaskedTextReply) {
  EXPECT_EQ(Ask(std::vector<uint8_t>{'h', 'e', 'l', 'l', 'o'}), kTextReply);
  EXPECT_EQ(kTextReply.size(), 41u);
}

TEST_F(SyncInfoSocketTest, HeaderOnlyQueryGetsErrorSix) {
  // size 12, cmd 0, check 0 (= cmd): valid, but no name in it.
  std::vector<uint8_t> wire = Masked({0x0C, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0});
  std::vector<uint8_t> reply = Masked(Ask(wire));
  // size 16, cmd 7, check CRC(06 00 00 00) ^ 7, code 6.
  const std::vector<uint8_t> expected = {0x10, 0, 0, 0, 0x07, 0, 0, 0,
                                         0xC7, 0x80, 0x2F, 0x04, 0x06, 0, 0, 0};
  EXPECT_EQ(reply, expected);
}

TEST_F(SyncInfoSocketTest, KnownUserGetsSixtyFiveByteDigestReply) {
  // Query for "demo": size 32, cmd 0, check CRC(name field) = 0x9A3DF42F.
  std::vector<uint8_t> request = {0x20, 0, 0, 0, 0, 0, 0, 0, 0x2F, 0xF4, 0x3D, 0x9A};
  std::vector<uint8_t> name = NameField("demo");
  request.insert(request.end(), name.begin(), name.end());
  ASSERT_EQ(request, Request(0, name));

  std::vector<uint8_t> reply = Masked(Ask(Masked(request)));
  ASSERT_EQ(reply.size(), 65u);
  std::vector<uint8_t> expected = {0x41, 0, 0, 0, 0x01, 0, 0, 0, 0x6B, 0xCD, 0x80, 0x5F};
  expected.insert(expected.end(), name.begin(), name.end());
  expected.insert(expected.end(), kDigest, kDigest + 33);
  EXPECT_EQ(reply, expected);
}

TEST_F(SyncInfoSocketTest, NineteenCharacterNameIsAnsweredAndTwentyAreCut) {
  std::vector<uint8_t> reply =
      Masked(Ask(Masked(Request(0, NameField("abcdefghijklmnopqrs")))));
  ASSERT_EQ(reply.size(), 65u);
  EXPECT_EQ(GetU32(reply, 8), 0xC2E934C5u);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(&reply[12])), "abcdefghijklmnopqrs");

  const std::string name20 = "abcdefghijklmnopqrst";
  std::vector<uint8_t> twenty(name20.begin(), name20.end());
  reply = Masked(Ask(Masked(Request(0, twenty))));
  ASSERT_EQ(reply.size(), 65u);
  EXPECT_EQ(digests_.asked().back(), "abcdefghijklmnopqrs");
}

TEST_F(SyncInfoSocketTest, UnknownUserGetsErrorOne) {
  std::vector<uint8_t> reply = Masked(Ask(Masked(Request(0, NameField("nobody")))));
  const std::vector<uint8_t> expected = {0x10, 0, 0, 0, 0x07, 0, 0, 0,
                                         0x7E, 0xB8, 0xF8, 0x99, 0x01, 0, 0, 0};
  EXPECT_EQ(reply, expected);
}

TEST_F(SyncInfoSocketTest, SizeBeyondTheDatagramGetsTheTextReply) {
  std::vector<uint8_t> request = Request(0, NameField("demo"));
  request[0] = 33;  // one more than sent
  EXPECT_EQ(Ask(Masked(request)), kTextReply);
}

TEST_F(SyncInfoSocketTest, FlippedContentByteFailsTheCheck) {
  std::vector<uint8_t> request = Request(0, NameField("demo"));
  request[13] ^= 0x01;
  EXPECT_EQ(Ask(Masked(request)), kTextReply);
}

TEST_F(SyncInfoSocketTest, BytesBeyondTheSizeFieldAreIgnored) {
  std::vector<uint8_t> request = Request(0, NameField("demo"));
  request.push_back(0x55);
  request.push_back(0x66);
  std::vector<uint8_t> reply = Masked(Ask(Masked(request)));
  EXPECT_EQ(reply.size(), 65u);
}

TEST_F(SyncInfoSocketTest, UnknownCommandIsNotAnswered) {
  ASSERT_TRUE(peer_.SendTo(port_, Masked(Request(5, NameField("demo")))));
  // Datagrams are handled in order: the first reply that arrives belongs
  // to the text that follows, so the command got none.
  EXPECT_EQ(Ask(std::vector<uint8_t>{'x'}), kTextReply);
}

TEST_F(SyncInfoSocketTest, SizeFieldBelowTwelveCountsAsNoContent) {
  // size 5, cmd 0, check 0, then a name the size field does not cover:
  // valid (nothing beyond the header is checked) but without content.
  std::vector<uint8_t> request = {0x05, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
  std::vector<uint8_t> name = NameField("demo");
  request.insert(request.end(), name.begin(), name.end());
  std::vector<uint8_t> reply = Masked(Ask(Masked(request)));
  ASSERT_EQ(reply.size(), 16u);
  EXPECT_EQ(GetU32(reply, 4), 7u);
  EXPECT_EQ(GetU32(reply, 12), 6u);
  EXPECT_TRUE(digests_.asked().empty());
}

TEST_F(SyncInfoSocketTest, ShortDatagramsAreText) {
  EXPECT_EQ(Ask(Masked({0x0B, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0})), kTextReply);
}

TEST(SyncInfoSocketStaticTest, CheckOfHeaderOnlyDatagramIsTheCommand) {
  const uint8_t header[12] = {12, 0, 0, 0, 9, 0, 0, 0, 9, 0, 0, 0};
  EXPECT_EQ(SyncInfoSocket::ComputeCheck(header, 12, 9), 9u);
  EXPECT_TRUE(SyncInfoSocket::IsBinaryCommand(header, 12));
  EXPECT_FALSE(SyncInfoSocket::IsBinaryCommand(header, 11));
}

TEST(SyncInfoSocketStaticTest, CreateFailsOnAPortInUse) {
  asio::io_context io;
  FakeDigests digests;
  SyncInfoSocket first(io, &digests);
  uint16_t port = ::zv::testing::FreeTcpUdpPort();
  ASSERT_TRUE(first.Create(port));
  SyncInfoSocket second(io, &digests);
  EXPECT_FALSE(second.Create(port));
}

}  // namespace
}  // namespace zv
