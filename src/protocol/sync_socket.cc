#include "protocol/sync_socket.h"

#include <errno.h>
#include <poll.h>
#include <sys/eventfd.h>
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
  int event = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (event < 0) {
    int saved = errno;
    ::close(fd);
    errno = saved;
    return false;
  }
  std::lock_guard<std::mutex> lock(mu_);
  cancel_fd_ = event;
  cancelled_.store(false);
  fd_.store(fd);
  return true;
}

void SyncSocket::Close() {
  std::lock_guard<std::mutex> lock(mu_);
  int fd = fd_.exchange(-1);
  if (fd >= 0) ::close(fd);
  if (cancel_fd_ >= 0) {
    ::close(cancel_fd_);
    cancel_fd_ = -1;
  }
}

void SyncSocket::Cancel() {
  std::lock_guard<std::mutex> lock(mu_);
  cancelled_.store(true);
  if (cancel_fd_ >= 0) {
    uint64_t one = 1;
    // The counter cannot overflow from a handful of cancels; a failed write
    // still leaves cancelled_ set, which every call tests first.
    [[maybe_unused]] ssize_t n = ::write(cancel_fd_, &one, sizeof(one));
  }
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
    pollfd fds[2] = {{fd_.load(), events, 0}, {cancel_fd_, POLLIN, 0}};
    int n = ::poll(fds, 2, static_cast<int>(left > 0x7FFFFFFF ? 0x7FFFFFFF : left));
    if (n < 0) {
      if (errno == EINTR) continue;
      *error = errno;
      return -1;
    }
    if (n == 0) continue;  // the deadline test above reports the time-out
    if (fds[1].revents != 0) {
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
  int64_t deadline = NowMs() + timeout_ms;
  for (;;) {
    if (cancelled_.load()) return true;
    int64_t left = deadline - NowMs();
    if (left <= 0) return false;
    pollfd fd = {cancel_fd_, POLLIN, 0};
    if (cancel_fd_ < 0) {
      fd.fd = -1;  // poll ignores it: a plain wait
    }
    int n = ::poll(&fd, 1, static_cast<int>(left));
    if (n < 0 && errno != EINTR) return cancelled_.load();
  }
}

}  // namespace zv
