// Result codes of the sync protocol and the login block, shared by the
// session, the controller's admission and the appliance client.
#pragma once

#include <cstdint>

namespace zv {

enum ResultCode : uint32_t {
  kNoError = 0,
  kUserNotFound = 1,
  kWrongPassword = 2,
  kServerBusy = 3,
  kServerDiskFull = 4,
  kMultipleLogin = 5,
  kDataError = 6,
  kUnauthenticated = 7,
  kUnfinishedTransation = 8,
  kUnknownFileInfo = 9,
  kUncompressError = 10,
  kUnknownFileType = 11,
  kFileCompleted = 12,
  kFileUnCompleted = 13,
  kFileCrcUnmatched = 14,
  kFileError = 15,
  kProcessError = 16,
};

// "NoError" ... "ProcessError"; "Unknown" for any other code.
const char* ResultCodeName(uint32_t code);

#pragma pack(push, 1)
// Content of the login block (command 0); a block may carry more bytes.
struct ClientAuthBlock {
  char userName[20];         // byte 19 forced to NUL on receipt
  char password[20];         // byte 39 forced to NUL on receipt
  uint32_t deviceId;
  uint32_t clientValue1;
  uint32_t clientValue2;
  uint8_t clientAddress[4];  // the appliance's own IPv4, network byte order
};
#pragma pack(pop)
static_assert(sizeof(ClientAuthBlock) == 56);

}  // namespace zv
