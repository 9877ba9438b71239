// UISocket: the UDP link to the management console on port UIPort. The
// console sends ZVUI_CMD datagrams (no mask, no checksum) saying that an
// account changed or asking for the sync state of every client; the
// controller handles them and answers through SendCommand. Created, served
// and closed on the controller's event-loop thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

#include "protocol/datagram_socket.h"

namespace zv {

// The 16-byte header of a ZVUI_CMD datagram (little-endian).
#pragma pack(push, 1)
struct UiCommandHeader {
  uint32_t flag;      // always kUiCommandFlag
  uint32_t unnamed;   // not interpreted; replies carry the request's value
  uint32_t cmdId;     // 2, 3: account changed; 4: sync-state query
  uint32_t size;      // total length, header included
};
#pragma pack(pop)
static_assert(sizeof(UiCommandHeader) == 16);

inline constexpr uint32_t kUiCommandFlag = 0x26581999;
inline constexpr uint32_t kUiCmdUpdateAccountDelete = 2;
inline constexpr uint32_t kUiCmdUpdateAccount = 3;
inline constexpr uint32_t kUiCmdSyncState = 4;
inline constexpr size_t kUiMaxDatagram = 4096;

// What the UI channel asks of the controller (on the loop thread).
class UiCommandHandler {
 public:
  virtual ~UiCommandHandler() = default;
  // Commands 2 and 3. datagram holds length bytes (length == its size
  // field); the handler may write into it. Returns a system error code.
  virtual uint32_t HandleAccountCommand(uint8_t* datagram, size_t length,
                                        bool delete_positions) = 0;
  // Command 4: answers the sender with SendCommand.
  virtual void ReportSyncState(const uint8_t* datagram, size_t length,
                               const DatagramPeer& sender) = 0;
  // The setting UIAllowedAddresses, asked for at every datagram: the IPv4
  // addresses allowed to use the channel; empty allows every sender.
  virtual std::string AllowedConsoleAddresses() { return std::string(); }
};

// The addresses of an allow-list text: dotted IPv4 addresses separated by
// commas, semicolons or blanks, in host byte order (as DatagramPeer holds
// them). Entries that are no address go to *bad (when given).
std::vector<uint32_t> ParseAddressList(std::string_view text,
                                       std::vector<std::string>* bad = nullptr);

class UISocket {
 public:
  UISocket(asio::io_context& io, UiCommandHandler* handler);
  ~UISocket();
  UISocket(const UISocket&) = delete;
  UISocket& operator=(const UISocket&) = delete;

  // Closes any previous socket, binds a UDP socket to port on all addresses
  // and starts receiving. "Create UI socket failed!errno=%u\n" on failure.
  [[nodiscard]] bool Create(uint16_t port);
  void Close();

  // Sends one ZVUI_CMD of its own size field to the destination, then
  // pauses 1 ms (paces a burst of state datagrams). A size field below 16
  // throws 0.
  bool SendCommand(const void* datagram, const DatagramPeer& to);

  // Handles one received datagram as a receive notification does. A
  // sender outside a non-empty allow-list is dropped with a debug line
  // before anything of the datagram is read.
  void HandleDatagram(uint8_t* data, size_t length, const DatagramPeer& from);

 private:
  void OnReceive(const std::error_code& error, uint8_t* data, size_t length,
                 const DatagramPeer& from);

  UiCommandHandler* const handler_;
  DatagramSocket socket_;
};

}  // namespace zv
