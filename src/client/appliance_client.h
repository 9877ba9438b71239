// ApplianceClient: the appliance's side of the sync protocol, for the
// zvclient tool, the tests and the benchmarks.
//
// One object is one TCP connection: Connect, exchange the version texts,
// log in, then send and receive masked blocks. Every socket wait is bounded
// by the client's time-out. Raw access (SendRaw, SendBlockDeclaring) lets a
// caller send what a well-behaved appliance never would: odd sizes, a short
// login, an oversized header.
//
// Not thread-safe: one thread uses an object at a time.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "client/block_encoder.h"
#include "protocol/block.h"
#include "protocol/result_codes.h"
#include "records/sync_account_record.h"

namespace zv {

// What an appliance sends in its login block.
struct LoginRequest {
  std::string user;      // at most 19 bytes are sent
  std::string password;  // at most 19 bytes are sent
  uint32_t device_id = 0;
  uint32_t client_value1 = 0;
  uint32_t client_value2 = 0;
  std::array<uint8_t, 4> client_address{};  // the appliance's IPv4, a.b.c.d in order
};

// The 56-byte content of a login block for request.
ClientAuthBlock BuildLoginContent(const LoginRequest& request);

// A block as received, unmasked.
struct ReceivedBlock {
  uint32_t size = 0;  // the header's size field
  uint32_t command = 0;
  uint32_t reserved = 0;
  std::vector<uint8_t> content;
  // The first u32 of the content, or 0 when it has fewer than four bytes.
  uint32_t Value() const { return content.size() >= 4 ? LoadLe32(content.data()) : 0; }
};

enum class IoStatus {
  kOk,
  kClosed,    // the server closed the connection
  kTimedOut,  // nothing within the time-out
  kError,     // a socket error or a malformed block; see last_error()
};

// The server's answer to a login.
struct LoginAnswer {
  enum class Kind {
    kAccepted,    // server configuration block
    kRefused,     // error block: code
    kNoAnswer,    // the connection ended (or timed out) without a block
    kUnexpected,  // some other block
  };
  Kind kind = Kind::kNoAnswer;
  uint32_t code = kNoError;    // the refusal's result code
  SyncAccountRecord record{};  // the position record (accepted)
  uint16_t compression_level = 0;
  IoStatus status = IoStatus::kOk;  // of the read that ended a kNoAnswer
  ReceivedBlock block;              // the block as received
};

// How an upload goes.
struct UploadOptions {
  Compression compression = Compression::kStored;
  // Origin bytes per data block (1 .. 0x400400); a stored block carries at
  // most BlockEncoder::kMaxStoredPiece.
  uint32_t block_size = 1 << 20;
  // Continue a file the server holds in part: the offset comes from the
  // position record of the login answer (see ResumeOffset).
  bool resume = false;
  // Called after each data block with the bytes sent so far (counted from
  // the file's start) and the file size; returning false abandons the
  // upload (the connection is closed).
  std::function<bool(uint64_t sent, uint64_t size)> progress;
  // Called for each pending block the server sends after the file end.
  std::function<void(uint32_t value)> pending;
};

// The end of one upload.
struct UploadResult {
  enum class Kind {
    kConfirmed,  // confirm block: the server processed the file
    kRefused,    // error block: code
    kFailed,     // the connection failed or the server answered oddly: error
    kAbandoned,  // the progress callback stopped it
  };
  Kind kind = Kind::kFailed;
  uint32_t code = kNoError;
  uint32_t start_offset = 0;        // where the data started
  uint32_t crc = 0;                 // CRC-32 of the whole file
  uint32_t pending_waiting = 0;     // pending blocks with value 0
  uint32_t pending_processing = 0;  // pending blocks with value 1
  std::string error;
  bool ok() const { return kind == Kind::kConfirmed; }
};

// Where to resume name of size from, by the position record the server sent
// at login: the stored bytes of the slot of the name's kind when the slot
// names this file, unfinished, with this size; 0 otherwise (config tables
// are never resumed).
uint32_t ResumeOffset(const SyncAccountRecord& record, const std::string& name, uint32_t type,
                      uint32_t size);

// The file type of a name: 1 for "<32-character token>_<8 hex>_<table>.dat",
// 2 for a log-table style name of kind X, 0 otherwise.
uint32_t FileTypeOfName(const std::string& name);

class ApplianceClient {
 public:
  static constexpr uint32_t kDefaultTimeOutMs = 30000;

  ApplianceClient() = default;
  ~ApplianceClient();
  ApplianceClient(const ApplianceClient&) = delete;
  ApplianceClient& operator=(const ApplianceClient&) = delete;

  // Time-out of every connect, send and receive wait.
  void set_timeout_ms(uint32_t ms) { timeout_ms_ = ms; }
  uint32_t timeout_ms() const { return timeout_ms_; }
  // Receive buffer of the next connection's socket (0: the system's);
  // a small one simulates an appliance that reads slowly.
  void set_receive_buffer_bytes(int bytes) { receive_buffer_bytes_ = bytes; }

  // host: a name or a dotted address; IPv4.
  [[nodiscard]] bool Connect(const std::string& host, uint16_t port);
  void Close();
  // Drops the connection with a reset, as a crashing appliance would.
  void Abort();
  bool connected() const { return fd_ >= 0; }

  // Version texts: ReceiveServerVersion reads the server's 256 bytes;
  // SendClientVersion sends the client text with free_text behind it.
  // Handshake does both.
  [[nodiscard]] bool ReceiveServerVersion();
  [[nodiscard]] bool SendClientVersion(std::string_view free_text = {});
  [[nodiscard]] bool Handshake(std::string_view free_text = {});
  const std::string& server_version() const { return server_version_; }

  // Sends bytes as they are (no mask).
  [[nodiscard]] bool SendRaw(const void* data, size_t size);
  // Sends a masked block of 12 + content_size bytes.
  [[nodiscard]] bool SendBlock(uint32_t command, const void* content, size_t content_size);
  // Sends a masked header declaring declared_size, followed by the masked
  // content, whatever their lengths.
  [[nodiscard]] bool SendBlockDeclaring(uint32_t declared_size, uint32_t command,
                                        const void* content, size_t content_size);
  // Reads and unmasks one block.
  IoStatus ReceiveBlock(ReceivedBlock* out);
  // Reads until the server closes: kClosed when it closed and sent nothing
  // more (*extra_bytes = 0), kOk when it sent bytes and then closed,
  // kTimedOut or kError otherwise.
  IoStatus WaitForClose(size_t* extra_bytes = nullptr);

  // Login.
  [[nodiscard]] bool SendLogin(const LoginRequest& request);
  LoginAnswer ReadLoginAnswer();
  LoginAnswer Login(const LoginRequest& request);

  // Small blocks of the session.
  [[nodiscard]] bool SendPendingMarker(uint32_t value = kPendingEcho);
  // Sends the echo marker and reads the next block: true when it is the
  // server's echo (a pending block carrying the marker).
  [[nodiscard]] bool Ping();
  [[nodiscard]] bool SendTaskFinished();
  [[nodiscard]] bool SendClientError(uint32_t code, std::string_view message);

  // File transfer, block by block.
  [[nodiscard]] bool SendFileInfo(const std::string& name, uint32_t type, uint32_t size,
                                  uint32_t offered_offset);
  // Reads the answer to an announcement: the file request (true) or an
  // error block (*code set, false); false with *code 0 for anything else.
  [[nodiscard]] bool ReadFileRequest(uint32_t* code);
  // Sends one encoded piece of file data.
  [[nodiscard]] bool SendFileData(std::span<const uint8_t> piece, uint32_t offered_offset,
                                  Compression method);
  // Sends a data block content exactly as given (BuildDataBlockContent).
  [[nodiscard]] bool SendDataBlockContent(std::span<const uint8_t> content);
  [[nodiscard]] bool SendFileEnd(uint32_t crc);
  // Reads after a file end until the confirm (kConfirmed) or an error block
  // (kRefused), counting pending blocks into *result.
  void ReadFileOutcome(UploadResult* result, const UploadOptions& options);

  // Whole uploads: announce, stream, file end, wait for the outcome. The
  // CRC covers the whole file, also when the upload resumes.
  UploadResult UploadMemory(const std::string& name, uint32_t type, std::span<const uint8_t> data,
                            const UploadOptions& options);
  UploadResult UploadFile(const std::string& path, const std::string& name, uint32_t type,
                          const UploadOptions& options);

  // The position record of the last accepted login.
  const SyncAccountRecord& position_record() const { return record_; }
  BlockEncoder& encoder() { return encoder_; }

  // Text of the last failure.
  const std::string& last_error() const { return last_error_; }

 private:
  // Reads exactly size bytes.
  IoStatus ReceiveExactly(void* data, size_t size);
  // Waits until fd_ is ready; false on time-out (status kTimedOut) or error.
  IoStatus WaitReady(short events);
  void SetError(const std::string& text);
  // Reads piece [offset, offset + length) of the file being uploaded.
  using PieceReader = std::function<bool(uint64_t offset, uint8_t* out, size_t length)>;
  UploadResult Upload(const std::string& name, uint32_t type, uint64_t size,
                      const PieceReader& read, const UploadOptions& options);

  int fd_ = -1;
  uint32_t timeout_ms_ = kDefaultTimeOutMs;
  int receive_buffer_bytes_ = 0;
  std::string server_version_;
  std::string last_error_;
  SyncAccountRecord record_{};
  BlockEncoder encoder_;
};

}  // namespace zv
