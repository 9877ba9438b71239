#include "protocol/sync_socket.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <future>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace zv {
namespace {

// A session socket attached to one end of a connected stream pair; the
// test speaks through the other end.
class SyncSocketTest : public ::testing::Test {
 protected:
  void SetUp() override {
    int fds[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds), 0);
    ASSERT_TRUE(socket_.Attach(fds[0]));
    peer_ = fds[1];
  }
  void TearDown() override {
    if (peer_ >= 0) close(peer_);
  }

  SyncSocket socket_;
  int peer_ = -1;
};

TEST_F(SyncSocketTest, QueuedBytesAreReturned) {
  ASSERT_EQ(write(peer_, "abcdef", 6), 6);
  char buffer[4];
  int error = 0;
  EXPECT_EQ(socket_.ReceiveSome(buffer, sizeof buffer, 1000, &error), 4);
  EXPECT_EQ(std::string(buffer, 4), "abcd");
  EXPECT_EQ(socket_.ReceiveSome(buffer, sizeof buffer, 1000, &error), 2);
  EXPECT_EQ(std::string(buffer, 2), "ef");
}

TEST_F(SyncSocketTest, NothingQueuedTimesOut) {
  char buffer[4];
  int error = 0;
  EXPECT_EQ(socket_.ReceiveSome(buffer, sizeof buffer, 1, &error), -1);
  EXPECT_EQ(error, kSocketTimedOut);
}

TEST_F(SyncSocketTest, PeerCloseReadsAsZero) {
  close(peer_);
  peer_ = -1;
  char buffer[4];
  int error = 0;
  EXPECT_EQ(socket_.ReceiveSome(buffer, sizeof buffer, 1000, &error), 0);
}

TEST_F(SyncSocketTest, CancelFailsLaterCallsEvenWithBytesQueued) {
  ASSERT_EQ(write(peer_, "abc", 3), 3);
  socket_.Cancel();
  char buffer[4];
  int error = 0;
  EXPECT_EQ(socket_.ReceiveSome(buffer, sizeof buffer, 1000, &error), -1);
  EXPECT_EQ(error, kSocketTimedOut);
  error = 0;
  EXPECT_EQ(socket_.SendSome("x", 1, 1000, &error), -1);
  EXPECT_EQ(error, kSocketTimedOut);
}

TEST_F(SyncSocketTest, CancelWakesABlockedReceive) {
  auto receive = std::async(std::launch::async, [this] {
    char buffer[4];
    int error = 0;
    long n = socket_.ReceiveSome(buffer, sizeof buffer, 600000, &error);
    return std::make_pair(n, error);
  });
  socket_.Cancel();
  auto [n, error] = receive.get();
  EXPECT_EQ(n, -1);
  EXPECT_EQ(error, kSocketTimedOut);
}

// A session's socket is its only descriptor; a cancel wakes a waiter and
// ends the connection, which the peer reads as its end.
TEST_F(SyncSocketTest, CancelWakesAWaiterAndThePeerSeesTheEnd) {
  auto open_descriptors = [] {
    size_t count = 0;
    for (int fd = 0; fd < 4096; ++fd) count += fcntl(fd, F_GETFD) != -1 ? 1 : 0;
    return count;
  };
  int fds[2];
  ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds), 0);
  const size_t before = open_descriptors();
  {
    SyncSocket second;
    ASSERT_TRUE(second.Attach(fds[0]));
    EXPECT_EQ(open_descriptors(), before);
  }
  EXPECT_EQ(open_descriptors(), before - 1);  // closed with its owner
  close(fds[1]);

  EXPECT_FALSE(socket_.WaitForCancel(1));
  auto waiter = std::async(std::launch::async, [this] { return socket_.WaitForCancel(600000); });
  socket_.Cancel();
  EXPECT_TRUE(waiter.get());
  char byte;
  EXPECT_EQ(read(peer_, &byte, 1), 0);
}

TEST_F(SyncSocketTest, SendReachesThePeerAndAFullSocketTimesOut) {
  int error = 0;
  EXPECT_EQ(socket_.SendSome("hello", 5, 1000, &error), 5);
  char buffer[8];
  ASSERT_EQ(read(peer_, buffer, sizeof buffer), 5);
  EXPECT_EQ(std::string(buffer, 5), "hello");

  // Nobody reads: the socket buffers fill and a send finds no room.
  std::vector<char> chunk(1 << 16, 'z');
  long n = 0;
  while ((n = socket_.SendSome(chunk.data(), chunk.size(), 1, &error)) > 0) {
  }
  EXPECT_EQ(n, -1);
  EXPECT_EQ(error, kSocketTimedOut);
}

TEST_F(SyncSocketTest, ClosedSocketIsABadDescriptor) {
  socket_.Close();
  char buffer[4];
  int error = 0;
  EXPECT_EQ(socket_.ReceiveSome(buffer, sizeof buffer, 1000, &error), -1);
  EXPECT_EQ(error, EBADF);
  EXPECT_EQ(socket_.SendSome("x", 1, 1000, &error), -1);
  EXPECT_EQ(error, EBADF);
}

}  // namespace
}  // namespace zv
