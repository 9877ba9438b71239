#include "server/sync_srv_dlg.h"

#include <asio/executor_work_guard.hpp>
#include <asio/io_context.hpp>
#include <asio/posix/stream_descriptor.hpp>
#include <asio/signal_set.hpp>
#include <asio/steady_timer.hpp>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdarg>
#include <future>

#include "config/zv_sync_config.h"
#include "crashdump/crash_filter.h"
#include "crashdump/mini_dump.h"
#include "db/loader.h"
#include "log/log_file.h"
#include "log/sync_log.h"
#include "platform/thread_priority.h"
#include "protocol/sync_client.h"
#include "protocol/sync_info_socket.h"
#include "protocol/sync_listener.h"
#include "protocol/ui_socket.h"
#include "server/console_commands.h"
#include "server/metrics_endpoint.h"
#include "server/session_registry.h"
#include "util/file_util.h"
#include "util/loop_mailbox.h"
#include "util/server_metrics.h"
#include "util/string_format.h"
#include "util/system_util.h"

namespace zv {
namespace {

// Scheduling priority (nice value) of the controller's thread while its
// loop runs. The loop admits every login within 500 ms while hundreds of
// session threads may decode at full speed; with equal weights the
// scheduler can keep it off a processor for longer than that in a burst
// (a window thread gets a boost when its messages arrive; here nothing
// does).
constexpr int kLoopThreadNice = -10;

// Operation-log entries the interactive view keeps for its last lines.
constexpr size_t kRecentLogEntries = 16;

// One controller per process: it owns the single-instance stop event.
std::atomic<bool> g_controller_exists{false};

}  // namespace

struct CZVSyncSrvDlg::Impl {
  Impl(CZVSyncSrvDlg* dlg)
      : work(asio::make_work_guard(io)),
        stop_timer(io),
        account_timer(io),
        view_timer(io),
        sessions(io,
                 [dlg](size_t count) {
                   ServerMetrics::Instance().sessions_connected.Set(static_cast<int64_t>(count));
                   dlg->status_.SetPane(0, std::to_string(count));
                 }),
        console(dlg->account_file_, sessions,
                ConsoleCommands::Actions{
                    [dlg] { return dlg->OnLoopThread(); },
                    [dlg] { dlg->PauseAdmissions(); },
                    [dlg] { return dlg->ReEnableClientConnections(); },
                    [this](const void* datagram, const DatagramPeer& to) {
                      return ui_socket.SendCommand(datagram, to);
                    },
                    [] { return ZVSyncConfig::Instance().GetUIAllowedAddresses(); }}),
        listener(io, *dlg),
        info_socket(io, &console),
        ui_socket(io, &console),
        metrics(ServerMetrics::Instance().registry(), [dlg] {
          // Measured at each scrape, on the endpoint's thread.
          ServerMetrics& m = ServerMetrics::Instance();
          const auto disks = dlg->QueryDisks();
          for (size_t i = 0; i < disks.size(); ++i) {
            if (!disks[i]) continue;  // the last value stands
            m.disk_available_bytes[i]->Set(static_cast<int64_t>(disks[i]->available_bytes));
            m.disk_size_bytes[i]->Set(static_cast<int64_t>(disks[i]->total_bytes));
          }
        }) {}

  asio::io_context io;
  asio::executor_work_guard<asio::io_context::executor_type> work;
  // Closures from other threads; the loop drains it when wake is readable.
  LoopMailbox mailbox;
  asio::posix::stream_descriptor wake{io, mailbox.wake_fd()};
  asio::steady_timer stop_timer;     // timer 1: the stop event, every second
  asio::steady_timer account_timer;  // timer 0: end of an account-change pause
  asio::steady_timer view_timer;     // redraws the interactive view
  std::unique_ptr<asio::signal_set> signals;
  SessionRegistry sessions;
  ConsoleCommands console;
  SyncListener listener;
  SyncInfoSocket info_socket;
  UISocket ui_socket;
  MetricsEndpoint metrics;
};

CZVSyncSrvDlg::CZVSyncSrvDlg(bool interactive)
    : status_(
          interactive, [this](std::function<void()> fn) { return Post(std::move(fn)); },
          [this] { return OnLoopThread(); }),
      processing_lock_([] { return Loader::Instance().IsExternalImporterRunning(); },
                       [this](const std::string& text) { status_.SetStatusText(text); }),
      admission_(
          account_file_, disk_monitor_,
          [this](std::function<void()> fn) { return Post(std::move(fn)); },
          [this] { return OnLoopThread(); }) {
  if (g_controller_exists.exchange(true)) throw 0;
  impl_ = std::make_unique<Impl>(this);
}

CZVSyncSrvDlg::~CZVSyncSrvDlg() {
  // The monitor's thread uses the processing lock and the loop until it
  // ends, which may be after Uninitialize: it is waited for first.
  disk_monitor_.Join();
  // Sessions left by a loop that never ran are stopped here, before the
  // sockets and the loop go away.
  impl_->sessions.Close();
  // The mailbox owns the descriptor.
  impl_->wake.release();
  impl_.reset();
  g_controller_exists.store(false);
}

uint16_t CZVSyncSrvDlg::listening_port() const { return impl_->listener.port(); }

uint16_t CZVSyncSrvDlg::metrics_port() const { return impl_->metrics.port(); }

ConsoleCommands& CZVSyncSrvDlg::console() { return impl_->console; }

bool CZVSyncSrvDlg::OnLoopThread() const {
  return loop_thread_.load() == std::this_thread::get_id();
}

bool CZVSyncSrvDlg::Post(std::function<void()> fn) {
  // Before Impl exists (never: members post only once running) nothing is
  // accepted.
  return impl_ != nullptr && impl_->mailbox.Post(std::move(fn));
}

void CZVSyncSrvDlg::ArmMailbox() {
  impl_->wake.async_wait(asio::posix::stream_descriptor::wait_read,
                         [this](const asio::error_code& error) {
                           if (error == asio::error::operation_aborted) return;
                           impl_->mailbox.Drain();
                           if (!impl_->mailbox.closed()) ArmMailbox();
                         });
}

bool CZVSyncSrvDlg::RunOnLoop(const std::function<void()>& fn) {
  if (OnLoopThread()) throw 0;
  auto done = std::make_shared<std::promise<void>>();
  std::future<void> finished = done->get_future();
  if (!Post([fn, done] {
        fn();
        done->set_value();
      })) {
    return false;
  }
  finished.wait();
  return true;
}

void CZVSyncSrvDlg::SetStatusView(std::function<void(const StatusModel&)> view) {
  status_.SetView(std::move(view));
}

void CZVSyncSrvDlg::SetServiceHooks(std::function<void()> started, std::function<void()> tick) {
  on_started_ = std::move(started);
  on_tick_ = std::move(tick);
}

void CZVSyncSrvDlg::SetClosingHook(std::function<void()> closing) {
  on_closing_ = std::move(closing);
}

// ---------------------------------------------------------------------------
// Running, start-up and shut-down

bool CZVSyncSrvDlg::RunModal(bool stop_on_signals) {
  if (ran_.exchange(true)) throw 0;
  loop_thread_.store(std::this_thread::get_id());
  (void)AddCrashStackToThisThread();
  int nice_before = 0;
  if (!RaiseThreadPriority(kLoopThreadNice, &nice_before)) {
    ZV_LOG_D("Raise loop thread priority failed!errno=%u\n", static_cast<unsigned>(errno));
  }
  // Every login waits for this thread: it must not wait for the disk to log.
  ZVSyncLog::DeferForThisThread(true);
  ArmMailbox();

  if (stop_on_signals) {
    impl_->signals = std::make_unique<asio::signal_set>(impl_->io, SIGINT, SIGTERM);
    impl_->signals->async_wait([this](const asio::error_code& error, int signal_number) {
      if (error) return;
      // As the service's stop control: set the stop event, close.
      ZV_LOG_I("Receive signal %d!\n", signal_number);
      if (stop_event_) stop_event_->Set();
      CloseWindow();
    });
  }

  const bool view = status_.interactive() && status_.has_view();
  if (view) CZvLogFile::Instance().KeepRecent(kRecentLogEntries);
  bool ok = Initialize();
  if (ok) {
    initialized_.store(true);
    ZV_OPLOG(kEventInfo, kModuleSync, "同步器启动成功!");
    if (on_started_) on_started_();
    if (view) {
      RefreshStatus();
      status_.Draw();
      struct Redraw {
        CZVSyncSrvDlg* self;
        void Arm() {
          self->impl_->view_timer.expires_after(std::chrono::seconds(1));
          self->impl_->view_timer.async_wait([s = self](const asio::error_code& error) {
            if (error || s->closing_) return;
            s->RefreshStatus();
            s->status_.Draw();
            Redraw{s}.Arm();
          });
        }
      };
      Redraw{this}.Arm();
    }
    impl_->io.run();
  }
  // A failed start closes at once; a loop that ended without a close (it
  // cannot, while the work guard holds it) is closed here as well.
  CloseWindow();

  // Closures posted while the loop was closing still run, so that waiting
  // senders are released and sessions whose connect was queued are
  // stopped; posting is refused from now on.
  impl_->io.restart();
  impl_->io.poll();
  impl_->mailbox.Drain();
  if (view) {
    RefreshStatus();
    status_.Draw();
  }
  ZVSyncLog::DeferForThisThread(false);
  ZVSyncLog::Instance().Flush();
  // A later thread may get this thread's id; it must not pass for the loop.
  loop_thread_.store(std::thread::id());
  RestoreThreadPriority(nice_before);
  return ok;
}

void CZVSyncSrvDlg::RequestClose() {
  Post([this] { CloseWindow(); });
}

void CZVSyncSrvDlg::CloseWindow() {
  if (closing_) return;
  closing_ = true;
  Uninitialize();
  impl_->mailbox.Close();
  impl_->work.reset();
  asio::error_code ignored;
  impl_->wake.cancel(ignored);
  impl_->stop_timer.cancel();
  impl_->account_timer.cancel();
  impl_->view_timer.cancel();
  if (impl_->signals) impl_->signals->cancel(ignored);
  impl_->io.stop();
}

bool CZVSyncSrvDlg::Initialize() {
  ZVSyncConfig& config = ZVSyncConfig::Instance();

  // 1-3: the loop thread is recorded by RunModal; sockets need no set-up.
  // 2: reload the configuration files; their failures are reported where
  // they are read and do not stop start-up.
  config.LoadDbConfig();
  config.LoadToolsConfig();
  config.LoadMysqlPath();

  // 4: the attachment folder and the data directory; failures are ignored.
  const std::string attachment_path = config.GetAttachmentPath();
  if (!attachment_path.empty()) (void)CreateDirectoryTree(attachment_path);
  const std::string data_path = config.GetMysqlDataPath();
  if (!data_path.empty()) (void)CreateDirectoryTree(data_path);

  ZV_LOG_D("Initialize!");

  // Reports of crashes before this start are counted now: a crash ends the
  // process that could have counted it. Result codes exist from now on.
  ServerMetrics::Instance().crash_reports_written.Add(
      quennlib::CountWrittenReports(config.GetHomeDirectory().c_str()));
  SyncClient::PrepareMetrics();

  // 6: the single-instance stop event and timer 1.
  NamedEvent::CreateResult created = NamedEvent::CreateResult::kFailed;
  stop_event_ = NamedEvent::Create(kStopEventName, true, &created);
  if (created == NamedEvent::CreateResult::kAlreadyExists) {
    stop_event_.reset();
    ZV_OPLOG(kEventWarning, kModuleSync, "Zentrovane的服务程序已经在运行!");
    ZV_OPLOG(kEventError, kModuleSync, "同步器启动失败:无法创建进程同步事件!");
    return false;
  }
  if (!stop_event_) {
    // Start-up goes on; the first tick cannot test the event and stops.
    ZV_LOG_E("Create stop event failed!errno=%u\n", static_cast<unsigned>(errno));
  }
  struct StopTick {
    CZVSyncSrvDlg* self;
    void Arm() {
      self->impl_->stop_timer.expires_after(std::chrono::milliseconds(1000));
      self->impl_->stop_timer.async_wait([s = self](const asio::error_code& error) {
        if (error || s->closing_) return;
        s->OnStopTimer();
        if (!s->closing_) StopTick{s}.Arm();
      });
    }
  };
  StopTick{this}.Arm();

  // 7: the importer control.
  if (!Loader::Instance().Init()) {
    ZV_LOG_C("Can't initialize loader!\n");
    ZV_OPLOG(kEventError, kModuleSync, "同步器启动失败::数据导入程序初始化失败!");
    return false;
  }
  ZV_LOG_D("Loader Initialized!");

  // 8: the TCP listener.
  if (!impl_->listener.Start(config.GetSyncPort())) {
    ZV_LOG_C("Can't initialize listener!\n");
    ZV_OPLOG(kEventError, kModuleSync, "同步器启动失败:无法创建数据同步Socket!");
    return false;
  }
  ZV_LOG_D("Listener Initialized!");

  // 9: the sync-info datagram socket.
  if (!impl_->info_socket.Create(config.GetSyncPort())) {
    ZV_LOG_C("Can't initialize syncinfosocket!\n");
    ZV_OPLOG(kEventError, kModuleSync, "同步器启动失败:无法创建同步信息Socket!");
    return false;
  }
  ZV_LOG_D("SyncInfoSocket Initialized!");

  // 10: the UI datagram socket.
  if (!impl_->ui_socket.Create(config.GetUIPort())) {
    ZV_LOG_C("Can't initialize ui socket!\n");
    ZV_OPLOG(kEventError, kModuleSync, "同步器启动失败:无法创建UI通信Socket!");
    return false;
  }
  ZV_LOG_D("UISocket Initialized!");

  StartMetrics();

  // 11: the accounts.
  if (!LoadAccounts()) {
    ZV_LOG_C("Can't load sync accounts!\n");
    ZV_OPLOG(kEventError, kModuleSync, "同步器启动失败:加载同步帐号失败!");
    return false;
  }
  ZV_LOG_D("SyncAccounts Loaded!");

  // 12: the disk monitor's thread.
  if (!disk_monitor_.Start(&processing_lock_, [this] { return StorageNames(); })) {
    ZV_LOG_C("Can't start disk monitor!\n");
    ZV_OPLOG(kEventError, kModuleSync, "同步器启动失败:创建磁盘预警线程失败!");
    return false;
  }
  ZV_LOG_D("DiskMonitor Started!");
  return true;
}

void CZVSyncSrvDlg::Uninitialize() {
  ZV_LOG_D("Uninitialize!");
  GetElapsedTicks();

  if (on_closing_) on_closing_();
  ZV_LOG_D("StopWatchDog elapsed %ums\n", GetElapsedTicks());

  impl_->listener.Close();
  impl_->info_socket.Close();
  impl_->ui_socket.Close();
  impl_->metrics.Stop();
  ZV_LOG_D("CloseSocket elapsed %ums\n", GetElapsedTicks());

  // The stopping sessions give the processing lock back: a monitor waiting
  // for it must end rather than take it for a whole check now.
  disk_monitor_.RequestStop();
  impl_->sessions.Close();
  status_.SetPane(0, "0");
  ZV_LOG_D("StopAllClients elapsed %ums\n", GetElapsedTicks());

  disk_monitor_.Stop();
  ZV_LOG_D("StopDiskMonitor elapsed %ums\n", GetElapsedTicks());

  stop_event_.reset();
  ZV_OPLOG(kEventInfo, kModuleSync, "同步器已停止!");
}

void CZVSyncSrvDlg::StartMetrics() {
  ZVSyncConfig& config = ZVSyncConfig::Instance();
  // All three are read at every start, so that their defaults are in the
  // settings file for the operator to change.
  const bool enabled = config.GetEnableMetrics() != 0;
  const std::string address = config.GetMetricsAddress();
  const uint16_t port = config.GetMetricsPort();
  if (!enabled) return;
  if (!impl_->metrics.Start(address, port)) {
    const unsigned error = static_cast<unsigned>(errno);
    ZV_LOG_E("Can't start metrics endpoint on %s:%u!errno=%u\n", address.c_str(),
             static_cast<unsigned>(port), error);
    ZV_OPLOG(kEventWarning, kModuleSync, "监控指标服务启动失败(地址%s,端口%u),错误号:%u",
             address.c_str(), static_cast<unsigned>(port), error);
    return;
  }
  ZV_LOG_D("Metrics endpoint listening on %s:%u!\n", address.c_str(),
           static_cast<unsigned>(impl_->metrics.port()));
}

std::array<std::optional<VolumeSpace>, 2> CZVSyncSrvDlg::QueryDisks() const {
  ZVSyncConfig& config = ZVSyncConfig::Instance();
  const std::string folders[2] = {config.GetMysqlDataPath(), config.GetAttachmentPath()};
  std::array<std::optional<VolumeSpace>, 2> disks;
  for (size_t i = 0; i < disks.size(); ++i) {
    VolumeSpace space;
    if (disk_monitor_.QuerySpace(folders[i], &space)) disks[i] = space;
  }
  return disks;
}

void CZVSyncSrvDlg::RefreshStatus() {
  StatusModel& model = status_.model();
  const auto now = std::chrono::steady_clock::now();

  std::vector<StatusModel::SessionSample> samples;
  impl_->sessions.ForEach([&samples](const SyncClient& session) {
    SyncClient::Progress progress = session.GetProgress();
    samples.push_back(StatusModel::SessionSample{session.GetSessionKey(),
                                                 std::move(progress.file_name), progress.file_size,
                                                 progress.file_done, progress.bytes});
  });
  model.UpdateTransfers(samples, now);

  const ServerProcessingLock::State lock = processing_lock_.GetState();
  model.SetProcessing(StatusModel::Processing{
      lock.holder,
      lock.held ? static_cast<uint32_t>(
                      std::chrono::duration_cast<std::chrono::seconds>(now - lock.held_since)
                          .count())
                : 0u,
      lock.waiting});

  // The names the operation log gives the two disks.
  static constexpr const char* kDiskNames[2] = {"MYSQL安装磁盘", "日志附件存放磁盘"};
  const uint64_t minimum = uint64_t{ZVSyncConfig::Instance().GetMinimumRequiredDiskSpace()} << 20;
  const auto spaces = QueryDisks();
  std::vector<StatusModel::Disk> disks;
  for (size_t i = 0; i < spaces.size(); ++i) {
    StatusModel::Disk disk{kDiskNames[i]};
    if (spaces[i]) {
      disk.known = true;
      disk.available_bytes = spaces[i]->available_bytes;
      disk.total_bytes = spaces[i]->total_bytes;
      disk.low = disk.available_bytes < minimum;
    }
    disks.push_back(std::move(disk));
  }
  model.SetDisks(std::move(disks));
  model.SetRecentLog(CZvLogFile::Instance().Recent());
}

void CZVSyncSrvDlg::OnStopTimer() {
  if (on_tick_) on_tick_();
  // No event (its creation failed) counts as a stop request.
  if (stop_event_ && !stop_event_->Wait(0)) return;
  ZV_LOG_I("Receive Stop Event!\n");
  if (stop_event_) stop_event_->Reset();
  RequestClose();
}

void CZVSyncSrvDlg::OnAccountChangeTimer() {
  ZV_LOG_D("Timeout!enable client connetions!\n");
  if (!ReEnableClientConnections()) ZV_LOG_C("ReEnableClientConnections failed!\n");
}

// ---------------------------------------------------------------------------
// The sessions' host. The private messages of the controller are closures
// run on the loop: connect (0x1401), disconnect (0x1402), authenticate
// (0x1404, the sender waits 500 ms at most), storage names (0x1405),
// speed, activity text and client row (0x1406 to 0x1408).

bool CZVSyncSrvDlg::NotifyConnected(std::unique_ptr<SyncClient> session) {
  if (session == nullptr) throw 0;
  if (OnLoopThread() && !closing_) {
    OnClientConnected(std::move(session));
    return true;
  }
  // A closure is copyable, the session is not: it travels in a holder. A
  // closure that never runs destroys the session with the holder.
  auto holder = std::make_shared<std::unique_ptr<SyncClient>>(std::move(session));
  if (!Post([this, holder] { OnClientConnected(std::move(*holder)); })) {
    ZV_LOG_E("Post connect message failed!errno=%u\n", static_cast<unsigned>(ESHUTDOWN));
    holder->reset();  // stops it
    return false;
  }
  return true;
}

bool CZVSyncSrvDlg::NotifyDisconnected(SyncClient* session) {
  if (session == nullptr) throw 0;
  if (!Post([this, session] { impl_->sessions.OnEnding(session); })) {
    ZV_LOG_E("Post Disconnect message failed!errno=%u\n", static_cast<unsigned>(ESHUTDOWN));
    return false;
  }
  return true;
}

void CZVSyncSrvDlg::OnClientConnected(std::unique_ptr<SyncClient> session) {
  // Once closing, the registry stops it at once: shut-down has stopped
  // every registered session already.
  impl_->sessions.Add(std::move(session));
}

uint32_t CZVSyncSrvDlg::Authenticate(const ClientAuthBlock& login, SyncAccountRecord* record) {
  return admission_.Authenticate(login, record);
}

bool CZVSyncSrvDlg::CheckDiskSpace(const std::string& user_name) {
  return admission_.CheckDiskSpace(user_name);
}

void CZVSyncSrvDlg::SetStatusText(const char* format, ...) {
  if (!status_.interactive()) return;
  if (format == nullptr) throw 0;
  va_list args;
  va_start(args, format);
  std::string text = FormatStringV(format, args);
  va_end(args);
  status_.SetStatusText(std::move(text));
}

void CZVSyncSrvDlg::ShowSpeed(uint32_t received_kbps, uint32_t file_kbps) {
  status_.ShowSpeed(received_kbps, file_kbps);
}

void CZVSyncSrvDlg::ShowClientRow(const std::string& session_key, uint32_t address,
                                  const char* format, ...) {
  if (!status_.interactive() || session_key.empty()) return;
  if (format == nullptr) throw 0;
  va_list args;
  va_start(args, format);
  std::string message = FormatStringV(format, args);
  va_end(args);
  status_.ShowClientRow(session_key, address, std::move(message));
}

// ---------------------------------------------------------------------------
// Accounts

bool CZVSyncSrvDlg::LoadAccounts() {
  account_file_.SetPath(ZVSyncConfig::Instance().GetAccountFilePath());
  int result = account_file_.Load();
  if (result != 0) {
    ZV_LOG_E("Load sync accounts failed!ret=%d\n", result);
    return false;
  }
  ZV_LOG_I("Load %u sync accounts!\n", static_cast<unsigned>(account_file_.Records().size()));
  return true;
}

bool CZVSyncSrvDlg::ReEnableClientConnections() {
  impl_->account_timer.cancel();
  if (LoadAccounts()) {
    admission_.Resume();
    return true;
  }
  ZV_LOG_C("Can't load sync accounts!\n");
  ZV_OPLOG(kEventError, kModuleSync, "同步器启动失败:加载同步帐号失败!");
  RequestClose();
  return false;
}

void CZVSyncSrvDlg::PauseAdmissions() {
  admission_.Pause();
  impl_->account_timer.cancel();
  impl_->account_timer.expires_after(std::chrono::milliseconds(kAccountChangePauseMs));
  impl_->account_timer.async_wait([this](const asio::error_code& error) {
    if (error || closing_) return;
    OnAccountChangeTimer();
  });
  status_.SetPane(0, "0");
}

void CZVSyncSrvDlg::CollectStorageNames(std::set<std::string>* names) {
  if (names == nullptr) throw 0;
  auto collect = [this, names] {
    for (const SyncAccountRecord& account : account_file_.Records()) {
      std::string storage(FieldText(account.storageName, sizeof(account.storageName)));
      if (!storage.empty()) names->insert(std::move(storage));
    }
  };
  if (OnLoopThread()) {
    collect();
    return;
  }
  // Waits without limit; a loop that has closed answers nothing.
  auto done = std::make_shared<std::promise<void>>();
  std::future<void> finished = done->get_future();
  if (!Post([collect, done] {
        collect();
        done->set_value();
      })) {
    return;
  }
  finished.wait();
}

std::set<std::string> CZVSyncSrvDlg::StorageNames() {
  std::set<std::string> names;
  CollectStorageNames(&names);
  return names;
}

}  // namespace zv
