// CZVSyncSrvDlg: the server controller. It owns every long-lived server
// object, runs start-up (Initialize) and shut-down (Uninitialize), and
// serialises all cross-thread requests through its own event-loop thread
// (the "window thread"): private messages are posted closures, "sent with a
// 500 ms time-out" is a posted task whose result the sender waits for at
// most 500 ms. Only that thread touches the account list, the client set
// and the status model. Process-wide singleton (Instance()).
//
// This header is the contract the sessions, the disk monitor and the
// datagram sockets code against; the controller's own members live in the
// implementation.
#pragma once

#include <cstdarg>
#include <cstdint>
#include <set>
#include <string>

#include "records/sync_account_record.h"

namespace zv {

class SyncClient;

// Result codes of the sync protocol.
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
// "NoError" ... "ProcessError", "Unknown" for other codes.
const char* ResultCodeName(uint32_t code);

// Content of the login block (command 0), at least 56 bytes.
#pragma pack(push, 1)
struct ClientAuthBlock {
  char userName[20];
  char password[20];
  uint32_t deviceId;
  uint32_t clientValue1;
  uint32_t clientValue2;
  uint8_t clientAddress[4];  // network byte order
};
#pragma pack(pop)
static_assert(sizeof(ClientAuthBlock) == 56);

class CZVSyncSrvDlg {
 public:
  // The registered controller; throws 0 when none exists.
  static CZVSyncSrvDlg& Instance();
  // The registered controller or null.
  static CZVSyncSrvDlg* InstanceOrNull();

  virtual ~CZVSyncSrvDlg() = default;

  // Admission of a login (session threads): sent to the window thread with
  // a 500 ms time-out; fills *record with the account on code 0.
  virtual uint32_t Authenticate(const ClientAuthBlock& login, SyncAccountRecord* record) = 0;
  virtual bool NotifyConnected(SyncClient* session) = 0;
  virtual bool NotifyDisconnected(SyncClient* session) = 0;

  // The processing lock. AcquireProcessing first waits for the importer's
  // mutex to be gone, then for the lock, within timeout_ms in all; with a
  // format, sets the activity text.
  virtual bool AcquireProcessing(uint32_t timeout_ms, const char* format = nullptr, ...)
      __attribute__((format(printf, 3, 4))) = 0;
  virtual void ReleaseProcessing() = 0;

  // Status model updates; all return at once when not interactive.
  virtual void SetStatusText(const char* format, ...) __attribute__((format(printf, 2, 3))) = 0;
  virtual void ShowSpeed(uint32_t received_kbps, uint32_t file_kbps) = 0;
  // address: IPv4 in host byte order.
  virtual void ShowClientRow(const std::string& session_key, uint32_t address, const char* format,
                             ...) __attribute__((format(printf, 4, 5))) = 0;

  virtual bool CheckDiskSpace(const std::string& user_name) = 0;
  virtual void CollectStorageNames(std::set<std::string>* names) = 0;
  virtual bool IsInteractive() const = 0;
};

}  // namespace zv
