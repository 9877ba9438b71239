#include "protocol/ui_socket.h"

#include <gtest/gtest.h>

#include <condition_variable>
#include <cstring>
#include <mutex>

#include "protocol/datagram_test_util.h"
#include "protocol/loop_thread_test_util.h"
#include "test_util.h"

namespace zv {
namespace {

using ::zv::testing::GetU32;
using ::zv::testing::PutU32;
using ::zv::testing::UdpPeer;

struct Call {
  uint32_t cmd = 0;
  bool delete_positions = false;
  std::vector<uint8_t> datagram;
  DatagramPeer sender;
};

class FakeUiHandler : public UiCommandHandler {
 public:
  uint32_t HandleAccountCommand(uint8_t* datagram, size_t length, bool delete_positions) override {
    Record(Call{GetU32({datagram, datagram + length}, 8), delete_positions,
                {datagram, datagram + length}, {}});
    return length <= 16 ? 87 : 0;
  }
  void ReportSyncState(const uint8_t* datagram, size_t length,
                       const DatagramPeer& sender) override {
    Record(Call{4, false, {datagram, datagram + length}, sender});
  }
  std::string AllowedConsoleAddresses() override { return allowed; }

  std::string allowed;  // set before the loop starts

  // Waits (bounded) until n calls have arrived.
  std::vector<Call> WaitFor(size_t n) {
    std::unique_lock<std::mutex> lock(mu_);
    cv_.wait_for(lock, std::chrono::seconds(10), [&] { return calls_.size() >= n; });
    return calls_;
  }

 private:
  void Record(Call call) {
    {
      std::lock_guard<std::mutex> lock(mu_);
      calls_.push_back(std::move(call));
    }
    cv_.notify_all();
  }
  std::mutex mu_;
  std::condition_variable cv_;
  std::vector<Call> calls_;
};

std::vector<uint8_t> Command(uint32_t flag, uint32_t cmd, uint32_t size_field,
                             const std::string& text) {
  std::vector<uint8_t> bytes;
  PutU32(&bytes, flag);
  PutU32(&bytes, 0xABCD0123);
  PutU32(&bytes, cmd);
  PutU32(&bytes, size_field);
  bytes.insert(bytes.end(), text.begin(), text.end());
  return bytes;
}

std::vector<uint8_t> Command(uint32_t cmd, const std::string& text) {
  return Command(kUiCommandFlag, cmd, static_cast<uint32_t>(16 + text.size()), text);
}

class UISocketTest : public ::testing::Test {
 protected:
  void SetUp() override {
    socket_ = std::make_unique<UISocket>(loop_.io(), &handler_);
    port_ = ::zv::testing::FreeTcpUdpPort();
    ASSERT_TRUE(socket_->Create(port_));
    loop_.Start();
  }
  void TearDown() override {
    loop_.Run([this] { socket_->Close(); });
    loop_.Stop();
  }

  ::zv::testing::LoopThread loop_;
  FakeUiHandler handler_;
  std::unique_ptr<UISocket> socket_;
  uint16_t port_ = 0;
  UdpPeer peer_;
};

TEST_F(UISocketTest, CommandTwoDeletesAndThreeDoesNot) {
  ASSERT_TRUE(peer_.SendTo(port_, Command(2, std::string("demo\0", 5))));
  ASSERT_TRUE(peer_.SendTo(port_, Command(3, std::string("demo\0", 5))));
  auto calls = handler_.WaitFor(2);
  ASSERT_EQ(calls.size(), 2u);
  EXPECT_TRUE(calls[0].delete_positions);
  EXPECT_FALSE(calls[1].delete_positions);
  EXPECT_EQ(calls[0].datagram.size(), 21u);
}

TEST_F(UISocketTest, SixteenBytesPassToTheController) {
  ASSERT_TRUE(peer_.SendTo(port_, Command(2, "")));
  auto calls = handler_.WaitFor(1);
  ASSERT_EQ(calls.size(), 1u);
  EXPECT_EQ(calls[0].datagram.size(), 16u);
}

TEST_F(UISocketTest, WrongFlagLengthOrCommandIsDropped) {
  // Flag bytes in the other order, size one more than sent, unknown CmdId.
  ASSERT_TRUE(peer_.SendTo(port_, Command(0x99195826, 3, 20, "demo")));
  ASSERT_TRUE(peer_.SendTo(port_, Command(kUiCommandFlag, 3, 21, "demo")));
  ASSERT_TRUE(peer_.SendTo(port_, Command(9, "demo")));
  ASSERT_TRUE(peer_.SendTo(port_, std::vector<uint8_t>{0x99, 0x19}));
  // Handled in order: the marker is the first call to arrive.
  ASSERT_TRUE(peer_.SendTo(port_, Command(3, "mark")));
  auto calls = handler_.WaitFor(1);
  ASSERT_EQ(calls.size(), 1u);
  EXPECT_EQ(std::string(calls[0].datagram.begin() + 16, calls[0].datagram.end()), "mark");
}

TEST_F(UISocketTest, SyncStateQueryNamesTheSender) {
  ASSERT_TRUE(peer_.SendTo(port_, Command(4, "")));
  auto calls = handler_.WaitFor(1);
  ASSERT_EQ(calls.size(), 1u);
  EXPECT_EQ(calls[0].cmd, 4u);
  EXPECT_EQ(calls[0].sender.address, 0x7F000001u);
  EXPECT_EQ(calls[0].sender.port, peer_.port());
}

TEST_F(UISocketTest, SendCommandSendsItsSizeFieldBytes) {
  // A state datagram: size field 5110 (F6 13 00 00), 5094 record bytes,
  // and bytes beyond the size field that must not be sent.
  std::vector<uint8_t> datagram = Command(4, std::string(5094, 'r'));
  ASSERT_EQ(std::vector<uint8_t>(datagram.begin() + 12, datagram.begin() + 16),
            (std::vector<uint8_t>{0xF6, 0x13, 0x00, 0x00}));
  std::vector<uint8_t> buffer = datagram;
  buffer.resize(6000, 'z');
  DatagramPeer to{0x7F000001, peer_.port()};
  ASSERT_TRUE(loop_.Run([&] { return socket_->SendCommand(buffer.data(), to); }));
  auto received = peer_.Receive();
  ASSERT_TRUE(received.has_value());
  ASSERT_EQ(received->size(), datagram.size());
  for (size_t i = 0; i < datagram.size(); ++i) {
    ASSERT_EQ((*received)[i], datagram[i]) << "byte " << i;
  }
}

TEST_F(UISocketTest, SendCommandOfLessThanAHeaderIsAProgrammingError) {
  std::vector<uint8_t> datagram = Command(kUiCommandFlag, 4, 15, "");
  EXPECT_TRUE(loop_.Run([&] {
    try {
      (void)socket_->SendCommand(datagram.data(), DatagramPeer{0x7F000001, peer_.port()});
      return false;
    } catch (int) {
      return true;
    }
  }));
}

TEST(UIAllowListTest, OnlyListedSendersReachTheController) {
  struct Case {
    const char* list;
    uint32_t sender;
    bool heard;
  };
  const Case cases[] = {
      {"", 0x7F000001, true},
      {" ,; ", 0x0A000005, true},
      {"127.0.0.2", 0x7F000001, false},
      {"10.0.0.5;127.0.0.1", 0x7F000001, true},
      {"10.0.0.5, 127.0.0.1", 0x0A000005, true},
      {"10.0.0.5 127.0.0.1", 0x0A000006, false},
      {"console.example", 0x7F000001, false},
      {"127.0.0.1/8", 0x7F000001, false},
      {"bogus,127.0.0.1", 0x7F000001, true},
  };
  for (const Case& c : cases) {
    asio::io_context io;
    FakeUiHandler handler;
    handler.allowed = c.list;
    UISocket socket(io, &handler);
    std::vector<uint8_t> datagram = Command(4, "");
    socket.HandleDatagram(datagram.data(), datagram.size(), DatagramPeer{c.sender, 4000});
    EXPECT_EQ(handler.WaitFor(c.heard ? 1 : 0).size(), c.heard ? 1u : 0u) << c.list;
  }
}

}  // namespace
}  // namespace zv
