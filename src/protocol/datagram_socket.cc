#include "protocol/datagram_socket.h"

#include <asio/io_context.hpp>
#include <asio/ip/udp.hpp>

#include <vector>

namespace zv {

struct DatagramSocket::Impl {
  Impl(asio::io_context& io, size_t max_datagram) : socket(io), buffer(max_datagram) {}

  // Takes one datagram; re-armed from its own completion while open.
  void ArmReceive() {
    socket.async_receive_from(
        asio::buffer(buffer.data(), buffer.size()), sender,
        [this](const asio::error_code& error, size_t received) {
          if (error == asio::error::operation_aborted || !socket.is_open()) return;
          DatagramPeer from;
          if (!error) {
            from.address = sender.address().is_v4() ? sender.address().to_v4().to_uint() : 0;
            from.port = sender.port();
          }
          handler(error, buffer.data(), error ? 0 : received, from);
          if (socket.is_open()) ArmReceive();
        });
  }

  asio::ip::udp::socket socket;
  asio::ip::udp::endpoint sender;
  std::vector<uint8_t> buffer;
  ReceiveHandler handler;
};

DatagramSocket::DatagramSocket(asio::io_context& io, size_t max_datagram)
    : impl_(std::make_unique<Impl>(io, max_datagram)) {}

DatagramSocket::~DatagramSocket() { Close(); }

std::error_code DatagramSocket::Open(uint16_t port, ReceiveHandler handler) {
  Close();
  asio::error_code ec;
  impl_->socket.open(asio::ip::udp::v4(), ec);
  if (!ec) impl_->socket.bind(asio::ip::udp::endpoint(asio::ip::address_v4::any(), port), ec);
  if (ec) {
    asio::error_code ignored;
    impl_->socket.close(ignored);
    return ec;
  }
  impl_->handler = std::move(handler);
  impl_->ArmReceive();
  return ec;
}

void DatagramSocket::Close() {
  if (!impl_->socket.is_open()) return;
  asio::error_code ignored;
  impl_->socket.close(ignored);
}

size_t DatagramSocket::SendTo(const void* data, size_t length, const DatagramPeer& to,
                              std::error_code* error) {
  error->clear();
  if (!impl_->socket.is_open()) {
    *error = asio::error::bad_descriptor;
    return 0;
  }
  return impl_->socket.send_to(asio::buffer(data, length),
                               asio::ip::udp::endpoint(asio::ip::address_v4(to.address), to.port),
                               0, *error);
}

}  // namespace zv
