// DatagramSocket: the UDP plumbing of the datagram services (SyncInfoSocket,
// UISocket). Binds one port on every IPv4 address and receives datagrams one
// at a time: the next receive is armed only after the handler of the previous
// one has returned. Owned by its service; opened, served, used and closed on
// the thread that runs its io_context.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <system_error>

namespace asio {
class io_context;
}

namespace zv {

// The sender of a datagram: IPv4 address and port in host byte order.
struct DatagramPeer {
  uint32_t address = 0;
  uint16_t port = 0;
};

class DatagramSocket {
 public:
  // Every receive completion except those ended by Close: an error, or the
  // received bytes (length may be 0) and their sender. data holds length
  // bytes, stays valid until the handler returns and may be changed by it.
  using ReceiveHandler = std::function<void(const std::error_code& error, uint8_t* data,
                                            size_t length, const DatagramPeer& from)>;

  // max_datagram: the receive buffer; longer datagrams are cut to it.
  DatagramSocket(asio::io_context& io, size_t max_datagram);
  ~DatagramSocket();
  DatagramSocket(const DatagramSocket&) = delete;
  DatagramSocket& operator=(const DatagramSocket&) = delete;

  // Closes any previous socket, binds a new one to port and starts
  // receiving into handler. On failure the error of open or bind, the
  // socket closed again.
  [[nodiscard]] std::error_code Open(uint16_t port, ReceiveHandler handler);
  // Stops receiving and closes the socket; harmless when not open.
  void Close();

  // Sends length bytes as one datagram; returns the bytes sent. *error is
  // set on failure (bad_descriptor when the socket is not open).
  size_t SendTo(const void* data, size_t length, const DatagramPeer& to, std::error_code* error);

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace zv
