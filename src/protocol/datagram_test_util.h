// A UDP peer on 127.0.0.1 for the datagram tests: sends to a local port and
// waits (bounded) for replies.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace zv::testing {

class UdpPeer {
 public:
  UdpPeer() {
    fd_ = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof(address));
    socklen_t length = sizeof(address);
    ::getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &length);
    port_ = ntohs(address.sin_port);
  }
  ~UdpPeer() { ::close(fd_); }
  UdpPeer(const UdpPeer&) = delete;
  UdpPeer& operator=(const UdpPeer&) = delete;

  uint16_t port() const { return port_; }

  bool SendTo(uint16_t port, const std::vector<uint8_t>& bytes) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(port);
    return ::sendto(fd_, bytes.data(), bytes.size(), 0, reinterpret_cast<sockaddr*>(&address),
                    sizeof(address)) == static_cast<ssize_t>(bytes.size());
  }
  bool SendTo(uint16_t port, const std::string& text) {
    return SendTo(port, std::vector<uint8_t>(text.begin(), text.end()));
  }

  // The next datagram, or nothing within timeout_ms (a failure bound, not a
  // pace: replies normally arrive at once).
  std::optional<std::vector<uint8_t>> Receive(int timeout_ms = 10000) {
    pollfd p{fd_, POLLIN, 0};
    if (::poll(&p, 1, timeout_ms) != 1) return std::nullopt;
    std::vector<uint8_t> bytes(65536);
    ssize_t n = ::recv(fd_, bytes.data(), bytes.size(), 0);
    if (n < 0) return std::nullopt;
    bytes.resize(static_cast<size_t>(n));
    return bytes;
  }

 private:
  int fd_ = -1;
  uint16_t port_ = 0;
};

inline std::vector<uint8_t> Masked(std::vector<uint8_t> bytes, uint8_t mask = 0xA7) {
  for (uint8_t& b : bytes) b ^= mask;
  return bytes;
}

inline void PutU32(std::vector<uint8_t>* bytes, uint32_t value) {
  for (int i = 0; i < 4; ++i) bytes->push_back(static_cast<uint8_t>(value >> (8 * i)));
}

inline uint32_t GetU32(const std::vector<uint8_t>& bytes, size_t offset) {
  return static_cast<uint32_t>(bytes[offset]) | static_cast<uint32_t>(bytes[offset + 1]) << 8 |
         static_cast<uint32_t>(bytes[offset + 2]) << 16 |
         static_cast<uint32_t>(bytes[offset + 3]) << 24;
}

}  // namespace zv::testing
