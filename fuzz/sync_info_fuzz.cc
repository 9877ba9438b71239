// The sync-info service's datagram parser: binary queries (masked, with a
// CRC check) and text datagrams, handled as a received datagram is
// (replies go nowhere: the socket is not opened). With bit 0 of the first
// byte set the target makes the size and check fields right before it
// masks the datagram, so that inputs get past the CRC.
#include <asio/io_context.hpp>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "fuzz_util.h"
#include "protocol/sync_info_socket.h"

namespace fz = zv::fuzz;

namespace {

class Digests final : public zv::SyncDigestSource {
 public:
  std::string GetSyncDateDigest(const std::string& user_name) override {
    return user_name == "demo" ? "C6E98FAE76C18179F3EE53E96687EF40" : std::string();
  }
};

void PutLe32(uint8_t* at, uint32_t value) {
  for (int i = 0; i < 4; ++i) at[i] = static_cast<uint8_t>(value >> (8 * i));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fz::ScratchHome::Get().TrimLogs();
  static asio::io_context* io = new asio::io_context();
  static Digests* digests = new Digests();
  static zv::SyncInfoSocket* socket = new zv::SyncInfoSocket(*io, digests);
  if (size < 2) return 0;
  const bool fix = (data[0] & 1) != 0;
  std::vector<uint8_t> datagram(data + 1, data + size);
  if (datagram.size() > zv::kSyncInfoMaxDatagram) datagram.resize(zv::kSyncInfoMaxDatagram);
  if (fix && datagram.size() >= 12) {
    uint32_t cmd;
    std::memcpy(&cmd, datagram.data() + 4, 4);
    const uint32_t length = static_cast<uint32_t>(datagram.size());
    PutLe32(datagram.data(), length);
    PutLe32(datagram.data() + 8, zv::SyncInfoSocket::ComputeCheck(datagram.data(), length, cmd));
    for (uint8_t& byte : datagram) byte ^= zv::kSyncInfoMask;
  }
  socket->HandleDatagram(datagram.data(), datagram.size(), zv::DatagramPeer{0x7F000001, 4000});
  return 0;
}
