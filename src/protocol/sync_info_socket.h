// SyncInfoSocket: the UDP sync-info service on the port number of SyncPort.
// A peer names an account in a masked binary datagram and gets back the
// MD5 digest of the account's sync schedule; anything that is not a
// well-formed binary command gets a fixed text reply. Created, served and
// closed on the controller's event-loop thread; stateless between
// datagrams.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <system_error>

#include "protocol/datagram_socket.h"

namespace zv {

// Masked binary datagram of the sync-info service (values after unmasking).
#pragma pack(push, 1)
struct SyncInfoHeader {
  uint32_t size;   // total length, header included; at least 12
  uint32_t cmd;    // 0 query, 1 reply, 7 error
  uint32_t check;  // CRC-32 of bytes 12..size-1, XORed with cmd
};
#pragma pack(pop)
static_assert(sizeof(SyncInfoHeader) == 12);

inline constexpr uint8_t kSyncInfoMask = 0xA7;
inline constexpr size_t kSyncInfoMaxDatagram = 4096;
inline constexpr uint32_t kSyncInfoCmdQueryPolicy = 0;
inline constexpr uint32_t kSyncInfoCmdPolicy = 1;
inline constexpr uint32_t kSyncInfoCmdError = 7;
inline constexpr uint32_t kSyncInfoNoSuchAccount = 1;
inline constexpr uint32_t kSyncInfoShortRequest = 6;
// The reply to anything that is not a binary command: 40 characters and a
// NUL, sent without mask and header.
inline constexpr char kSyncInfoTextReply[] = "I don't know what you are talking about!";
inline constexpr size_t kSyncInfoTextReplySize = sizeof(kSyncInfoTextReply);  // 41

// What the service asks of the controller (on the loop thread).
class SyncDigestSource {
 public:
  virtual ~SyncDigestSource() = default;
  // 32 upper-case hex digits of the account's sync-schedule MD5, or "" when
  // no account has that name (compared without regard to case).
  virtual std::string GetSyncDateDigest(const std::string& user_name) = 0;
};

class SyncInfoSocket {
 public:
  SyncInfoSocket(asio::io_context& io, SyncDigestSource* digests);
  ~SyncInfoSocket();
  SyncInfoSocket(const SyncInfoSocket&) = delete;
  SyncInfoSocket& operator=(const SyncInfoSocket&) = delete;

  // Binds a UDP socket to port on all addresses and starts receiving.
  // "Create sync info socket failed!errno=%u\n" on failure.
  [[nodiscard]] bool Create(uint16_t port);
  // Stops receiving and closes the socket; harmless when never created.
  void Close();

  // Validation of an unmasked datagram: at least 12 bytes, the size field
  // within the received length, and the check matching.
  static bool IsBinaryCommand(const uint8_t* buffer, size_t length);
  // The check value of a datagram whose size and cmd are filled in.
  static uint32_t ComputeCheck(const uint8_t* datagram, uint32_t size, uint32_t cmd);

  // Handles one received datagram exactly as a receive notification does
  // (the bytes as they came off the wire).
  void HandleDatagram(uint8_t* data, size_t length, const DatagramPeer& from);

 private:
  void OnReceive(const std::error_code& error, uint8_t* data, size_t length,
                 const DatagramPeer& from);
  void HandleBinaryCommand(const uint8_t* datagram, const DatagramPeer& from);
  void HandleTextCommand(const char* text, const DatagramPeer& from);
  void HandleQueryPolicy(const std::string& user, const DatagramPeer& from);
  bool SendBinary(const uint8_t* datagram, const DatagramPeer& to);
  bool SendError(uint32_t code, const DatagramPeer& to);
  bool SendData(const void* bytes, size_t length, const DatagramPeer& to);

  SyncDigestSource* const digests_;
  DatagramSocket socket_;
};

}  // namespace zv
