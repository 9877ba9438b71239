// The UI channel's datagram parser and the console commands behind it: an
// allow-list text, a sender and a datagram, all from the input, handled as
// the controller's loop handles a received datagram (replies go nowhere:
// the socket is not opened).
#include <unistd.h>

#include <asio/io_context.hpp>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "config/zv_sync_config.h"
#include "fuzz_util.h"
#include "protocol/ui_socket.h"
#include "records/account_file.h"
#include "server/console_commands.h"
#include "server/session_registry.h"

namespace fz = zv::fuzz;

namespace {

struct Channel {
  asio::io_context io;
  zv::CZvAccountFile accounts;
  zv::SessionRegistry sessions{io, [](size_t) {}};
  std::string allowed;
  std::string position_path;
  zv::ConsoleCommands console{
      accounts, sessions,
      zv::ConsoleCommands::Actions{[] { return true; }, [] {}, [] { return true; },
                                   [this](const void* datagram, const zv::DatagramPeer& to) {
                                     return socket.SendCommand(datagram, to);
                                   },
                                   [this] { return allowed; }}};
  zv::UISocket socket{io, &console};

  Channel() {
    zv::SyncAccountRecord demo{};
    std::strcpy(demo.userName, "demo");
    std::strcpy(demo.storageName, "shop1");
    demo.deviceId = 0x00A1B2C3;
    accounts.Records().push_back(demo);
    position_path = zv::ZVSyncConfig::Instance().GetSyncPosDirectory() + "/demo-00a1b2c3.dat";
  }

  // The position file a state query reports (a deletion command may have
  // taken it).
  void KeepPositionFile() {
    if (access(position_path.c_str(), F_OK) == 0) return;
    zv::CZvAccountFile position;
    position.SetPath(position_path);
    position.Records() = accounts.Records();
    (void)position.Save(zv::CZvAccountFile::Durability::kWithNextCommit);
  }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fz::ScratchHome::Get().TrimLogs();
  static Channel* channel = new Channel();
  channel->KeepPositionFile();
  // [allow-list length][allow-list][last octet of 127.0.0.x][datagram]
  if (size < 2) return 0;
  const size_t list_length = data[0] % 48;
  if (size < 2 + list_length) return 0;
  channel->allowed.assign(reinterpret_cast<const char*>(data + 1), list_length);
  const zv::DatagramPeer from{0x7F000000u | data[1 + list_length], 4000};
  const size_t offset = 2 + list_length;
  size_t length = size - offset;
  if (length > zv::kUiMaxDatagram) length = zv::kUiMaxDatagram;
  if (length == 0) return 0;  // the socket reports an empty receive itself
  // The socket hands over its own buffer; a copy of exactly the received
  // length lets the sanitizer see any read past it.
  std::vector<uint8_t> datagram(data + offset, data + offset + length);
  channel->socket.HandleDatagram(datagram.data(), datagram.size(), from);
  return 0;
}
