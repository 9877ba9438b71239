#include "protocol/ui_socket.h"

#include <arpa/inet.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <thread>

#include "log/sync_log.h"

namespace zv {
namespace {

unsigned Byte(uint32_t address, int index) { return (address >> (24 - 8 * index)) & 0xFFu; }

bool IsListSeparator(char c) { return c == ',' || c == ';' || c == ' ' || c == '\t'; }

}  // namespace

std::vector<uint32_t> ParseAddressList(std::string_view text, std::vector<std::string>* bad) {
  std::vector<uint32_t> addresses;
  size_t i = 0;
  while (i < text.size()) {
    if (IsListSeparator(text[i])) {
      ++i;
      continue;
    }
    size_t end = i;
    while (end < text.size() && !IsListSeparator(text[end])) ++end;
    const std::string entry(text.substr(i, end - i));
    in_addr parsed{};
    if (inet_pton(AF_INET, entry.c_str(), &parsed) == 1) {
      addresses.push_back(ntohl(parsed.s_addr));
    } else if (bad != nullptr) {
      bad->push_back(entry);
    }
    i = end;
  }
  return addresses;
}

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
  // Any host that reaches the port could pause every login or read every
  // position file: with a list set, only the console's hosts are heard. A
  // list of nothing but bad entries lets nobody in.
  const std::string allowed = handler_->AllowedConsoleAddresses();
  if (allowed.find_first_not_of(", ;\t") != std::string::npos) {
    std::vector<std::string> bad;
    const std::vector<uint32_t> list = ParseAddressList(allowed, &bad);
    for (const std::string& entry : bad) {
      ZV_LOG_E("UIAllowedAddresses: %s is not an IPv4 address!\n", entry.c_str());
    }
    if (std::find(list.begin(), list.end(), from.address) == list.end()) {
      ZV_LOG_D("UI datagram from %u.%u.%u.%u:%u dropped: not an allowed console address\n",
               Byte(from.address, 0), Byte(from.address, 1), Byte(from.address, 2),
               Byte(from.address, 3), from.port);
      return;
    }
  }
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
