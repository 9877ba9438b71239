// SessionHost: what a session asks of the server around it: admission of
// its login, the disk check of an announced file, the processing lock, the
// status view, and taking it over when the listener has started it and
// collecting it once it has ended. The server's controller implements it;
// tests put a fake in its place. Each session and the listener are handed
// their host at construction, and the host outlives them.
//
// Threads: every operation may be called from any thread (session workers,
// the listener's starter thread) unless stated.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "protocol/result_codes.h"
#include "records/sync_account_record.h"

namespace zv {

class PositionNames;
class ProcessingLock;
class SyncClient;

class SessionHost {
 public:
  virtual ~SessionHost() = default;

  // Admission of a login: answered by the host's loop within 500 ms, else
  // kServerBusy. Fills *record with the account on kNoError.
  virtual uint32_t Authenticate(const ClientAuthBlock& login, SyncAccountRecord* record) = 0;
  // Whether both data disks still have the configured minimum free; a
  // refusal is written to the operation log with user_name.
  virtual bool CheckDiskSpace(const std::string& user_name) = 0;
  // The lock held while a finished file is processed.
  virtual ProcessingLock& processing_lock() = 0;
  // The spellings of the position files, shared by every session; null
  // when the host keeps none (each login then reads the folder when its
  // file is not there under the name as sent).
  virtual PositionNames* position_names() { return nullptr; }

  // The listener hands over a started session; the host registers and owns
  // it from now on. False when that failed ("Post connect message
  // failed!errno=%u\n"); the session has then been stopped and destroyed.
  virtual bool NotifyConnected(std::unique_ptr<SyncClient> session) = 0;
  // The session's worker, at its end: the host stops and destroys the
  // session once its worker has ended. False when the message could not be
  // handed over ("Post Disconnect message failed!errno=%u\n"); the session
  // then stays until the host stops every session.
  virtual bool NotifyDisconnected(SyncClient* session) = 0;

  // Status view: all return at once, doing nothing, when not interactive.
  virtual void ShowSpeed(uint32_t received_kbps, uint32_t file_kbps) = 0;
  // address: IPv4 in host byte order. Nothing happens for an empty key.
  virtual void ShowClientRow(const std::string& session_key, uint32_t address,
                             const char* format, ...) __attribute__((format(printf, 4, 5))) = 0;
  virtual bool IsInteractive() const = 0;
};

}  // namespace zv
