#include "protocol/ui_socket.h"

#include <chrono>
#include <cstring>
#include <thread>

#include "log/sync_log.h"

namespace zv {
namespace {

unsigned Byte(uint32_t address, int index) { return (address >> (24 - 8 * index)) & 0xFFu; }

}  // namespace

UISocket::UISocket(asio::io_context& io, UiCommandHandler* handler)
    : handler_(handler), socket_(io, kUiMaxDatagram) {
  if (handler == nullptr) throw 0;
}

UISocket::~UISocket() { Close(); }

bool UISocket::Create(uint16_t port) {
  std::error_code ec = socket_.Open(
      port, [this](const std::error_code& error, uint8_t* data, size_t length,
                   const DatagramPeer& from) { OnReceive(error, data, length, from); });
  if (ec) {
    ZV_LOG_E("Create UI socket failed!errno=%u\n", static_cast<unsigned>(ec.value()));
    return false;
  }
  return true;
}

void UISocket::Close() { socket_.Close(); }

void UISocket::OnReceive(const std::error_code& error, uint8_t* data, size_t length,
                         const DatagramPeer& from) {
  if (error) {
    ZV_LOG_E("OnReceive error,errno=%u\n", static_cast<unsigned>(error.value()));
  } else if (length == 0) {
    ZV_LOG_E("Receive nothing!\n");
  } else {
    HandleDatagram(data, length, from);
  }
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
  std::error_code ec;
  size_t sent = socket_.SendTo(datagram, header.size, to, &ec);
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
