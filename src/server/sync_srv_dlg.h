// CZVSyncSrvDlg: the server controller. It owns every long-lived server
// object (listener, datagram sockets, client sessions, disk monitor,
// account file, processing lock, stop event), brings them up in a fixed
// order (Initialize) and tears them down in a fixed order (Uninitialize).
//
// Threads: the controller runs an event loop on one thread, the thread
// that calls RunModal (its "window thread"). The account list, the client
// set, the status model and the sockets are touched only there; session
// threads, the disk monitor and the datagram sockets reach them through
// posted closures (connect, disconnect, status) or a closure whose result
// the sender waits for (authentication, 500 ms at most; storage names).
// The processing lock and the pending-authentication table are the only
// state shared with other threads, each with its own lock.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>

#include "db/processing_lock.h"
#include "monitor/disk_monitor.h"
#include "platform/named_object.h"
#include "protocol/sync_info_socket.h"
#include "protocol/ui_socket.h"
#include "records/account_file.h"
#include "server/status_model.h"
#include "server/sync_controller.h"

namespace zv {

// Name of the single-instance stop event.
inline constexpr const char* kStopEventName = "Global\\ZentrovaneStopEvent";

class CZVSyncSrvDlg final : public SyncController,
                            public SyncDigestSource,
                            public UiCommandHandler {
 public:
  // How long a session waits for the admission check.
  static constexpr uint32_t kAuthenticateTimeoutMs = 500;
  // Account changes pause admissions this long after the last command.
  static constexpr uint32_t kAccountChangePauseMs = 5000;

  // interactive: the server runs in the foreground with a status view.
  // Registers the process-wide controller (throws 0 when one exists).
  explicit CZVSyncSrvDlg(bool interactive);
  ~CZVSyncSrvDlg() override;

  // The registered controller as a CZVSyncSrvDlg; throws 0 when none.
  static CZVSyncSrvDlg& Instance();

  // Runs the controller on the calling thread, which becomes its loop
  // thread: Initialize, then the loop until the controller closes (stop
  // event, RequestClose, a failed account reload, and with
  // stop_on_signals SIGINT or SIGTERM), then Uninitialize. Writes
  // "同步器启动成功!" after a successful Initialize. Returns whether
  // Initialize succeeded. REQUIRES: called once.
  bool RunModal(bool stop_on_signals);

  // Any thread: asks the loop to close (an orderly shutdown). Harmless when
  // the loop has ended.
  void RequestClose();

  // Any thread but the loop's: runs fn on the loop thread and waits for it.
  // Posted before RunModal, fn runs once Initialize has returned (or during
  // the close of a failed start). False when the loop has closed.
  bool RunOnLoop(const std::function<void()>& fn);

  // The interactive view: called on the loop thread about once a second
  // and once at the end with the current status. Set before RunModal.
  void SetStatusView(std::function<void(const StatusModel&)> view);

  // True once Initialize has returned true (any thread).
  bool initialized() const { return initialized_.load(); }

  // --- SyncController ---
  uint32_t Authenticate(const ClientAuthBlock& login, SyncAccountRecord* record) override;
  bool NotifyConnected(SyncClient* session) override;
  bool NotifyDisconnected(SyncClient* session) override;
  bool AcquireProcessing(uint32_t timeout_ms, const char* format = nullptr, ...) override
      __attribute__((format(printf, 3, 4)));
  void ReleaseProcessing() override;
  void SetStatusText(const char* format, ...) override __attribute__((format(printf, 2, 3)));
  void ShowSpeed(uint32_t received_kbps, uint32_t file_kbps) override;
  void ShowClientRow(const std::string& session_key, uint32_t address, const char* format,
                     ...) override __attribute__((format(printf, 4, 5)));
  bool CheckDiskSpace(const std::string& user_name) override;
  void CollectStorageNames(std::set<std::string>* names) override;
  bool IsInteractive() const override { return interactive_; }

  // --- SyncDigestSource (loop thread only, else throws 0) ---
  std::string GetSyncDateDigest(const std::string& user_name) override;

  // --- UiCommandHandler (loop thread only, else throws 0) ---
  uint32_t HandleAccountCommand(uint8_t* datagram, size_t length, bool delete_positions) override;
  void ReportSyncState(const uint8_t* datagram, size_t length,
                       const DatagramPeer& sender) override;

  // Loop thread (Initialize; the account-change commands).
  [[nodiscard]] bool LoadAccounts();
  [[nodiscard]] bool ReEnableClientConnections();

  // The disk monitor (tests put in a disk that fills up before RunModal).
  DiskMonitor& disk_monitor() { return disk_monitor_; }

  // The port the listener bound (0 before it started).
  uint16_t listening_port() const;

 private:
  struct Impl;
  struct PendingAuth;

  // The processing lock as the disk monitor takes it.
  class MonitorLock final : public ProcessingLock {
   public:
    explicit MonitorLock(CZVSyncSrvDlg* dlg) : dlg_(dlg) {}
    bool Acquire(uint32_t timeout_ms, const std::string& activity) override {
      return activity.empty() ? dlg_->AcquireProcessing(timeout_ms)
                              : dlg_->AcquireProcessing(timeout_ms, "%s", activity.c_str());
    }
    void Release() override { dlg_->ReleaseProcessing(); }

   private:
    CZVSyncSrvDlg* const dlg_;
  };

  bool Initialize();
  void Uninitialize();
  // Loop thread: the orderly close (Uninitialize, then end the loop).
  void CloseWindow();
  bool OnLoopThread() const;
  void RequireLoopThread() const;
  // Posts fn to the loop; false once the loop has closed.
  bool Post(std::function<void()> fn);
  // Watches the mailbox of posted closures; re-armed after each drain.
  void ArmMailbox();

  void OnStopTimer();
  void OnAccountChangeTimer();
  void AdmissionCheck(PendingAuth& pending);
  uint32_t CheckAccount(const ClientAuthBlock& login, SyncAccountRecord* record);
  void OnClientConnected(SyncClient* session);
  void OnClientDisconnected(SyncClient* session);
  void StopAllClients();
  void SetPane(int index, std::string text);
  void ShowRow(const std::string& key, uint32_t address, const std::string& message);
  void DrawStatus();

  // Constant after construction.
  const bool interactive_;

  std::unique_ptr<Impl> impl_;  // the loop, its timers and sockets
  std::atomic<bool> ran_{false};
  // The loop thread while RunModal runs; empty before and after.
  std::atomic<std::thread::id> loop_thread_{};
  std::atomic<bool> initialized_{false};

  // Loop thread only.
  std::set<SyncClient*> clients_;
  DiskMonitor disk_monitor_;
  CZvAccountFile account_file_;
  std::unique_ptr<NamedEvent> stop_event_;
  bool stop_event_failed_ = false;
  bool account_modifying_ = false;
  bool closing_ = false;
  StatusModel status_;
  std::function<void(const StatusModel&)> view_;

  // The processing lock: held across the processing of one finished file
  // or one retention pass. A plain flag under a mutex, so the thread that
  // releases need not be the one that acquired.
  std::mutex processing_mu_;
  std::condition_variable processing_cv_;
  bool processing_held_ = false;  // guarded by processing_mu_
  MonitorLock monitor_lock_{this};

};

}  // namespace zv
