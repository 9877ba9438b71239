// Admission: whether a login may proceed. A session thread asks
// (Authenticate); the check itself runs on the controller's loop, which
// alone reads the account list, and must answer within 500 ms or the login
// is refused as busy. The check refuses every login while an account change
// is pending (Pause), reloads the configuration files, refuses when a data
// disk is short of the configured minimum (CheckDiskSpace), then looks for
// the account and compares the password.
//
// Owned by the controller. Authenticate and CheckDiskSpace may be called
// from any thread; Pause, Resume and paused on the loop thread only. No
// lock is shared between senders: each login waits on an answer of its
// own, so a sender preempted at any point holds up only itself.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "protocol/result_codes.h"
#include "records/sync_account_record.h"

namespace zv {

class CZvAccountFile;
class DiskMonitor;

class Admission {
 public:
  // How long a session waits for the check.
  static constexpr uint32_t kAuthenticateTimeoutMs = 500;

  // Runs a closure on the loop thread later; false once the loop has closed.
  using PostFn = std::function<bool(std::function<void()>)>;
  // Whether the calling thread is the loop's.
  using OnLoopFn = std::function<bool()>;

  // accounts: the account list (read on the loop thread only). disk_monitor:
  // the space queries. Both outlive the admission.
  Admission(const CZvAccountFile& accounts, DiskMonitor& disk_monitor, PostFn post,
            OnLoopFn on_loop);
  Admission(const Admission&) = delete;
  Admission& operator=(const Admission&) = delete;

  // The check for login; on the loop thread directly, else handed to it.
  // On kNoError *record is the whole account. kServerBusy when the loop did
  // not answer in time ("SendMessage timeout,errno=%u\n" and the busy
  // message in the operation log); a late answer is discarded.
  uint32_t Authenticate(const ClientAuthBlock& login, SyncAccountRecord* record);

  // Whether the data disk and the attachment disk each have at least
  // MinimumRequiredDiskSpace MiB; a refusal names the short disk and the
  // user in the operation log.
  bool CheckDiskSpace(const std::string& user_name);

  // Loop thread: account changes pause admissions (every login is refused
  // as busy) until Resume.
  void Pause() { paused_ = true; }
  void Resume() { paused_ = false; }
  bool paused() const { return paused_; }

 private:
  struct PendingAuth;

  // Loop thread: answers a pending request unless its sender gave up.
  void AnswerPending(PendingAuth& pending);
  // Loop thread: the check itself.
  uint32_t CheckAccount(const ClientAuthBlock& login, SyncAccountRecord* record);

  // Constant after construction.
  const CZvAccountFile& accounts_;
  DiskMonitor& disk_monitor_;
  const PostFn post_;
  const OnLoopFn on_loop_;

  bool paused_ = false;  // loop thread only
};

}  // namespace zv
