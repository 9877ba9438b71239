#include "protocol/ui_socket.h"

#include <asio/io_context.hpp>
#include <asio/ip/udp.hpp>

#include <array>
#include <chrono>
#include <cstring>
#include <thread>

#include "log/sync_log.h"

namespace zv {
namespace {

unsigned Byte(uint32_t address, int index) { return (address >> (24 - 8 * index)) & 0xFFu; }

}  // namespace

struct UISocket::Impl {
  explicit Impl(asio::io_context& io) : socket(io) {}

  asio::ip::udp::socket socket;
  asio::ip::udp::endpoint sender;
  std::array<uint8_t, kUiMaxDatagram> buffer;
};

UISocket::UISocket(asio::io_context& io, UiCommandHandler* handler)
    : handler_(handler), impl_(std::make_unique<Impl>(io)) {
  if (handler == nullptr) throw 0;
}

UISocket::~UISocket() { Close(); }

bool UISocket::Create(uint16_t port) {
  Close();
  asio::error_code ec;
  impl_->socket.open(asio::ip::udp::v4(), ec);
  if (!ec) impl_->socket.bind(asio::ip::udp::endpoint(asio::ip::address_v4::any(), port), ec);
  if (ec) {
    ZV_LOG_E("Create UI socket failed!errno=%u\n", static_cast<unsigned>(ec.value()));
    asio::error_code ignored;
    impl_->socket.close(ignored);
    return false;
  }
  struct Receiver {
    UISocket* self;
    void Arm() {
      Impl* impl = self->impl_.get();
      impl->socket.async_receive_from(
          asio::buffer(impl->buffer.data(), impl->buffer.size()), impl->sender,
          [s = self](const asio::error_code& error, size_t received) {
            if (error == asio::error::operation_aborted || !s->impl_->socket.is_open()) return;
            if (error) {
              ZV_LOG_E("OnReceive error,errno=%u\n", static_cast<unsigned>(error.value()));
            } else if (received == 0) {
              ZV_LOG_E("Receive nothing!\n");
            } else {
              DatagramPeer from;
              from.address = s->impl_->sender.address().is_v4()
                                 ? s->impl_->sender.address().to_v4().to_uint()
                                 : 0;
              from.port = s->impl_->sender.port();
              s->HandleDatagram(s->impl_->buffer.data(), received, from);
            }
            if (s->impl_->socket.is_open()) Receiver{s}.Arm();
          });
    }
  };
  Receiver{this}.Arm();
  return true;
}

void UISocket::Close() {
  if (!impl_->socket.is_open()) return;
  asio::error_code ignored;
  impl_->socket.close(ignored);
}

void UISocket::HandleDatagram(uint8_t* data, size_t length, const DatagramPeer& from) {
  // Shorter than the header: its fields cannot match; read what arrived
  // and leave the rest zero.
  UiCommandHeader header{};
  std::memcpy(&header, data, length < sizeof(header) ? length : sizeof(header));
  if (header.flag != kUiCommandFlag) {
    ZV_LOG_W("Command flag unmatched!s");
    return;
  }
  if (header.size != length) {
    ZV_LOG_W("Received length unmatched!size=%u,len=%u\n", header.size,
             static_cast<unsigned>(length));
    return;
  }
  uint32_t result = 0;
  switch (header.cmdId) {
    case kUiCmdUpdateAccountDelete:
      result = handler_->HandleAccountCommand(data, length, true);
      break;
    case kUiCmdUpdateAccount:
      result = handler_->HandleAccountCommand(data, length, false);
      break;
    case kUiCmdSyncState:
      handler_->ReportSyncState(data, length, from);
      break;
    default:
      ZV_LOG_W("Unknown CmdId %u\n", header.cmdId);
      return;
  }
  if (result != 0) ZV_LOG_E("Update account failed!\n");
}

bool UISocket::SendCommand(const void* datagram, const DatagramPeer& to) {
  UiCommandHeader header;
  std::memcpy(&header, datagram, sizeof(header));
  if (header.size < sizeof(UiCommandHeader)) throw 0;
  asio::error_code ec;
  size_t sent = 0;
  if (impl_->socket.is_open()) {
    sent = impl_->socket.send_to(
        asio::buffer(datagram, header.size),
        asio::ip::udp::endpoint(asio::ip::address_v4(to.address), to.port), 0, ec);
  } else {
    ec = asio::error::bad_descriptor;
  }
  if (!ec && sent == header.size) {
    ZV_LOG_D("Send ZVUI_CMD size=%u to %u.%u.%u.%u:%u!", header.size, Byte(to.address, 0),
             Byte(to.address, 1), Byte(to.address, 2), Byte(to.address, 3), to.port);
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
    return true;
  }
  ZV_LOG_E("Send ZVUI_CMD size=%u to %u.%u.%u.%u:%u failed!ret=%d,err=%u", header.size,
           Byte(to.address, 0), Byte(to.address, 1), Byte(to.address, 2), Byte(to.address, 3),
           to.port, ec ? -1 : static_cast<int>(sent), static_cast<unsigned>(ec.value()));
  return false;
}

}  // namespace zv
