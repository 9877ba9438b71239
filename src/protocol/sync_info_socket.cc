#include "protocol/sync_info_socket.h"

#include <cstring>

#include "log/sync_log.h"
#include "protocol/block.h"
#include "util/crc.h"
#include "util/system_util.h"

namespace zv {
namespace {

// The reply to a query: header, user name and digest (65 bytes).
#pragma pack(push, 1)
struct PolicyReply {
  SyncInfoHeader header;
  char userName[20];
  char digest[33];
};
struct ErrorReply {
  SyncInfoHeader header;
  uint32_t code;
};
#pragma pack(pop)
static_assert(sizeof(PolicyReply) == 65);
static_assert(sizeof(ErrorReply) == 16);

void* AsPointer(uint32_t value) { return reinterpret_cast<void*>(static_cast<uintptr_t>(value)); }

unsigned Byte(uint32_t address, int index) { return (address >> (24 - 8 * index)) & 0xFFu; }

}  // namespace

SyncInfoSocket::SyncInfoSocket(asio::io_context& io, SyncDigestSource* digests)
    : digests_(digests), socket_(io, kSyncInfoMaxDatagram) {
  if (digests == nullptr) throw 0;
}

SyncInfoSocket::~SyncInfoSocket() { Close(); }

bool SyncInfoSocket::Create(uint16_t port) {
  std::error_code ec = socket_.Open(
      port, [this](const std::error_code& error, uint8_t* data, size_t length,
                   const DatagramPeer& from) { OnReceive(error, data, length, from); });
  if (ec) {
    ZV_LOG_E("Create sync info socket failed!errno=%u\n", static_cast<unsigned>(ec.value()));
    return false;
  }
  return true;
}

void SyncInfoSocket::Close() { socket_.Close(); }

void SyncInfoSocket::OnReceive(const std::error_code& error, uint8_t* data, size_t length,
                               const DatagramPeer& from) {
  if (error) {
    ZV_LOG_E("OnReceive error!errno=%u\n", static_cast<unsigned>(error.value()));
  } else if (length == 0) {
    ZV_LOG_E("Receive error!ret=%d,errno=%u\n", 0, 0u);
  } else {
    HandleDatagram(data, length, from);
  }
}

uint32_t SyncInfoSocket::ComputeCheck(const uint8_t* datagram, uint32_t size, uint32_t cmd) {
  CCrc crc;
  uint32_t computed = size > 12 ? crc.Compute(datagram + 12, size - 12) : 0;
  return computed ^ cmd;
}

bool SyncInfoSocket::IsBinaryCommand(const uint8_t* buffer, size_t length) {
  if (length <= 11) {
    ZV_LOG_W("buffer size is less than %u bytes\n", 12u);
    return false;
  }
  uint32_t size = LoadLe32(buffer);
  if (length < size) {
    ZV_LOG_W("cmd size is less than %u bytes\n", size);
    return false;
  }
  uint32_t cmd = LoadLe32(buffer + 4);
  uint32_t check = LoadLe32(buffer + 8);
  // A size field below 12 claims no content: nothing is checked beyond
  // the header, as for a size of 12.
  uint32_t computed = ComputeCheck(buffer, size, cmd);
  if (computed != check) {
    ZV_LOG_W("Crc unmatched!cmd:%p supplied_crc:%p current_crc:%p\n", AsPointer(cmd),
             AsPointer(check), AsPointer(computed));
    return false;
  }
  return true;
}

void SyncInfoSocket::HandleDatagram(uint8_t* data, size_t length, const DatagramPeer& from) {
  if (length > kSyncInfoMaxDatagram) length = kSyncInfoMaxDatagram;
  XorBuffer(data, kSyncInfoMask, length);
  if (IsBinaryCommand(data, length)) {
    HandleBinaryCommand(data, from);
    return;
  }
  XorBuffer(data, kSyncInfoMask, length);
  // The text ends after the received bytes; at most 4095 characters count.
  char text[kSyncInfoMaxDatagram];
  size_t kept = length < kSyncInfoMaxDatagram ? length : kSyncInfoMaxDatagram - 1;
  std::memcpy(text, data, kept);
  text[kept] = '\0';
  HandleTextCommand(text, from);
}

void SyncInfoSocket::HandleBinaryCommand(const uint8_t* datagram, const DatagramPeer& from) {
  uint32_t size = LoadLe32(datagram);
  uint32_t cmd = LoadLe32(datagram + 4);
  ZV_LOG_D("Receive binary command from %u.%u.%u.%u:%u cmd:%p size:%u\n", Byte(from.address, 0),
           Byte(from.address, 1), Byte(from.address, 2), Byte(from.address, 3), from.port,
           AsPointer(cmd), size);
  if (cmd != kSyncInfoCmdQueryPolicy) {
    ZV_LOG_W("Unknown info cmd:%u\n", cmd);
    return;
  }
  // A size field below 12 counts as no content.
  uint32_t content = size > 12 ? size - 12 : 0;
  if (content < 20) {
    ZV_LOG_E("Buffer content size(%u) is less than sizeof QueryPolicyBlock", content);
    SendError(kSyncInfoShortRequest, from);
    return;
  }
  char user[20];
  std::memcpy(user, datagram + 12, sizeof(user));
  user[19] = '\0';
  HandleQueryPolicy(user, from);
}

void SyncInfoSocket::HandleQueryPolicy(const std::string& user, const DatagramPeer& from) {
  std::string digest = digests_->GetSyncDateDigest(user);
  if (digest.empty()) {
    ZV_LOG_W("User %s doesn't exist!\n", user.c_str());
    SendError(kSyncInfoNoSuchAccount, from);
    return;
  }
  if (user.size() >= 20 || digest.size() > 32) {
    ZV_LOG_E("SyncInfo QueryPolicy format error,username=%u md5=%u\n",
             static_cast<unsigned>(user.size()), static_cast<unsigned>(digest.size()));
    return;
  }
  PolicyReply reply{};
  reply.header.size = sizeof(PolicyReply);
  reply.header.cmd = kSyncInfoCmdPolicy;
  std::memcpy(reply.userName, user.data(), user.size());
  std::memcpy(reply.digest, digest.data(), digest.size());
  ZV_LOG_D("User %s's sync date md5 is %s\n", user.c_str(), digest.c_str());
  SendBinary(reinterpret_cast<const uint8_t*>(&reply), from);
}

void SyncInfoSocket::HandleTextCommand(const char* text, const DatagramPeer& from) {
  ZV_LOG_D("Receive text command from %u.%u.%u.%u:%u content:%s\n", Byte(from.address, 0),
           Byte(from.address, 1), Byte(from.address, 2), Byte(from.address, 3), from.port, text);
  SendData(kSyncInfoTextReply, kSyncInfoTextReplySize, from);
}

bool SyncInfoSocket::SendBinary(const uint8_t* datagram, const DatagramPeer& to) {
  uint32_t size = LoadLe32(datagram);
  if (size < 12 || size > kSyncInfoMaxDatagram) throw 0;
  uint8_t copy[kSyncInfoMaxDatagram];
  std::memcpy(copy, datagram, size);
  uint32_t cmd = LoadLe32(copy + 4);
  uint32_t check = ComputeCheck(copy, size, cmd);
  std::memcpy(copy + 8, &check, 4);
  XorBuffer(copy, kSyncInfoMask, size);
  return SendData(copy, size, to);
}

bool SyncInfoSocket::SendError(uint32_t code, const DatagramPeer& to) {
  ErrorReply reply{};
  reply.header.size = sizeof(ErrorReply);
  reply.header.cmd = kSyncInfoCmdError;
  reply.code = code;
  return SendBinary(reinterpret_cast<const uint8_t*>(&reply), to);
}

bool SyncInfoSocket::SendData(const void* bytes, size_t length, const DatagramPeer& to) {
  std::error_code ec;
  size_t sent = socket_.SendTo(bytes, length, to, &ec);
  if (ec || sent == 0) {
    ZV_LOG_E("SendData to %u.%u.%u.%u:%u failed!ret=%d,errno=%u\n", Byte(to.address, 0),
             Byte(to.address, 1), Byte(to.address, 2), Byte(to.address, 3), to.port,
             ec ? -1 : 0, static_cast<unsigned>(ec.value()));
    return false;
  }
  if (sent != length) {
    ZV_LOG_E("SendData to %u.%u.%u.%u:%u failed!supplied %u bytes,sent %u bytes\n",
             Byte(to.address, 0), Byte(to.address, 1), Byte(to.address, 2), Byte(to.address, 3),
             to.port, static_cast<unsigned>(length), static_cast<unsigned>(sent));
    return false;
  }
  return true;
}

}  // namespace zv
