#include "client/appliance_client.h"

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstring>

#include "datafiles/sync_data_file.h"
#include "datafiles/sync_position.h"
#include "platform/file_system.h"
#include "util/crc.h"

namespace zv {

ClientAuthBlock BuildLoginContent(const LoginRequest& request) {
  ClientAuthBlock block;
  std::memset(&block, 0, sizeof(block));
  std::memcpy(block.userName, request.user.data(),
              std::min(request.user.size(), sizeof(block.userName) - 1));
  std::memcpy(block.password, request.password.data(),
              std::min(request.password.size(), sizeof(block.password) - 1));
  StoreLe32(&block.deviceId, request.device_id);
  StoreLe32(&block.clientValue1, request.client_value1);
  StoreLe32(&block.clientValue2, request.client_value2);
  std::memcpy(block.clientAddress, request.client_address.data(), 4);
  return block;
}

ApplianceClient::~ApplianceClient() { Close(); }

void ApplianceClient::SetError(const std::string& text) { last_error_ = text; }

void ApplianceClient::Close() {
  if (fd_ >= 0) {
    ::close(fd_);
    fd_ = -1;
  }
}

void ApplianceClient::Abort() {
  if (fd_ < 0) return;
  linger hard{1, 0};
  ::setsockopt(fd_, SOL_SOCKET, SO_LINGER, &hard, sizeof(hard));
  Close();
}

bool ApplianceClient::Connect(const std::string& host, uint16_t port) {
  Close();
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  int rc = ::getaddrinfo(host.c_str(), nullptr, &hints, &found);
  if (rc != 0 || found == nullptr) {
    SetError("cannot resolve " + host + ": " + ::gai_strerror(rc));
    return false;
  }
  sockaddr_in address = *reinterpret_cast<sockaddr_in*>(found->ai_addr);
  ::freeaddrinfo(found);
  address.sin_port = htons(port);

  fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd_ < 0) {
    SetError(std::string("socket: ") + std::strerror(errno));
    return false;
  }
  if (receive_buffer_bytes_ > 0) {
    ::setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &receive_buffer_bytes_, sizeof(receive_buffer_bytes_));
  }
  if (::connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0) {
    if (errno != EINPROGRESS) {
      SetError(std::string("connect: ") + std::strerror(errno));
      Close();
      return false;
    }
    if (WaitReady(POLLOUT) != IoStatus::kOk) {
      if (last_error_.empty()) SetError("connect: timed out");
      Close();
      return false;
    }
    int error = 0;
    socklen_t length = sizeof(error);
    ::getsockopt(fd_, SOL_SOCKET, SO_ERROR, &error, &length);
    if (error != 0) {
      SetError(std::string("connect: ") + std::strerror(error));
      Close();
      return false;
    }
  }
  int one = 1;
  ::setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
  return true;
}

IoStatus ApplianceClient::WaitReady(short events) {
  if (fd_ < 0) {
    SetError("not connected");
    return IoStatus::kError;
  }
  pollfd p{fd_, events, 0};
  for (;;) {
    int n = ::poll(&p, 1, static_cast<int>(timeout_ms_));
    if (n > 0) return IoStatus::kOk;
    if (n == 0) {
      SetError("timed out");
      return IoStatus::kTimedOut;
    }
    if (errno != EINTR) {
      SetError(std::string("poll: ") + std::strerror(errno));
      return IoStatus::kError;
    }
  }
}

bool ApplianceClient::SendRaw(const void* data, size_t size) {
  const auto* p = static_cast<const uint8_t*>(data);
  size_t done = 0;
  while (done < size) {
    IoStatus ready = WaitReady(POLLOUT);
    if (ready != IoStatus::kOk) return false;
    ssize_t n = ::send(fd_, p + done, size - done, MSG_NOSIGNAL);
    if (n > 0) {
      done += static_cast<size_t>(n);
    } else if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
      SetError(std::string("send: ") + std::strerror(errno));
      return false;
    }
  }
  return true;
}

IoStatus ApplianceClient::ReceiveExactly(void* data, size_t size) {
  auto* p = static_cast<uint8_t*>(data);
  size_t done = 0;
  while (done < size) {
    IoStatus ready = WaitReady(POLLIN);
    if (ready != IoStatus::kOk) return ready;
    ssize_t n = ::recv(fd_, p + done, size - done, 0);
    if (n > 0) {
      done += static_cast<size_t>(n);
    } else if (n == 0) {
      SetError("connection closed by the server");
      return IoStatus::kClosed;
    } else if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
      // A reset after the server's close counts as a close.
      if (errno == ECONNRESET) {
        SetError("connection reset by the server");
        return IoStatus::kClosed;
      }
      SetError(std::string("recv: ") + std::strerror(errno));
      return IoStatus::kError;
    }
  }
  return IoStatus::kOk;
}

bool ApplianceClient::ReceiveServerVersion() {
  char field[kVersionFieldSize + 1] = {};
  if (ReceiveExactly(field, kVersionFieldSize) != IoStatus::kOk) return false;
  server_version_ = field;  // stops at the first NUL
  return true;
}

bool ApplianceClient::SendClientVersion(std::string_view free_text) {
  std::array<char, kVersionFieldSize> field = FormatClientVersion(free_text);
  return SendRaw(field.data(), field.size());
}

bool ApplianceClient::Handshake(std::string_view free_text) {
  return ReceiveServerVersion() && SendClientVersion(free_text);
}

bool ApplianceClient::SendBlock(uint32_t command, const void* content, size_t content_size) {
  return SendBlockDeclaring(static_cast<uint32_t>(kBlockHeaderSize + content_size), command,
                            content, content_size);
}

bool ApplianceClient::SendBlockDeclaring(uint32_t declared_size, uint32_t command,
                                         const void* content, size_t content_size) {
  if (content_size > kMaxBlockSize - kBlockHeaderSize) {
    SetError("block too large");
    return false;
  }
  std::vector<uint8_t> block = BuildBlock(command, content, content_size);
  StoreLe32(&block[0], declared_size);
  MaskBlock(block.data(), block.size());
  return SendRaw(block.data(), block.size());
}

IoStatus ApplianceClient::ReceiveBlock(ReceivedBlock* out) {
  uint8_t header[kBlockHeaderSize];
  IoStatus status = ReceiveExactly(header, sizeof(header));
  if (status != IoStatus::kOk) return status;
  MaskBlock(header, sizeof(header));
  BlockHeader parsed = ParseBlockHeader(header);
  if (parsed.size > kMaxBlockSize) {
    SetError("block header declares " + std::to_string(parsed.size) + " bytes");
    return IoStatus::kError;
  }
  out->size = parsed.size;
  out->command = parsed.command;
  out->reserved = parsed.reserved;
  out->content.assign(BlockContentSize(parsed.size), 0);
  if (!out->content.empty()) {
    status = ReceiveExactly(out->content.data(), out->content.size());
    if (status != IoStatus::kOk) return status;
    MaskBlock(out->content.data(), out->content.size());
  }
  return IoStatus::kOk;
}

IoStatus ApplianceClient::WaitForClose(size_t* extra_bytes) {
  size_t total = 0;
  uint8_t sink[4096];
  for (;;) {
    IoStatus ready = WaitReady(POLLIN);
    if (ready != IoStatus::kOk) return ready;
    ssize_t n = ::recv(fd_, sink, sizeof(sink), 0);
    if (n > 0) {
      total += static_cast<size_t>(n);
      continue;
    }
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) continue;
    if (n < 0 && errno != ECONNRESET) {
      SetError(std::string("recv: ") + std::strerror(errno));
      return IoStatus::kError;
    }
    if (extra_bytes != nullptr) *extra_bytes = total;
    return total == 0 ? IoStatus::kClosed : IoStatus::kOk;
  }
}

bool ApplianceClient::SendLogin(const LoginRequest& request) {
  ClientAuthBlock content = BuildLoginContent(request);
  return SendBlock(kCmdLogin, &content, sizeof(content));
}

LoginAnswer ApplianceClient::ReadLoginAnswer() {
  LoginAnswer answer;
  answer.status = ReceiveBlock(&answer.block);
  if (answer.status != IoStatus::kOk) {
    answer.kind = LoginAnswer::Kind::kNoAnswer;
    return answer;
  }
  const ReceivedBlock& block = answer.block;
  if (block.command == kCmdServerConfig && block.content.size() >= sizeof(SyncAccountRecord)) {
    answer.kind = LoginAnswer::Kind::kAccepted;
    std::memcpy(&answer.record, block.content.data(), sizeof(SyncAccountRecord));
    answer.compression_level = answer.record.compressLevel;
    record_ = answer.record;
  } else if (block.command == kCmdError && block.content.size() >= 4) {
    answer.kind = LoginAnswer::Kind::kRefused;
    answer.code = block.Value();
  } else {
    answer.kind = LoginAnswer::Kind::kUnexpected;
    SetError("unexpected block, command " + std::to_string(block.command) + ", size " +
             std::to_string(block.size));
  }
  return answer;
}

LoginAnswer ApplianceClient::Login(const LoginRequest& request) {
  if (!SendLogin(request)) {
    LoginAnswer answer;
    answer.status = IoStatus::kError;
    return answer;
  }
  return ReadLoginAnswer();
}

bool ApplianceClient::SendPendingMarker(uint32_t value) {
  uint8_t content[4];
  StoreLe32(content, value);
  return SendBlock(kCmdPending, content, sizeof(content));
}

bool ApplianceClient::Ping() {
  if (!SendPendingMarker(kPendingEcho)) return false;
  ReceivedBlock block;
  if (ReceiveBlock(&block) != IoStatus::kOk) return false;
  if (block.command == kCmdPending && block.content.size() == 4 && block.Value() == kPendingEcho) {
    return true;
  }
  SetError("expected the echo, got command " + std::to_string(block.command) + ", size " +
           std::to_string(block.size));
  return false;
}

bool ApplianceClient::SendTaskFinished() { return SendBlock(kCmdTaskFinished, nullptr, 0); }

bool ApplianceClient::SendClientError(uint32_t code, std::string_view message) {
  std::vector<uint8_t> content(4 + message.size() + 1, 0);
  StoreLe32(content.data(), code);
  if (!message.empty()) std::memcpy(content.data() + 4, message.data(), message.size());
  return SendBlock(kCmdClientError, content.data(), content.size());
}

uint32_t ResumeOffset(const SyncAccountRecord& record, const std::string& name, uint32_t type,
                      uint32_t size) {
  if (type == 1) return 0;
  DataFileName parsed;
  if (!ParseDataFileName(name, &parsed)) return 0;
  const int index = KindIndexOf(parsed.kind);
  if (index < 0) return 0;
  const LogTableSlot& slot = record.logSlots[index];
  if (std::strncmp(slot.name, name.c_str(), sizeof slot.name) != 0) return 0;
  if (slot.announcedSize != size || slot.storedBytes >= slot.announcedSize) return 0;
  return slot.storedBytes;
}

uint32_t FileTypeOfName(const std::string& name) {
  // "<32 characters>_<8 hexadecimal digits>_<table>.<ext>"
  if (name.size() > 42 && name[32] == '_' && name[41] == '_') {
    bool token = true;
    for (size_t i = 0; i < 32; ++i) token = token && name[i] > ' ' && name[i] != '_';
    bool device = true;
    for (size_t i = 33; i < 41; ++i)
      device = device && std::isxdigit(static_cast<unsigned char>(name[i]));
    if (token && device) return static_cast<uint32_t>(FileType::kConfigTable);
  }
  DataFileName parsed;
  if (ParseDataFileName(name, &parsed) && parsed.kind == "X") {
    return static_cast<uint32_t>(FileType::kAttachmentPackage);
  }
  return static_cast<uint32_t>(FileType::kLogTable);
}

bool ApplianceClient::SendFileInfo(const std::string& name, uint32_t type, uint32_t size,
                                   uint32_t offered_offset) {
  uint8_t content[kClientFileInfoBlockSize] = {};
  std::memcpy(content, name.data(), std::min<size_t>(name.size(), 63));
  StoreLe32(content + 64, type);
  StoreLe32(content + 68, size);
  StoreLe32(content + 76, offered_offset);
  return SendBlock(kCmdFileInfo, content, sizeof(content));
}

bool ApplianceClient::ReadFileRequest(uint32_t* code) {
  *code = kNoError;
  ReceivedBlock block;
  if (ReceiveBlock(&block) != IoStatus::kOk) return false;
  if (block.command == kCmdFileRequest && block.content.size() == 4 && block.Value() == 0) {
    return true;
  }
  if (block.command == kCmdError && block.content.size() >= 4) {
    *code = block.Value();
    SetError(std::string("refused: ") + ResultCodeName(*code));
    return false;
  }
  SetError("expected the file request, got command " + std::to_string(block.command));
  return false;
}

bool ApplianceClient::SendDataBlockContent(std::span<const uint8_t> content) {
  return SendBlock(kCmdFileData, content.data(), content.size());
}

bool ApplianceClient::SendFileData(std::span<const uint8_t> piece, uint32_t offered_offset,
                                   Compression method) {
  std::vector<uint8_t> content;
  if (encoder_.Encode(piece, offered_offset, method, &content)) {
    return SendDataBlockContent(content);
  }
  if (method != Compression::kStored && piece.size() <= BlockEncoder::kMaxStoredPiece) {
    // Data that does not compress into one block travels stored.
    if (encoder_.Encode(piece, offered_offset, Compression::kStored, &content)) {
      return SendDataBlockContent(content);
    }
  }
  // Too large for one stored block: two halves.
  if (piece.size() < 2) {
    SetError("cannot encode a piece of " + std::to_string(piece.size()) + " bytes");
    return false;
  }
  const size_t half = piece.size() / 2;
  return SendFileData(piece.first(half), offered_offset, method) &&
         SendFileData(piece.subspan(half), offered_offset + static_cast<uint32_t>(half), method);
}

bool ApplianceClient::SendFileEnd(uint32_t crc) {
  uint8_t content[4];
  StoreLe32(content, crc);
  return SendBlock(kCmdFileEnd, content, sizeof(content));
}

void ApplianceClient::ReadFileOutcome(UploadResult* result, const UploadOptions& options) {
  for (;;) {
    ReceivedBlock block;
    IoStatus status = ReceiveBlock(&block);
    if (status != IoStatus::kOk) {
      result->kind = UploadResult::Kind::kFailed;
      result->error = "no answer to the file end: " + last_error_;
      return;
    }
    if (block.command == kCmdPending && block.content.size() >= 4) {
      const uint32_t value = block.Value();
      if (value == kPendingWaiting) ++result->pending_waiting;
      if (value == kPendingProcessing) ++result->pending_processing;
      if (options.pending) options.pending(value);
      continue;
    }
    if (block.command == kCmdConfirm) {
      result->kind = UploadResult::Kind::kConfirmed;
      return;
    }
    if (block.command == kCmdError && block.content.size() >= 4) {
      result->kind = UploadResult::Kind::kRefused;
      result->code = block.Value();
      result->error = std::string("refused: ") + ResultCodeName(result->code);
      return;
    }
    result->kind = UploadResult::Kind::kFailed;
    result->error = "unexpected block, command " + std::to_string(block.command);
    return;
  }
}

UploadResult ApplianceClient::Upload(const std::string& name, uint32_t type, uint64_t size,
                                     const PieceReader& read, const UploadOptions& options) {
  UploadResult result;
  auto fail = [&](const std::string& what) {
    result.kind = UploadResult::Kind::kFailed;
    result.error = what + (last_error_.empty() ? "" : ": " + last_error_);
    return result;
  };
  if (size == 0 || size > 0xFFFFFFFFull) return fail("file size must be 1 byte to 4 GiB - 1");
  if (options.block_size == 0 || options.block_size > BlockEncoder::kMaxOriginSize) {
    return fail("block size must be 1 to 4195328");
  }
  const auto size32 = static_cast<uint32_t>(size);
  const uint32_t start = options.resume ? ResumeOffset(record_, name, type, size32) : 0;
  result.start_offset = start;

  // The CRC covers the whole file: the part the server holds is read too.
  const CCrc crc;
  uint32_t running = 0;
  std::vector<uint8_t> piece(
      std::min<uint64_t>(size, std::max<uint32_t>(options.block_size, 1 << 20)));
  for (uint64_t at = 0; at < start;) {
    const size_t n = static_cast<size_t>(std::min<uint64_t>(piece.size(), start - at));
    if (!read(at, piece.data(), n)) return fail("cannot read the file");
    running = crc.Update(running, piece.data(), n);
    at += n;
  }

  if (!SendFileInfo(name, type, size32, start)) return fail("cannot announce the file");
  uint32_t code = kNoError;
  if (!ReadFileRequest(&code)) {
    if (code != kNoError) {
      result.kind = UploadResult::Kind::kRefused;
      result.code = code;
      result.error = last_error_;
      return result;
    }
    return fail("no file request");
  }

  uint32_t block = options.block_size;
  if (options.compression == Compression::kStored) {
    block = std::min(block, BlockEncoder::kMaxStoredPiece);
  }
  piece.resize(std::min<uint64_t>(block, size));
  for (uint64_t at = start; at < size;) {
    const size_t n = static_cast<size_t>(std::min<uint64_t>(block, size - at));
    if (!read(at, piece.data(), n)) return fail("cannot read the file");
    running = crc.Update(running, piece.data(), n);
    if (!SendFileData(std::span<const uint8_t>(piece.data(), n), static_cast<uint32_t>(at),
                      options.compression)) {
      return fail("sending data failed");
    }
    at += n;
    if (options.progress && !options.progress(at, size)) {
      Close();
      result.kind = UploadResult::Kind::kAbandoned;
      result.crc = running;
      return result;
    }
  }
  result.crc = running;
  if (!SendFileEnd(running)) return fail("cannot send the file end");
  ReadFileOutcome(&result, options);
  return result;
}

UploadResult ApplianceClient::UploadMemory(const std::string& name, uint32_t type,
                                           std::span<const uint8_t> data,
                                           const UploadOptions& options) {
  return Upload(
      name, type, data.size(),
      [data](uint64_t offset, uint8_t* out, size_t length) {
        if (offset + length > data.size()) return false;
        std::memcpy(out, data.data() + offset, length);
        return true;
      },
      options);
}

UploadResult ApplianceClient::UploadFile(const std::string& path, const std::string& name,
                                         uint32_t type, const UploadOptions& options) {
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    UploadResult result;
    result.error = "cannot open " + path + ": " + std::strerror(errno);
    return result;
  }
  struct stat st;
  uint64_t size = ::fstat(fd, &st) == 0 ? static_cast<uint64_t>(st.st_size) : 0;
  UploadResult result = Upload(
      name, type, size,
      [fd](uint64_t offset, uint8_t* out, size_t length) {
        return ReadFullAt(fd, out, length, offset) == length;
      },
      options);
  ::close(fd);
  return result;
}

}  // namespace zv
