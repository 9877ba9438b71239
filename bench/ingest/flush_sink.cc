#include "flush_sink.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <thread>
#include <vector>

namespace zv::bench {
namespace {

bool SendAll(int fd, const void* data, size_t length) {
  const auto* p = static_cast<const uint8_t*>(data);
  while (length > 0) {
    ssize_t n = ::send(fd, p, length, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    p += n;
    length -= static_cast<size_t>(n);
  }
  return true;
}

bool ReceiveAll(int fd, void* data, size_t length) {
  auto* p = static_cast<uint8_t*>(data);
  while (length > 0) {
    ssize_t n = ::recv(fd, p, length, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    p += n;
    length -= static_cast<size_t>(n);
  }
  return true;
}

bool WriteAll(int fd, const uint8_t* data, size_t length) {
  while (length > 0) {
    ssize_t n = ::write(fd, data, length);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    data += n;
    length -= static_cast<size_t>(n);
  }
  return true;
}

// The receiver: one connection, an 8-byte length, the bytes, one answer.
// It writes whatever each receive brought, up to buffer_size bytes: the
// simplest sink is also the fastest on the machines measured (waiting for
// whole buffers before writing was slower).
std::string Receive(int listener, const std::string& path, size_t buffer_size) {
  int fd = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
  if (fd < 0) return std::string("accept: ") + std::strerror(errno);
  std::string error;
  int file = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  uint64_t total = 0;
  if (file < 0) {
    error = "open " + path + ": " + std::strerror(errno);
  } else if (!ReceiveAll(fd, &total, sizeof(total))) {
    error = "no length received";
  } else {
    std::vector<uint8_t> buffer(buffer_size);
    uint64_t received = 0, unflushed = 0;
    while (received < total && error.empty()) {
      size_t want = static_cast<size_t>(std::min<uint64_t>(buffer.size(), total - received));
      ssize_t n = ::recv(fd, buffer.data(), want, 0);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) {
        error = "connection ended early";
        break;
      }
      if (!WriteAll(file, buffer.data(), static_cast<size_t>(n))) {
        error = std::string("write: ") + std::strerror(errno);
        break;
      }
      received += static_cast<uint64_t>(n);
      unflushed += static_cast<uint64_t>(n);
      if (unflushed >= FlushSink::kFlushBytes || received == total) {
        if (::fdatasync(file) != 0) error = std::string("fdatasync: ") + std::strerror(errno);
        unflushed = 0;
      }
    }
  }
  if (file >= 0) ::close(file);
  const uint8_t answer = error.empty() ? 1 : 0;
  SendAll(fd, &answer, 1);
  ::close(fd);
  return error;
}

}  // namespace

bool FlushSink::Run(const UploadBlocks& blocks, const std::string& path, double* seconds,
                    std::string* error) {
  int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof(address);
  if (listener < 0 || ::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof(address)) ||
      ::listen(listener, 1) ||
      ::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length)) {
    *error = std::string("sink listener: ") + std::strerror(errno);
    if (listener >= 0) ::close(listener);
    return false;
  }
  std::string receive_error;
  std::thread receiver([&] { receive_error = Receive(listener, path, blocks.block_size()); });

  std::string send_error;
  auto start = std::chrono::steady_clock::now();
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0 || ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0) {
    send_error = std::string("connect: ") + std::strerror(errno);
  } else {
    uint64_t total = blocks.size();
    bool ok = SendAll(fd, &total, sizeof(total));
    for (size_t i = 0; ok && i < blocks.block_count(); ++i) {
      const std::string& plain = blocks.Plain(i);
      ok = SendAll(fd, plain.data(), plain.size());
    }
    uint8_t answer = 0;
    if (!ok || !ReceiveAll(fd, &answer, 1) || answer != 1) send_error = "the sink failed";
  }
  auto end = std::chrono::steady_clock::now();
  if (fd >= 0) ::close(fd);
  if (!send_error.empty()) {
    // Unblock a receiver still waiting for the connection.
    ::shutdown(listener, SHUT_RDWR);
  }
  receiver.join();
  ::close(listener);
  *seconds = std::chrono::duration<double>(end - start).count();
  if (!receive_error.empty() || !send_error.empty()) {
    *error = receive_error.empty() ? send_error : receive_error;
    return false;
  }
  return true;
}

}  // namespace zv::bench
