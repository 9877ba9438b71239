// SyncController: what the sessions, the disk monitor, the datagram
// sockets and the statistics ask of the server controller. The controller
// (CZVSyncSrvDlg) implements it; tests put a fake in its place. One
// controller is registered per process at a time: the constructor
// registers it (throws 0 when one is registered already), the destructor
// clears the registration.
#pragma once

#include <cstdint>
#include <set>
#include <string>

#include "protocol/result_codes.h"
#include "records/sync_account_record.h"

namespace zv {

class SyncClient;

class SyncController {
 public:
  // The registered controller; throws 0 when none exists.
  static SyncController& Instance();
  // The registered controller, or null.
  static SyncController* InstanceOrNull();

  SyncController();
  virtual ~SyncController();
  SyncController(const SyncController&) = delete;
  SyncController& operator=(const SyncController&) = delete;

  // Admission of a login (session threads): handed to the controller's
  // thread with a 500 ms time-out; fills *record with the account on 0.
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
