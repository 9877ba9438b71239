#include "protocol/datagram_socket.h"

#include <errno.h>

#include <gtest/gtest.h>

#include <asio/error.hpp>
#include <asio/io_context.hpp>

#include <chrono>
#include <vector>

#include "protocol/datagram_test_util.h"
#include "test_util.h"

namespace zv {
namespace {

using ::zv::testing::UdpPeer;

struct Received {
  std::vector<uint8_t> bytes;
  DatagramPeer from;
};

class DatagramSocketTest : public ::testing::Test {
 protected:
  void Open(size_t max_datagram = 64) {
    socket_ = std::make_unique<DatagramSocket>(io_, max_datagram);
    port_ = ::zv::testing::FreeTcpUdpPort();
    std::error_code ec = socket_->Open(
        port_, [this](const std::error_code& error, uint8_t* data, size_t length,
                      const DatagramPeer& from) {
          ASSERT_FALSE(error);
          received_.push_back(Received{{data, data + length}, from});
          data[0] ^= 0xFF;  // the handler may write into the buffer
          if (close_after_ != 0 && received_.size() == close_after_) socket_->Close();
        });
    ASSERT_FALSE(ec) << ec.message();
  }

  // Runs the loop until n datagrams have been handled (bounded for failure).
  void RunUntil(size_t n) {
    while (received_.size() < n && io_.run_one_for(std::chrono::seconds(10)) != 0) {
    }
  }

  asio::io_context io_;
  std::unique_ptr<DatagramSocket> socket_;
  uint16_t port_ = 0;
  size_t close_after_ = 0;
  std::vector<Received> received_;
  UdpPeer peer_;
};

TEST_F(DatagramSocketTest, HandsEachDatagramWithItsSender) {
  Open();
  ASSERT_TRUE(peer_.SendTo(port_, std::vector<uint8_t>{1, 2, 3}));
  ASSERT_TRUE(peer_.SendTo(port_, std::vector<uint8_t>{9}));
  RunUntil(2);
  ASSERT_EQ(received_.size(), 2u);
  EXPECT_EQ(received_[0].bytes, (std::vector<uint8_t>{1, 2, 3}));
  EXPECT_EQ(received_[1].bytes, (std::vector<uint8_t>{9}));
  EXPECT_EQ(received_[1].from.address, 0x7F000001u);
  EXPECT_EQ(received_[1].from.port, peer_.port());
}

TEST_F(DatagramSocketTest, LongerDatagramIsCutToTheBuffer) {
  Open(8);
  ASSERT_TRUE(peer_.SendTo(port_, std::string("0123456789abc")));
  RunUntil(1);
  ASSERT_EQ(received_.size(), 1u);
  EXPECT_EQ(std::string(received_[0].bytes.begin(), received_[0].bytes.end()), "01234567");
}

TEST_F(DatagramSocketTest, SendToReachesThePeer) {
  Open();
  std::error_code ec;
  EXPECT_EQ(socket_->SendTo("reply", 5, DatagramPeer{0x7F000001, peer_.port()}, &ec), 5u);
  EXPECT_FALSE(ec);
  auto reply = peer_.Receive();
  ASSERT_TRUE(reply.has_value());
  EXPECT_EQ(std::string(reply->begin(), reply->end()), "reply");
}

TEST_F(DatagramSocketTest, CloseInTheHandlerStopsReceiving) {
  close_after_ = 1;
  Open();
  ASSERT_TRUE(peer_.SendTo(port_, std::string("first")));
  ASSERT_TRUE(peer_.SendTo(port_, std::string("second")));
  // No receive is armed after the close: the loop runs out of work.
  io_.run_for(std::chrono::seconds(10));
  EXPECT_TRUE(io_.stopped());
  ASSERT_EQ(received_.size(), 1u);
  EXPECT_EQ(std::string(received_[0].bytes.begin(), received_[0].bytes.end()), "first");
}

TEST(DatagramSocketStaticTest, SendWhenNotOpenIsABadDescriptor) {
  asio::io_context io;
  DatagramSocket socket(io, 16);
  std::error_code ec;
  EXPECT_EQ(socket.SendTo("x", 1, DatagramPeer{0x7F000001, 9}, &ec), 0u);
  EXPECT_EQ(ec, asio::error::bad_descriptor);
}

TEST(DatagramSocketStaticTest, PortInUseFailsAndLeavesTheSocketClosed) {
  asio::io_context io;
  auto ignore = [](const std::error_code&, uint8_t*, size_t, const DatagramPeer&) {};
  DatagramSocket first(io, 16);
  uint16_t port = ::zv::testing::FreeTcpUdpPort();
  ASSERT_FALSE(first.Open(port, ignore));
  DatagramSocket second(io, 16);
  EXPECT_EQ(second.Open(port, ignore).value(), EADDRINUSE);  // the value the log shows
  std::error_code ec;
  EXPECT_EQ(second.SendTo("x", 1, DatagramPeer{0x7F000001, port}, &ec), 0u);
  EXPECT_EQ(ec, asio::error::bad_descriptor);
}

}  // namespace
}  // namespace zv
