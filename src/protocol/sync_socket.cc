#include "protocol/sync_socket.h"

#include <errno.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>

#include "log/sync_log.h"

namespace zv {
namespace {

int64_t NowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

}  // namespace

SyncSocket::SyncSocket() = default;

SyncSocket::~SyncSocket() { Close(); }

bool SyncSocket::Attach(int fd) {
  if (fd < 0 || fd_.load() >= 0) throw 0;
  std::lock_guard<std::mutex> lock(mu_);
  cancelled_.store(false);
  fd_.store(fd);
  return true;
}

void SyncSocket::Close() {
  std::lock_guard<std::mutex> lock(mu_);
  int fd = fd_.exchange(-1);
  if (fd >= 0) ::close(fd);
}

void SyncSocket::Cancel() {
  std::lock_guard<std::mutex> lock(mu_);
  cancelled_.store(true);
  // A shut-down socket reads as ready for good, so a call about to wait
  // wakes as surely as one already waiting; every call tests cancelled_
  // before it touches the socket.
  const int fd = fd_.load();
  if (fd >= 0) (void)::shutdown(fd, SHUT_RDWR);
  cancel_cv_.notify_all();
}

int SyncSocket::WaitReady(short events, int64_t deadline_ms, int* error) {
  for (;;) {
    if (cancelled_.load()) {
      *error = kSocketTimedOut;
      return 0;
    }
    int64_t left = deadline_ms - NowMs();
    if (left <= 0) {
      ZV_LOG_D("Client Timeout!\n");
      *error = kSocketTimedOut;
      return 0;
    }
    pollfd fds[1] = {{fd_.load(), events, 0}};
    int n = ::poll(fds, 1, static_cast<int>(left > 0x7FFFFFFF ? 0x7FFFFFFF : left));
    if (n < 0) {
      if (errno == EINTR) continue;
      *error = errno;
      return -1;
    }
    if (n == 0) continue;  // the deadline test above reports the time-out
    if (cancelled_.load()) {
      *error = kSocketTimedOut;
      return 0;
    }
    if (fds[0].revents != 0) return 1;
  }
}

template <typename Call>
long SyncSocket::CallWhenReady(short events, uint32_t timeout_ms, int* error, Call call) {
  if (fd_.load() < 0) {
    *error = EBADF;
    return -1;
  }
  // The call is tried first and waited for only when the socket is not
  // ready: a busy transfer then costs one system call, not a poll as well.
  const int64_t deadline = NowMs() + timeout_ms;
  for (;;) {
    if (cancelled_.load()) {
      *error = kSocketTimedOut;
      return -1;
    }
    ssize_t n = call(fd_.load());
    // A Cancel() that came after the test above shut the socket down: what
    // the call then saw (an end or an error) is the cancel.
    if (n <= 0 && cancelled_.load()) {
      *error = kSocketTimedOut;
      return -1;
    }
    if (n >= 0) return static_cast<long>(n);
    if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
      *error = errno;
      return -1;
    }
    if (WaitReady(events, deadline, error) <= 0) return -1;
  }
}

long SyncSocket::SendSome(const void* data, size_t size, uint32_t timeout_ms, int* error) {
  if (size == 0 || data == nullptr) throw 0;
  return CallWhenReady(POLLOUT, timeout_ms, error, [data, size](int fd) {
    return ::send(fd, data, size, MSG_DONTWAIT | MSG_NOSIGNAL);
  });
}

long SyncSocket::ReceiveSome(void* data, size_t size, uint32_t timeout_ms, int* error) {
  if (size == 0 || data == nullptr) throw 0;
  return CallWhenReady(POLLIN, timeout_ms, error,
                       [data, size](int fd) { return ::recv(fd, data, size, MSG_DONTWAIT); });
}

size_t SyncSocket::PendingBytes() const {
  int count = 0;
  const int fd = fd_.load();
  if (fd < 0 || ::ioctl(fd, FIONREAD, &count) != 0 || count < 0) return 0;
  return static_cast<size_t>(count);
}

bool SyncSocket::WaitForCancel(uint32_t timeout_ms) {
  std::unique_lock<std::mutex> lock(mu_);
  return cancel_cv_.wait_for(lock, std::chrono::milliseconds(timeout_ms),
                             [this] { return cancelled_.load(); });
}

}  // namespace zv
