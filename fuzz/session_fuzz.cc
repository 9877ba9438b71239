// The block receive path: a real session with its worker thread on one end
// of a socket pair, a stand-in for the controller around it, and the input
// on the other end as what an appliance sends after the version text and
// a login that the stand-in accepts.
//
// The input is a list of blocks: [command][flags][length: u16][content].
// Flag 0x80 sends the content as raw wire bytes (framing and masking are
// the input's own). Otherwise the target frames and masks the block and,
// with flag 0x01, helps it past checks an input rarely meets by chance: an
// announcement (command 2) is built from [type][size: u16][name], a data
// block (command 5) carries the content as file data at the next offset,
// compressed by the method in flags bits 1-2, and a file end (command 9)
// carries the CRC-32 of the data sent so far. The session's answers are
// read once the input has been sent and the sending side shut.
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "client/block_encoder.h"
#include "db/mysql_base.h"
#include "db/processing_lock.h"
#include "fuzz_util.h"
#include "protocol/block.h"
#include "protocol/session_host.h"
#include "protocol/sync_client.h"
#include "util/crc.h"

namespace fz = zv::fuzz;

namespace {

class FreeLock final : public zv::ProcessingLock {
 public:
  bool Acquire(uint32_t, const std::string&) override { return true; }
  void Release() override {}
};

class Host final : public zv::SessionHost {
 public:
  uint32_t Authenticate(const zv::ClientAuthBlock&, zv::SyncAccountRecord* record) override {
    std::memset(record, 0, sizeof(*record));
    std::strcpy(record->userName, "demo");
    std::strcpy(record->password, "demo");
    std::strcpy(record->storageName, "shop1");
    std::snprintf(record->logSlots[0].name, sizeof(record->logSlots[0].name),
                  "20101216_0000_00000000_A.dat");
    return zv::kNoError;
  }
  bool CheckDiskSpace(const std::string&) override { return true; }
  zv::ProcessingLock& processing_lock() override { return lock_; }
  bool NotifyConnected(std::unique_ptr<zv::SyncClient>) override { return true; }
  bool NotifyDisconnected(zv::SyncClient*) override { return true; }
  void ShowSpeed(uint32_t, uint32_t) override {}
  void ShowClientRow(const std::string&, uint32_t, const char*, ...) override {}
  bool IsInteractive() const override { return false; }

 private:
  FreeLock lock_;
};

void Append(std::vector<uint8_t>* wire, std::vector<uint8_t> block) {
  zv::MaskBlock(block.data(), block.size());
  wire->insert(wire->end(), block.begin(), block.end());
}

// The wire bytes of the whole input.
std::vector<uint8_t> BuildWire(const uint8_t* data, size_t size) {
  std::vector<uint8_t> wire;
  const auto version = zv::FormatClientVersion("fuzz");
  wire.insert(wire.end(), version.begin(), version.end());
  zv::ClientAuthBlock login{};
  std::strcpy(login.userName, "demo");
  std::strcpy(login.password, "demo");
  login.deviceId = 0x00A1B2C3;
  Append(&wire, zv::BuildBlock(zv::kCmdLogin, &login, sizeof(login)));

  static zv::BlockEncoder* encoder = new zv::BlockEncoder();
  zv::CCrc crc;
  uint32_t file_crc = 0;
  uint32_t offset = 0;
  size_t at = 0;
  while (at + 4 <= size) {
    const uint8_t command = data[at];
    const uint8_t flags = data[at + 1];
    size_t length = data[at + 2] | (data[at + 3] << 8);
    at += 4;
    if (length > size - at) length = size - at;
    const uint8_t* content = data + at;
    at += length;
    if (flags & 0x80) {
      wire.insert(wire.end(), content, content + length);
      continue;
    }
    if ((flags & 1) == 0) {
      Append(&wire, zv::BuildBlock(command, content, length));
      continue;
    }
    if (command == zv::kCmdFileInfo && length >= 3) {
      zv::ClientFileInfoBlock info{};
      info.fileType = content[0] % 4;
      info.fileSize = content[1] | (content[2] << 8);
      std::memcpy(info.fileName, content + 3, std::min<size_t>(length - 3, 63));
      Append(&wire, zv::BuildBlock(command, &info, sizeof(info)));
      offset = 0;
      file_crc = 0;
    } else if (command == zv::kCmdFileData && length > 0) {
      std::vector<uint8_t> block;
      const auto method = static_cast<zv::Compression>(((flags >> 1) & 3) % 3);
      if (encoder->Encode({content, length}, offset, method, &block)) {
        Append(&wire, zv::BuildBlock(command, block.data(), block.size()));
        offset += static_cast<uint32_t>(length);
        file_crc = crc.Update(file_crc, content, length);
      }
    } else if (command == zv::kCmdFileEnd) {
      Append(&wire, zv::BuildValueBlock(command, file_crc));
    } else {
      Append(&wire, zv::BuildBlock(command, content, length));
    }
  }
  return wire;
}

bool WriteAll(int fd, const std::vector<uint8_t>& bytes) {
  size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
    if (n <= 0) return false;  // the session hung up: the rest is not read
    done += static_cast<size_t>(n);
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fz::ScratchHome::Get();
  // Statistics and imports find no database: a refused connection, at once.
  zv::SetDatabasePortForTesting(1);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static Host* host = new Host();
  fz::ScratchHome::Get().TrimLogs();
  const std::vector<uint8_t> wire = BuildWire(data, size);

  int fds[2];
  if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0) fz::Finding("no socket pair");
  // Room for the whole input and every answer, so that neither side waits
  // for the other to read.
  const int buffer = 4 << 20;
  setsockopt(fds[1], SOL_SOCKET, SO_SNDBUF, &buffer, sizeof(buffer));
  setsockopt(fds[0], SOL_SOCKET, SO_RCVBUF, &buffer, sizeof(buffer));
  setsockopt(fds[0], SOL_SOCKET, SO_SNDBUF, &buffer, sizeof(buffer));
  setsockopt(fds[1], SOL_SOCKET, SO_RCVBUF, &buffer, sizeof(buffer));

  zv::SyncClient::Options options;
  options.timeouts.receive_ms = 2000;
  options.timeouts.short_receive_ms = 2000;
  options.timeouts.send_ms = 2000;
  auto session = std::make_unique<zv::SyncClient>(*host, options);
  if (!session->Start(fds[0], 0x7F000001, 4000)) fz::Finding("the session did not start");
  (void)WriteAll(fds[1], wire);
  shutdown(fds[1], SHUT_WR);
  uint8_t sink[65536];
  while (read(fds[1], sink, sizeof(sink)) > 0) {
  }
  session->Stop();
  session.reset();
  close(fds[1]);
  // Each input starts from no received file and no position.
  fz::EmptyFolder(fz::ScratchHome::Get().data_directory());
  fz::EmptyFolder(fz::ScratchHome::Get().home() + "/config/syncpos");
  return 0;
}
