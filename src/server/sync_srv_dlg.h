// CZVSyncSrvDlg: the server controller. It owns every long-lived server
// object and brings them up in a fixed order (Initialize) and tears them
// down in a fixed order (Uninitialize); it runs the event loop on which all
// of them meet. Each job has a member of its own, built from what it needs
// and not from the controller:
//
//   Admission             server/admission.h         login checks, disk check
//   SessionRegistry       server/session_registry.h  owns and reaps sessions
//   ServerProcessingLock  server/server_processing_lock.h
//   ConsoleCommands       server/console_commands.h  the console's commands
//   StatusBoard           server/status_board.h      the interactive view
//
// The controller itself keeps the loop, its timers and sockets, the account
// file, the stop event and the account-change pause; it is the sessions'
// SessionHost, passing each request to the member that serves it.
//
// Threads: the loop runs on the thread that calls RunModal (its "window
// thread"). The account list, the sessions, the status model and the
// sockets are touched only there; session threads, the disk monitor and
// the datagram sockets reach them through closures posted to the loop
// (connect, disconnect, status) or a closure whose result the sender waits
// for (authentication, 500 ms at most; storage names).
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <thread>

#include "datafiles/sync_position.h"
#include "db/processing_lock.h"
#include "monitor/disk_monitor.h"
#include "platform/named_object.h"
#include "protocol/session_host.h"
#include "records/account_file.h"
#include "server/admission.h"
#include "server/server_processing_lock.h"
#include "server/status_board.h"

namespace zv {

class ConsoleCommands;

// Name of the single-instance stop event.
inline constexpr const char* kStopEventName = "Global\\ZentrovaneStopEvent";

class CZVSyncSrvDlg final : public SessionHost {
 public:
  // Account changes pause admissions this long after the last command.
  static constexpr uint32_t kAccountChangePauseMs = 5000;

  // interactive: the server runs in the foreground with a status view.
  // One controller per process at a time (a second throws 0).
  explicit CZVSyncSrvDlg(bool interactive);
  ~CZVSyncSrvDlg() override;
  CZVSyncSrvDlg(const CZVSyncSrvDlg&) = delete;
  CZVSyncSrvDlg& operator=(const CZVSyncSrvDlg&) = delete;

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

  // Hooks of the service host, set before RunModal; both run on the loop
  // thread. started: once Initialize has succeeded (the service is up).
  // tick: at every tick of the one-second timer (the loop still turns).
  void SetServiceHooks(std::function<void()> started, std::function<void()> tick);
  // Set before RunModal; runs on the loop thread as the first step of the
  // close, before the sockets close (the service stops its watchdog there).
  void SetClosingHook(std::function<void()> closing);

  // True once Initialize has returned true (any thread).
  bool initialized() const { return initialized_.load(); }

  // --- SessionHost ---
  uint32_t Authenticate(const ClientAuthBlock& login, SyncAccountRecord* record) override;
  bool CheckDiskSpace(const std::string& user_name) override;
  ProcessingLock& processing_lock() override { return processing_lock_; }
  PositionNames* position_names() override { return &position_names_; }
  bool NotifyConnected(std::unique_ptr<SyncClient> session) override;
  bool NotifyDisconnected(SyncClient* session) override;
  void ShowSpeed(uint32_t received_kbps, uint32_t file_kbps) override;
  void ShowClientRow(const std::string& session_key, uint32_t address, const char* format,
                     ...) override __attribute__((format(printf, 4, 5)));
  bool IsInteractive() const override { return status_.interactive(); }

  // Any thread: the activity text of the status view (nothing when not
  // interactive).
  void SetStatusText(const char* format, ...) __attribute__((format(printf, 2, 3)));

  // Any thread: adds the storage name of every account that has one; on the
  // loop directly, else through it (waiting without limit; a loop that has
  // closed adds nothing). The disk monitor and the statistics take these.
  void CollectStorageNames(std::set<std::string>* names);
  std::set<std::string> StorageNames();

  // The console's commands (loop thread only, as the channels call them).
  ConsoleCommands& console();

  // Loop thread (Initialize; the account-change commands).
  [[nodiscard]] bool LoadAccounts();
  [[nodiscard]] bool ReEnableClientConnections();

  // The disk monitor (tests put in a disk that fills up before RunModal).
  DiskMonitor& disk_monitor() { return disk_monitor_; }

  // The port the listener bound (0 before it started).
  uint16_t listening_port() const;
  // The port the metrics endpoint bound (0 when it does not run).
  uint16_t metrics_port() const;

  // Any thread: the space of the disk holding the received data and of the
  // one holding the attachments (ServerMetrics::Disk order); empty where it
  // cannot be read.
  std::array<std::optional<VolumeSpace>, 2> QueryDisks() const;

 private:
  struct Impl;

  bool Initialize();
  void Uninitialize();
  // Loop thread: the orderly close (Uninitialize, then end the loop).
  void CloseWindow();
  bool OnLoopThread() const;
  // Posts fn to the loop; false once the loop has closed.
  bool Post(std::function<void()> fn);
  // Watches the mailbox of posted closures; re-armed after each drain.
  void ArmMailbox();

  void OnStopTimer();
  void OnAccountChangeTimer();
  // Loop thread: a user's account changes (admissions pause, timer 0
  // restarts, pane 0 shows "0").
  void PauseAdmissions();
  // Loop thread: registers a session the listener started.
  void OnClientConnected(std::unique_ptr<SyncClient> session);
  // Loop thread: the parts of the status that are sampled rather than
  // told (transfers, the processing lock, the disks, the latest log
  // entries), just before a draw.
  void RefreshStatus();
  // Start-up: the metrics endpoint when the settings enable it. A failure
  // is logged and the server runs on without it.
  void StartMetrics();

  std::atomic<bool> ran_{false};
  // The loop thread while RunModal runs; empty before and after.
  std::atomic<std::thread::id> loop_thread_{};
  std::atomic<bool> initialized_{false};

  // Loop thread only, but for what the members below guard themselves.
  CZvAccountFile account_file_;
  std::unique_ptr<NamedEvent> stop_event_;
  bool closing_ = false;
  std::function<void()> on_started_;
  std::function<void()> on_tick_;
  std::function<void()> on_closing_;
  StatusBoard status_;
  ServerProcessingLock processing_lock_;
  PositionNames position_names_;  // shared by the sessions
  // Declared after the processing lock and before admission: the monitor
  // may be handed the lock, admission asks the monitor.
  DiskMonitor disk_monitor_;
  Admission admission_;
  // The loop, its timers, the sessions, the console's commands and the
  // sockets (declared after what they use).
  std::unique_ptr<Impl> impl_;
};

}  // namespace zv
