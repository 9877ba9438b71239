#include "server/sync_srv_dlg.h"

#include <nettle/md5.h>
#include <sched.h>
#include <strings.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <asio/executor_work_guard.hpp>
#include <asio/io_context.hpp>
#include <asio/posix/stream_descriptor.hpp>
#include <asio/signal_set.hpp>
#include <asio/steady_timer.hpp>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <future>
#include <semaphore>
#include <vector>

#include "config/zv_sync_config.h"
#include "db/loader.h"
#include "log/log_file.h"
#include "log/sync_log.h"
#include "protocol/sync_client.h"
#include "protocol/sync_listener.h"
#include "util/loop_mailbox.h"
#include "util/file_util.h"
#include "util/string_format.h"
#include "util/system_util.h"

namespace zv {
namespace {

constexpr const char* kUpdateAccountCommand = "$UPDATE_ACCOUNT$";
constexpr size_t kSyncStateDatagramSize = sizeof(UiCommandHeader) + kRecordSize;  // 5110

// A user name compared as the account file stores it: at most 20
// characters, without regard to ASCII case.
bool SameUserName(const char* a, const char* b) { return strncasecmp(a, b, 20) == 0; }

std::string BoundedString(const char* text, size_t width) {
  return std::string(text, strnlen(text, width));
}

std::string ToLower(std::string text) {
  for (char& c : text) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return text;
}

// Whether text may stand as one component of a file name: no separators,
// no wildcards, no control characters, not "." or "..". Anything else must
// not reach a path built from it.
bool IsSafeNameComponent(const std::string& text) {
  if (text.empty() || text == "." || text == "..") return false;
  for (unsigned char c : text) {
    if (c < 0x20 || c == 0x7F || c == '/' || c == '\\' || c == '*' || c == '?') return false;
  }
  return true;
}

// How soon a disconnect whose worker has not yet finished is looked at
// again.
constexpr std::chrono::milliseconds kEndedSessionRecheck{5};

// Scheduling priority (nice value) of the controller's thread while its
// loop runs.
constexpr int kLoopThreadNice = -10;

// The loop admits every login within 500 ms while hundreds of session
// threads may decode at full speed; with equal weights the scheduler can
// keep it off a processor for longer than that in a burst (a window thread
// gets a boost when its messages arrive; here nothing does). So the loop
// runs at a higher priority where the system grants it, and as it was
// where not. Reset-on-fork: the threads and processes it starts (sessions,
// the disk monitor, the watchdog) begin at the normal priority, not its
// own. Returns the nice value to restore.
int RaiseLoopThreadPriority() {
  const id_t tid = static_cast<id_t>(syscall(SYS_gettid));
  errno = 0;
  const int before = getpriority(PRIO_PROCESS, tid);
  if (errno != 0 || before <= kLoopThreadNice) return before;
  struct sched_param param = {};
  if (sched_setscheduler(0, SCHED_OTHER | SCHED_RESET_ON_FORK, &param) != 0 ||
      setpriority(PRIO_PROCESS, tid, kLoopThreadNice) != 0) {
    ZV_LOG_D("Raise loop thread priority failed!errno=%u\n", static_cast<unsigned>(errno));
  }
  return before;
}

void RestoreLoopThreadPriority(int nice) {
  (void)setpriority(PRIO_PROCESS, static_cast<id_t>(syscall(SYS_gettid)), nice);
  struct sched_param param = {};
  (void)sched_setscheduler(0, SCHED_OTHER, &param);
}

}  // namespace

// One authentication waiting for the loop, shared by the sender and the
// closure that carries it. No lock is shared with other sessions or taken
// by the loop: a sender preempted at any point holds up only itself. The
// loop fills in the answer, then moves state from waiting to answered; the
// sender, once its wait ends, moves it from waiting to abandoned. Whoever
// moves it first decides: an abandoned request is not checked (or its
// answer is dropped), an answered one is read by the sender.
struct CZVSyncSrvDlg::PendingAuth {
  enum State { kWaiting, kAnswered, kAbandoned };

  explicit PendingAuth(const ClientAuthBlock& sent) : login(sent) {}

  const ClientAuthBlock login;
  // Written by the loop before state becomes kAnswered.
  uint32_t result = kServerBusy;
  SyncAccountRecord record{};
  std::chrono::steady_clock::time_point finished;
  std::atomic<int> state{kWaiting};
  std::binary_semaphore answered{0};
};

struct CZVSyncSrvDlg::Impl {
  Impl(CZVSyncSrvDlg* dlg)
      : work(asio::make_work_guard(io)),
        stop_timer(io),
        account_timer(io),
        view_timer(io),
        listener(io),
        info_socket(io, dlg),
        ui_socket(io, dlg) {}

  asio::io_context io;
  asio::executor_work_guard<asio::io_context::executor_type> work;
  // Closures from other threads; the loop drains it when wake is readable.
  LoopMailbox mailbox;
  asio::posix::stream_descriptor wake{io, mailbox.wake_fd()};
  asio::steady_timer stop_timer;     // timer 1: the stop event, every second
  asio::steady_timer account_timer;  // timer 0: end of an account-change pause
  asio::steady_timer view_timer;     // redraws the interactive view
  std::unique_ptr<asio::signal_set> signals;
  SyncListener listener;
  SyncInfoSocket info_socket;
  UISocket ui_socket;
};

CZVSyncSrvDlg::CZVSyncSrvDlg(bool interactive)
    : interactive_(interactive), impl_(std::make_unique<Impl>(this)) {}

CZVSyncSrvDlg::~CZVSyncSrvDlg() {
  // The monitor's thread uses the processing lock and the loop until it
  // ends, which may be after Uninitialize: it is waited for first.
  disk_monitor_.Join();
  // Sessions left by a loop that never ran are stopped here, before the
  // sockets and the loop go away.
  StopAllClients();
  // The mailbox owns the descriptor.
  impl_->wake.release();
}

CZVSyncSrvDlg& CZVSyncSrvDlg::Instance() {
  auto* dlg = dynamic_cast<CZVSyncSrvDlg*>(&SyncController::Instance());
  if (dlg == nullptr) throw 0;
  return *dlg;
}

uint16_t CZVSyncSrvDlg::listening_port() const { return impl_->listener.port(); }

bool CZVSyncSrvDlg::OnLoopThread() const {
  return loop_thread_.load() == std::this_thread::get_id();
}

void CZVSyncSrvDlg::RequireLoopThread() const {
  if (!OnLoopThread()) throw 0;
}

bool CZVSyncSrvDlg::Post(std::function<void()> fn) { return impl_->mailbox.Post(std::move(fn)); }

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
  view_ = std::move(view);
}

// ---------------------------------------------------------------------------
// Running, start-up and shut-down

bool CZVSyncSrvDlg::RunModal(bool stop_on_signals) {
  if (ran_.exchange(true)) throw 0;
  loop_thread_.store(std::this_thread::get_id());
  const int nice_before = RaiseLoopThreadPriority();
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

  bool ok = Initialize();
  if (ok) {
    initialized_.store(true);
    ZV_OPLOG(kEventInfo, kModuleSync, "同步器启动成功!");
    if (interactive_ && view_) {
      DrawStatus();
      struct Redraw {
        CZVSyncSrvDlg* self;
        void Arm() {
          self->impl_->view_timer.expires_after(std::chrono::seconds(1));
          self->impl_->view_timer.async_wait([s = self](const asio::error_code& error) {
            if (error || s->closing_) return;
            s->DrawStatus();
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
  if (interactive_ && view_) DrawStatus();
  ZVSyncLog::DeferForThisThread(false);
  ZVSyncLog::Instance().Flush();
  // A later thread may get this thread's id; it must not pass for the loop.
  loop_thread_.store(std::thread::id());
  RestoreLoopThreadPriority(nice_before);
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
    stop_event_failed_ = true;
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

  // 11: the accounts.
  if (!LoadAccounts()) {
    ZV_LOG_C("Can't load sync accounts!\n");
    ZV_OPLOG(kEventError, kModuleSync, "同步器启动失败:加载同步帐号失败!");
    return false;
  }
  ZV_LOG_D("SyncAccounts Loaded!");

  // 12: the disk monitor's thread.
  if (!disk_monitor_.Start(&monitor_lock_, [this] {
        std::set<std::string> names;
        CollectStorageNames(&names);
        return names;
      })) {
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

  // The watchdog is not started by this server yet; nothing to stop.
  ZV_LOG_D("StopWatchDog elapsed %ums\n", GetElapsedTicks());

  impl_->listener.Close();
  impl_->info_socket.Close();
  impl_->ui_socket.Close();
  ZV_LOG_D("CloseSocket elapsed %ums\n", GetElapsedTicks());

  // The stopping sessions give the processing lock back: a monitor waiting
  // for it must end rather than take it for a whole check now.
  disk_monitor_.RequestStop();
  StopAllClients();
  SetPane(0, "0");
  ZV_LOG_D("StopAllClients elapsed %ums\n", GetElapsedTicks());

  disk_monitor_.Stop();
  ZV_LOG_D("StopDiskMonitor elapsed %ums\n", GetElapsedTicks());

  stop_event_.reset();
  ZV_OPLOG(kEventInfo, kModuleSync, "同步器已停止!");
}

void CZVSyncSrvDlg::StopAllClients() {
  std::set<SyncClient*> sessions;
  sessions.swap(clients_);
  for (SyncClient* session : sessions) {
    session->Stop();
    delete session;
  }
}

void CZVSyncSrvDlg::OnStopTimer() {
  // No event (its creation failed) counts as a stop request.
  if (stop_event_ && !stop_event_->Wait(0)) {
    // The watchdog check joins here; it never runs in interactive mode.
    return;
  }
  ZV_LOG_I("Receive Stop Event!\n");
  if (stop_event_) stop_event_->Reset();
  RequestClose();
}

void CZVSyncSrvDlg::OnAccountChangeTimer() {
  ZV_LOG_D("Timeout!enable client connetions!\n");
  if (!ReEnableClientConnections()) ZV_LOG_C("ReEnableClientConnections failed!\n");
}

// ---------------------------------------------------------------------------
// Sessions

bool CZVSyncSrvDlg::NotifyConnected(SyncClient* session) {
  if (session == nullptr) throw 0;
  if (OnLoopThread() && !closing_) {
    OnClientConnected(session);
    return true;
  }
  if (!Post([this, session] { OnClientConnected(session); })) {
    ZV_LOG_E("Post connect message failed!errno=%u\n", static_cast<unsigned>(ESHUTDOWN));
    return false;
  }
  return true;
}

bool CZVSyncSrvDlg::NotifyDisconnected(SyncClient* session) {
  if (session == nullptr) throw 0;
  if (!Post([this, session] { OnClientDisconnected(session); })) {
    ZV_LOG_E("Post Disconnect message failed!errno=%u\n", static_cast<unsigned>(ESHUTDOWN));
    return false;
  }
  return true;
}

// The private messages of the controller are closures run on the loop:
// connect (0x1401), disconnect (0x1402), authenticate (0x1404, the sender
// waits 500 ms at most), storage names (0x1405), speed, activity text and
// client row (0x1406 to 0x1408).

void CZVSyncSrvDlg::OnClientConnected(SyncClient* session) {
  if (closing_) {
    // Shut-down has stopped every registered session already.
    session->Stop();
    delete session;
    return;
  }
  clients_.insert(session);
  SetPane(0, std::to_string(clients_.size()));
}

void CZVSyncSrvDlg::OnClientDisconnected(SyncClient* session) {
  auto it = clients_.find(session);
  if (it == clients_.end()) return;
  if (!session->HasEnded()) {
    // The worker posted this before its last steps; joining it now would
    // hold up every login queued here until the scheduler runs it again.
    // Look again shortly; shut-down stops the sessions still registered.
    auto timer = std::make_shared<asio::steady_timer>(impl_->io, kEndedSessionRecheck);
    timer->async_wait([this, session, timer](const asio::error_code& error) {
      if (!error && !closing_) OnClientDisconnected(session);
    });
    return;
  }
  clients_.erase(it);
  session->Stop();
  delete session;
  SetPane(0, std::to_string(clients_.size()));
}

// ---------------------------------------------------------------------------
// Admission

uint32_t CZVSyncSrvDlg::Authenticate(const ClientAuthBlock& login, SyncAccountRecord* record) {
  if (record == nullptr) throw 0;
  if (OnLoopThread()) return CheckAccount(login, record);

  auto pending = std::make_shared<PendingAuth>(login);
  const auto deadline =
      std::chrono::steady_clock::now() + std::chrono::milliseconds(kAuthenticateTimeoutMs);
  bool posted = Post([this, pending] { AdmissionCheck(*pending); });
  bool in_time = false;
  if (posted) {
    (void)pending->answered.try_acquire_until(deadline);
    int expected = PendingAuth::kWaiting;
    if (!pending->state.compare_exchange_strong(expected, PendingAuth::kAbandoned,
                                                std::memory_order_acq_rel)) {
      // Answered, perhaps just after the wait ended: a result finished
      // after the deadline is discarded, as if it had never come.
      in_time = pending->finished <= deadline;
    }
  }
  if (in_time) {
    if (pending->result == kNoError) *record = pending->record;
    return pending->result;
  }

  ZV_LOG_E("SendMessage timeout,errno=%u\n", static_cast<unsigned>(posted ? ETIMEDOUT : ESHUTDOWN));
  std::string user = BoundedString(login.userName, sizeof(login.userName));
  ZV_OPLOG(kEventWarning, kModuleSync, "同步器服务端正忙,用户%s的同步请求已被忽略!", user.c_str());
  return kServerBusy;
}

void CZVSyncSrvDlg::AdmissionCheck(PendingAuth& pending) {
  if (pending.state.load(std::memory_order_acquire) == PendingAuth::kAbandoned) {
    ZV_LOG_I("Timeout!\n");
    return;
  }
  pending.result = CheckAccount(pending.login, &pending.record);
  pending.finished = std::chrono::steady_clock::now();
  int expected = PendingAuth::kWaiting;
  if (pending.state.compare_exchange_strong(expected, PendingAuth::kAnswered,
                                            std::memory_order_acq_rel)) {
    pending.answered.release();
  }
}

uint32_t CZVSyncSrvDlg::CheckAccount(const ClientAuthBlock& login, SyncAccountRecord* record) {
  const std::string user = BoundedString(login.userName, sizeof(login.userName));
  if (account_modifying_) {
    ZV_OPLOG(kEventWarning, kModuleSync, "正在处理账号变动信息,用户%s的同步请求已被忽略!",
             user.c_str());
    ZV_LOG_I("Account modifing, refuse all connections!\n");
    return kServerBusy;
  }
  // Limits changed on disk take effect at the next login.
  ZVSyncConfig& config = ZVSyncConfig::Instance();
  config.LoadDbConfig();
  config.LoadToolsConfig();
  config.LoadMysqlPath();
  if (!CheckDiskSpace(user)) {
    ZV_LOG_I("Server disk full,connection refused!\n");
    return kServerDiskFull;
  }
  for (const SyncAccountRecord& account : account_file_.Records()) {
    if (!SameUserName(account.userName, login.userName)) continue;
    if (std::strncmp(account.password, login.password, 20) != 0) {
      ZV_LOG_I("user %s has wrong password!\n", user.c_str());
      ZV_OPLOG(kEventWarning, kModuleSync, "用户%s登陆信息校验失败(密码错误)!", user.c_str());
      return kWrongPassword;
    }
    std::memcpy(record, &account, sizeof(SyncAccountRecord));
    return kNoError;
  }
  ZV_LOG_I("user %s doesn't exist!\n", user.c_str());
  ZV_OPLOG(kEventWarning, kModuleSync, "用户%s登陆信息校验失败(用户不存在)!", user.c_str());
  return kUserNotFound;
}

bool CZVSyncSrvDlg::CheckDiskSpace(const std::string& user_name) {
  const uint32_t limit = ZVSyncConfig::Instance().GetMinimumRequiredDiskSpace();
  bool mysql_ok = true;
  bool file_ok = true;
  bool queried = disk_monitor_.VerifyFreeSpaceBySize(limit, &mysql_ok, &file_ok);
  if (queried && mysql_ok && file_ok) return true;
  if (!queried) {
    mysql_ok = true;
    file_ok = false;
  }
  if (!mysql_ok && !file_ok) {
    ZV_OPLOG(kEventWarning, kModuleSync,
             "MYSQL安装磁盘和日志附件存放磁盘可用空间已不足%uMB,用户%s的同步请求已被忽略,"
             "请整理磁盘空间!",
             limit, user_name.c_str());
  } else if (!file_ok) {
    ZV_OPLOG(kEventWarning, kModuleSync,
             "日志附件存放磁盘可用空间已不足%uMB,用户%s的同步请求已被忽略,请整理磁盘空间!", limit,
             user_name.c_str());
  } else {
    ZV_OPLOG(kEventWarning, kModuleSync,
             "MYSQL安装磁盘可用空间已不足%uMB,用户%s的同步请求已被忽略,请整理磁盘空间!", limit,
             user_name.c_str());
  }
  return false;
}

// ---------------------------------------------------------------------------
// The processing lock

bool CZVSyncSrvDlg::AcquireProcessing(uint32_t timeout_ms, const char* format, ...) {
  uint32_t left = timeout_ms;
  while (Loader::Instance().IsExternalImporterRunning()) {
    if (left == 0) return false;
    uint32_t step = left < 100 ? left : 100;
    std::this_thread::sleep_for(std::chrono::milliseconds(step));
    left -= step;
  }
  {
    std::unique_lock<std::mutex> lock(processing_mu_);
    if (!processing_cv_.wait_for(lock, std::chrono::milliseconds(left),
                                 [this] { return !processing_held_; })) {
      return false;
    }
    processing_held_ = true;
  }
  if (format != nullptr) {
    va_list args;
    va_start(args, format);
    std::string text = FormatStringV(format, args);
    va_end(args);
    SetStatusText("%s", text.c_str());
  }
  return true;
}

void CZVSyncSrvDlg::ReleaseProcessing() {
  {
    std::lock_guard<std::mutex> lock(processing_mu_);
    processing_held_ = false;
  }
  processing_cv_.notify_one();
  SetStatusText("Idle");
}

// ---------------------------------------------------------------------------
// Status

void CZVSyncSrvDlg::SetPane(int index, std::string text) {
  if (!interactive_) return;
  status_.SetPane(index, std::move(text));
}

void CZVSyncSrvDlg::ShowRow(const std::string& key, uint32_t address,
                            const std::string& message) {
  if (!interactive_) return;
  status_.ShowRow(key, FormatAddress(address), message);
}

void CZVSyncSrvDlg::DrawStatus() {
  if (view_) view_(status_);
}

void CZVSyncSrvDlg::SetStatusText(const char* format, ...) {
  if (!interactive_) return;
  if (format == nullptr) throw 0;
  va_list args;
  va_start(args, format);
  std::string text = FormatStringV(format, args);
  va_end(args);
  if (OnLoopThread()) {
    SetPane(1, std::move(text));
  } else {
    Post([this, text = std::move(text)]() mutable { SetPane(1, std::move(text)); });
  }
}

void CZVSyncSrvDlg::ShowSpeed(uint32_t received_kbps, uint32_t file_kbps) {
  if (!interactive_) return;
  char text[64];
  std::snprintf(text, sizeof(text), "T:%uKB/s F:%uKB/s", received_kbps, file_kbps);
  if (OnLoopThread()) {
    SetPane(2, text);
  } else {
    Post([this, pane = std::string(text)]() mutable { SetPane(2, std::move(pane)); });
  }
}

void CZVSyncSrvDlg::ShowClientRow(const std::string& session_key, uint32_t address,
                                  const char* format, ...) {
  if (!interactive_ || session_key.empty()) return;
  if (format == nullptr) throw 0;
  va_list args;
  va_start(args, format);
  std::string message = FormatStringV(format, args);
  va_end(args);
  if (OnLoopThread()) {
    ShowRow(session_key, address, message);
  } else {
    Post([this, key = session_key, address, message = std::move(message)] {
      ShowRow(key, address, message);
    });
  }
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
    account_modifying_ = false;
    return true;
  }
  ZV_LOG_C("Can't load sync accounts!\n");
  ZV_OPLOG(kEventError, kModuleSync, "同步器启动失败:加载同步帐号失败!");
  RequestClose();
  return false;
}

void CZVSyncSrvDlg::CollectStorageNames(std::set<std::string>* names) {
  if (names == nullptr) throw 0;
  auto collect = [this, names] {
    for (const SyncAccountRecord& account : account_file_.Records()) {
      std::string storage = BoundedString(account.storageName, sizeof(account.storageName));
      if (!storage.empty()) names->insert(storage);
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

std::string CZVSyncSrvDlg::GetSyncDateDigest(const std::string& user_name) {
  RequireLoopThread();
  for (const SyncAccountRecord& account : account_file_.Records()) {
    if (!SameUserName(account.userName, user_name.c_str())) continue;
    md5_ctx ctx;
    md5_init(&ctx);
    md5_update(&ctx, sizeof(account.syncSchedule), account.syncSchedule);
    uint8_t digest[MD5_DIGEST_SIZE];
    md5_digest(&ctx, sizeof(digest), digest);
    static const char kHex[] = "0123456789ABCDEF";
    std::string text;
    for (uint8_t byte : digest) {
      text.push_back(kHex[byte >> 4]);
      text.push_back(kHex[byte & 0x0F]);
    }
    return text;
  }
  return std::string();
}

uint32_t CZVSyncSrvDlg::HandleAccountCommand(uint8_t* datagram, size_t length,
                                             bool delete_positions) {
  RequireLoopThread();
  if (datagram == nullptr) throw 0;
  UiCommandHeader header{};
  if (length >= sizeof(header)) std::memcpy(&header, datagram, sizeof(header));
  if (length <= sizeof(UiCommandHeader) || header.size <= sizeof(UiCommandHeader) ||
      header.size > length) {
    ZV_LOG_E("Unknown ZVUI_CMD size=%u\n", header.size);
    return 87;
  }
  datagram[header.size - 1] = 0;
  const std::string text(reinterpret_cast<const char*>(datagram + sizeof(UiCommandHeader)));

  if (text == kUpdateAccountCommand) {
    ZV_LOG_D("Update account info!\n");
    if (ReEnableClientConnections()) return 0;
    ZV_LOG_C("ReEnableClientConnections failed!\n");
    return 1359;
  }

  ZV_LOG_D("Process user %s's account info!\n", text.c_str());
  account_modifying_ = true;
  impl_->account_timer.cancel();
  impl_->account_timer.expires_after(std::chrono::milliseconds(kAccountChangePauseMs));
  impl_->account_timer.async_wait([this](const asio::error_code& error) {
    if (error || closing_) return;
    OnAccountChangeTimer();
  });
  SetPane(0, "0");

  std::set<SyncClient*> kept;
  for (SyncClient* session : clients_) {
    SyncAccountRecord record;
    session->GetRecord(&record);
    if (record.userName[0] == '\0' || SameUserName(record.userName, text.c_str())) {
      session->Stop();
      delete session;
    } else {
      kept.insert(session);
    }
  }
  clients_.swap(kept);

  if (delete_positions) {
    // The name comes from the network: only a plain name may reach the
    // wildcard delete, or "*" would take every client's positions.
    if (!IsSafeNameComponent(text)) {
      ZV_LOG_W("Unsafe user name %s, syncpos files kept!\n", text.c_str());
    } else {
      std::string pattern = ZVSyncConfig::Instance().GetSyncPosDirectory() + "/" + text +
                            "-????????.*";
      if (!DeletePath(pattern)) {
        ZV_LOG_E("Delete syncpos files failed!errno=%u\n", static_cast<unsigned>(errno));
      }
      ZV_LOG_D("delete syncpos files,pattern=%s\n", pattern.c_str());
    }
  }
  return 0;
}

void CZVSyncSrvDlg::ReportSyncState(const uint8_t* datagram, size_t length,
                                    const DatagramPeer& sender) {
  RequireLoopThread();
  if (datagram == nullptr || length < sizeof(UiCommandHeader)) throw 0;

  std::set<std::string> account_names;
  for (const SyncAccountRecord& account : account_file_.Records()) {
    std::string name = BoundedString(account.userName, sizeof(account.userName));
    if (!name.empty()) account_names.insert(name);
  }

  const std::string folder = ZVSyncConfig::Instance().GetSyncPosDirectory();
  std::vector<std::string> files;
  ListFiles(folder, "*-????????.dat", &files, false);

  // Position files of connected clients. File names are compared without
  // regard to case: a client that logged in with its name in another
  // letter case writes the same file.
  std::set<std::string> in_use;
  for (SyncClient* session : clients_) {
    SyncAccountRecord record;
    session->GetRecord(&record);
    if (record.userName[0] == '\0') continue;
    char name[64];
    std::snprintf(name, sizeof(name), "%s-%08x.dat",
                  BoundedString(record.userName, sizeof(record.userName)).c_str(), record.deviceId);
    in_use.insert(ToLower(name));
  }

  std::vector<uint8_t> reply(kSyncStateDatagramSize);
  UiCommandHeader header;
  std::memcpy(&header, datagram, sizeof(header));
  header.size = static_cast<uint32_t>(kSyncStateDatagramSize);
  std::memcpy(reply.data(), &header, sizeof(header));

  for (const std::string& file : files) {
    const std::string path = folder + "/" + file;
    CZvAccountFile position;
    position.SetPath(path);
    if (position.Load() != 0 || position.Records().empty()) {
      ZV_LOG_E("Load syncpos %s failed!\n", path.c_str());
      continue;
    }
    SyncAccountRecord record = position.Records().front();
    if (account_names.count(BoundedString(record.userName, sizeof(record.userName))) == 0) {
      continue;
    }
    record.inUse = in_use.count(ToLower(file)) ? 1 : 0;
    // The password never leaves the server: any host that can send one
    // datagram would read every account's password otherwise.
    std::memset(record.password, 0, sizeof(record.password));
    std::memcpy(reply.data() + sizeof(UiCommandHeader), &record, kRecordSize);
    if (!impl_->ui_socket.SendCommand(reply.data(), sender)) ZV_LOG_E("Send sync state failed!\n");
  }

  header.size = sizeof(UiCommandHeader);
  if (!impl_->ui_socket.SendCommand(&header, sender)) ZV_LOG_E("Send end sync state failed!\n");
}

}  // namespace zv
