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
#include <string>
#include <string_view>
#include <vector>

#include "protocol/block.h"
#include "protocol/result_codes.h"
#include "records/sync_account_record.h"

namespace zv {

// What an appliance sends in its login block.
struct LoginRequest {
  std::string user;       // at most 19 bytes are sent
  std::string password;   // at most 19 bytes are sent
  uint32_t device_id = 0;
  uint32_t client_value1 = 0;
  uint32_t client_value2 = 0;
  std::array<uint8_t, 4> client_address{};  // the appliance's IPv4, a.b.c.d in order
};

// The 56-byte content of a login block for request.
ClientAuthBlock BuildLoginContent(const LoginRequest& request);

// A block as received, unmasked.
struct ReceivedBlock {
  uint32_t size = 0;      // the header's size field
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
  uint32_t code = kNoError;     // the refusal's result code
  SyncAccountRecord record{};   // the position record (accepted)
  uint16_t compression_level = 0;
  IoStatus status = IoStatus::kOk;  // of the read that ended a kNoAnswer
  ReceivedBlock block;          // the block as received
};

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

  // Text of the last failure.
  const std::string& last_error() const { return last_error_; }

 private:
  // Reads exactly size bytes.
  IoStatus ReceiveExactly(void* data, size_t size);
  // Waits until fd_ is ready; false on time-out (status kTimedOut) or error.
  IoStatus WaitReady(short events);
  void SetError(const std::string& text);

  int fd_ = -1;
  uint32_t timeout_ms_ = kDefaultTimeOutMs;
  int receive_buffer_bytes_ = 0;
  std::string server_version_;
  std::string last_error_;
};

}  // namespace zv
