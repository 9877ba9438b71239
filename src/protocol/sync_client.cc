#include "protocol/sync_client.h"

#include <arpa/inet.h>
#include <errno.h>
#include <unistd.h>

#include <array>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <new>
#include <span>
#include <string_view>
#include <system_error>

#include "config/zv_sync_config.h"
#include "crashdump/crash_filter.h"
#include "datafiles/attachment_file.h"
#include "datafiles/config_table_file.h"
#include "datafiles/log_table_file.h"
#include "datafiles/sync_position.h"
#include "db/mysql_base.h"
#include "db/processing_lock.h"
#include "log/log_file.h"
#include "log/sync_log.h"
#include "platform/file_system.h"
#include "platform/thread_priority.h"
#include "protocol/block.h"
#include "protocol/login_set.h"
#include "protocol/session_host.h"
#include "util/file_util.h"
#include "util/server_metrics.h"
#include "util/string_format.h"
#include "util/system_util.h"

namespace zv {
namespace {

// A new session's nice value until its login is answered: ahead of the
// transferring sessions, behind the loop and the session starter (-10).
constexpr int kLoginNice = -5;

// The four bytes of an IPv4 address in host order, most significant first.
#define ZV_IP4(a) ((a) >> 24) & 0xFF, ((a) >> 16) & 0xFF, ((a) >> 8) & 0xFF, (a)&0xFF

// Transfer statistics of all sessions (interactive mode only).
struct TransferStatistics {
  std::mutex mu;
  uint64_t received_bytes = 0;  // guarded by mu
  uint64_t decoded_bytes = 0;   // guarded by mu
  uint32_t last_report_tick = 0;
  bool started = false;
};

std::atomic<uint32_t (*)()> g_tick_source{nullptr};

uint32_t StatisticsTick() {
  uint32_t (*tick)() = g_tick_source.load();
  return tick != nullptr ? tick() : GetTickCount32();
}

TransferStatistics& Statistics() {
  static TransferStatistics* statistics = new TransferStatistics;
  return *statistics;
}

// The counters of each result code, looked up once for the process: a
// login or an announcement then costs one atomic add. Only the codes each
// can be answered with are made in advance (their series show 0 from the
// start); any other would be looked up when it came.
constexpr uint32_t kResultCodes = kProcessError + 1;
using ResultCounters = std::array<metrics::Counter*, kResultCodes>;

ResultCounters MakeCounters(metrics::Family<metrics::Counter>& family,
                            std::initializer_list<ResultCode> codes) {
  ResultCounters counters{};
  for (ResultCode code : codes) counters[code] = &family.With({ResultCodeName(code)});
  return counters;
}

const ResultCounters& LoginCounters() {
  static const ResultCounters counters =
      MakeCounters(ServerMetrics::Instance().logins,
                   {kNoError, kUserNotFound, kWrongPassword, kServerBusy, kServerDiskFull,
                    kMultipleLogin});
  return counters;
}

const ResultCounters& AnnouncementCounters() {
  static const ResultCounters counters = MakeCounters(
      ServerMetrics::Instance().file_announcements,
      {kNoError, kServerDiskFull, kUnauthenticated, kUnknownFileInfo, kUnknownFileType,
       kFileUnCompleted, kFileError});
  return counters;
}

void Count(const ResultCounters& counters, metrics::Family<metrics::Counter>& family,
           uint32_t code) {
  if (code < kResultCodes && counters[code] != nullptr) {
    counters[code]->Add();
  } else {
    family.With({ResultCodeName(code)}).Add();
  }
}

void CountLogin(uint32_t code) {
  Count(LoginCounters(), ServerMetrics::Instance().logins, code);
}

void CountAnnouncement(uint32_t code) {
  Count(AnnouncementCounters(), ServerMetrics::Instance().file_announcements, code);
}

double SecondsSince(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

}  // namespace

void SyncClient::PrepareMetrics() {
  (void)LoginCounters();
  (void)AnnouncementCounters();
}

void SyncClient::SetTickSourceForTesting(uint32_t (*tick)()) { g_tick_source.store(tick); }

void SyncClient::AddDecodedBytes(uint32_t bytes) {
  TransferStatistics& statistics = Statistics();
  std::lock_guard<std::mutex> lock(statistics.mu);
  statistics.decoded_bytes += bytes;
}

SyncClient::SyncClient(SessionHost& host) : SyncClient(host, Options()) {}

SyncClient::SyncClient(SessionHost& host, const Options& options)
    : host_(host),
      timeouts_(options.timeouts),
      data_file_factory_(options.data_file_factory != nullptr ? options.data_file_factory
                                                              : &SyncClient::MakeDataFile) {
  // The position file is read and written on the session's own thread,
  // which may wait for a descriptor when the process has none left.
  position_file_.SetDescriptorWait(kDescriptorWait);
}

SyncClient::~SyncClient() {
  bool running;
  {
    std::lock_guard<std::mutex> lock(thread_mutex_);
    running = worker_.joinable() || self_detached_;
    if (worker_.joinable() && worker_.get_id() == std::this_thread::get_id()) {
      worker_.detach();  // cannot join itself; the object must not be used any more
      running = false;
    }
  }
  if (running) Stop();
  if (is_open()) {
    ZV_LOG_W("Socket not closed!\n");
    Close();
  }
}

bool SyncClient::Start(int accepted_fd, uint32_t peer_address, uint16_t peer_port) {
  std::lock_guard<std::mutex> lock(thread_mutex_);
  if (worker_.joinable() || started_ || accepted_fd < 0) throw 0;
  started_ = true;
  if (!Attach(accepted_fd)) {
    ZV_LOG_E("Accept failed!errno=%u\n", static_cast<unsigned>(errno));
    return false;
  }
  peer_address_ = peer_address;
  peer_port_ = peer_port;
  stop_.store(false);
  try {
    worker_ = std::thread([this] { Run(); });
  } catch (const std::system_error& e) {
    ZV_LOG_E("Create work thread failed!errno=%u\n", static_cast<unsigned>(e.code().value()));
    Close();
    return false;
  }
  return true;
}

void SyncClient::Stop() {
  std::thread worker;
  {
    std::lock_guard<std::mutex> lock(thread_mutex_);
    if (!worker_.joinable()) {
      // A worker that detached itself at its end has only its end flag
      // left to set.
      while (self_detached_ && !HasEnded()) std::this_thread::yield();
      return;
    }
    if (worker_.get_id() == std::this_thread::get_id()) throw 0;
    if (HasEnded()) {
      // The worker touches nothing of this session any more.
      worker_.detach();
      return;
    }
    stop_.store(true);
    Cancel();
    // Joined outside the lock: the worker takes it once more at its end.
    worker = std::move(worker_);
  }
  worker.join();
}

void SyncClient::GetRecord(SyncAccountRecord* out) const {
  if (out == nullptr) throw 0;
  std::lock_guard<std::mutex> lock(record_mutex_);
  *out = record_;
}

std::string SyncClient::GetSessionKey() const {
  std::lock_guard<std::mutex> lock(record_mutex_);
  return session_key_;
}

SyncClient::Progress SyncClient::GetProgress() const {
  Progress progress;
  {
    std::lock_guard<std::mutex> lock(record_mutex_);
    progress.file_name = progress_file_;
  }
  progress.file_size = progress_size_.load(std::memory_order_relaxed);
  progress.file_done = progress_done_.load(std::memory_order_relaxed);
  progress.bytes = progress_bytes_.load(std::memory_order_relaxed);
  return progress;
}

// ---------------------------------------------------------------------------
// The worker

void SyncClient::Run() {
  const uint32_t tid = GetCurrentThreadId32();
  const uint32_t a = peer_address_;
  const unsigned port = peer_port_;
  ZV_LOG_D("Connect from %u.%u.%u.%u:%u,tid=%u\n", ZV_IP4(a), port, tid);
  ZV_OPLOG(kEventInfo, kModuleSync, "客户端%u.%u.%u.%u:%u已连接!", ZV_IP4(a), port);
  SetThreadDebugName(tid, "ClientThread %u.%u.%u.%u:%u", ZV_IP4(a), port);
  // Decoding and processing run deep here: an overflow of this thread's
  // stack still leaves a crash report.
  (void)AddCrashStackToThisThread();

  // The block buffer is mapped here, on this thread, for the reason it is
  // given back here (see below).
  // Until its first block (the login) is answered, a new session runs ahead
  // of the sessions already transferring, where the system grants it: an
  // appliance that connects while hundreds upload is admitted in time, and
  // the versions and a login are short work. From then on it runs as they
  // do.
  int nice_before = 0;
  bool login_priority = RaiseThreadPriority(kLoginNice, &nice_before);
  buffer_.reset(new (std::nothrow) uint8_t[kBlockBufferSize]);
  if (buffer_ == nullptr) ZV_LOG_E("No memory!\n");
  if (buffer_ != nullptr && SendServerVersion() && ReceiveClientVersion()) {
    while (!stop_.load()) {
      if (!ReceiveBlock()) {
        if (ahead_.active) (void)FinishDecodeAhead();
        if (!stop_.load()) {
          if (last_error_ != 0) {
            ZV_LOG_E("Receive block failed!\n");
          } else {
            ZV_LOG_I("Client Disconnected!\n");
          }
        }
        break;
      }
      const bool dispatched = Dispatch();
      if (login_priority) {
        RestoreThreadPriority(nice_before);
        login_priority = false;
      }
      if (!dispatched) {
        ZV_LOG_D("End Dispatch!\n");
        break;
      }
    }
  }
  if (login_priority) RestoreThreadPriority(nice_before);

  if (ahead_.active) (void)FinishDecodeAhead();
  Close();
  // An interrupted file keeps the progress that reached the disk: the data
  // file saves it to the position file as it goes.
  data_file_.reset();
  if (processing_) {
    host_.processing_lock().Release();
    processing_ = false;
  }
  ZV_OPLOG(kEventInfo, kModuleSync, "客户端%u.%u.%u.%u:%u已断开连接!", ZV_IP4(a), port);
  const std::string key = GetSessionKey();
  if (!error_shown_) {
    host_.ShowClientRow(key, a, "Disconnect from %u.%u.%u.%u:%u", ZV_IP4(a), port);
  }
  if (!key.empty()) LoginSet::Instance().Remove(key);
  // The block buffer, the spare area and the decoder's memory go back here,
  // on this thread:
  // unmapping them waits for the process's memory map lock, which the
  // host's thread (that admits every login, and destroys this session)
  // must not wait for in a burst of disconnects.
  buffer_.reset();
  for (auto& spare : spares_) spare.reset();
  decoder_.Release();
  // Said before the notice: a host that takes the session over only after
  // the notice has come (a connection closed at once ends its session
  // before the listener has handed it over) sees that it ends and reaps it.
  ending_.store(true, std::memory_order_release);
  // From here on the host may stop and destroy this session: it joins this
  // thread first (or waits for its end flag), so the members stay valid
  // until Run returns.
  host_.NotifyDisconnected(this);
  ZV_LOG_D("Disconnect from %u.%u.%u.%u:%u,tid=%u\n", ZV_IP4(a), port, tid);
  // The worker may have used the database client library while processing.
  EndDatabaseThread();
  {
    // Detached, the thread gives its stack back itself as it exits; a join
    // (or a detach after the exit) would have the host's thread do it, and
    // wait for the process's memory map lock. The lock is held only
    // briefly: by a Start still returning (it has just made this thread),
    // never by a Stop while it joins (it has taken the thread out first).
    std::lock_guard<std::mutex> lock(thread_mutex_);
    if (worker_.joinable()) {
      worker_.detach();
      self_detached_ = true;
    }
  }
  ended_.store(true, std::memory_order_release);
}

uint32_t SyncClient::ReceiveTimeOut() const {
  bool short_wait = processing_;
  if (!short_wait) {
    std::lock_guard<std::mutex> lock(record_mutex_);
    short_wait = session_key_.empty();
  }
  return short_wait ? timeouts_.short_receive_ms : timeouts_.receive_ms;
}

void SyncClient::ReportTransferError(bool sending, uint32_t timeout_ms, int error) {
  std::string reason;
  if (error == kSocketTimedOut) {
    if (sending) {
      ZV_LOG_E("Send timeout,timeout=%u\n", timeout_ms);
      reason = "数据发送超时";
    } else {
      ZV_LOG_E("Receive timeout,timeout=%u\n", timeout_ms);
      reason = "数据接收超时";
    }
  } else {
    reason = FormatSystemError(static_cast<uint32_t>(error));
    if (sending) {
      ZV_LOG_E("Send error!ret=%d,errno=%u\n", -1, static_cast<unsigned>(error));
    } else {
      ZV_LOG_E("Receive error!ret=%d,errno=%u\n", -1, static_cast<unsigned>(error));
    }
  }
  ZV_OPLOG(kEventWarning, kModuleSync, "数据传输错误,错误原因:%s(%u)", reason.c_str(),
           static_cast<unsigned>(error));
}

SyncClient::Deadline SyncClient::DeadlineAfter(uint32_t timeout_ms) {
  return Deadline{timeout_ms,
                  std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms)};
}

template <typename Call>
bool SyncClient::TransferAll(bool sending, size_t length, const Deadline& deadline, Call call) {
  size_t done = 0;
  while (done < length) {
    // Each call gets what is left of the time-out, so that a peer that
    // trickles its bytes is cut as a silent one is.
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline.end - std::chrono::steady_clock::now());
    int error = 0;
    long n = call(done, static_cast<uint32_t>(left.count() > 0 ? left.count() : 0), &error);
    if (n > 0) {
      done += static_cast<size_t>(n);
      continue;
    }
    last_error_ = n == 0 ? 0 : error;
    if (n < 0 && !stop_.load() && handshake_done_) {
      ReportTransferError(sending, deadline.timeout_ms, error);
    }
    return false;
  }
  return true;
}

bool SyncClient::SendAll(const void* data, size_t length) {
  if (data == nullptr || length == 0) throw 0;
  const auto* p = static_cast<const uint8_t*>(data);
  return TransferAll(true, length, DeadlineAfter(timeouts_.send_ms),
                     [this, p, length](size_t done, uint32_t left_ms, int* error) {
                       return SendSome(p + done, length - done, left_ms, error);
                     });
}

bool SyncClient::ReceiveAll(void* data, size_t length) {
  // Only this thread changes what the time-out depends on.
  return ReceiveAll(data, length, DeadlineAfter(ReceiveTimeOut()));
}

bool SyncClient::ReceiveAll(void* data, size_t length, const Deadline& deadline) {
  if (data == nullptr || length == 0) throw 0;
  auto* p = static_cast<uint8_t*>(data);
  if (!TransferAll(false, length, deadline,
                   [this, p, length](size_t done, uint32_t left_ms, int* error) {
                     return ReceiveSome(p + done, length - done, left_ms, error);
                   })) {
    return false;
  }
  if (host_.IsInteractive()) CountReceivedBytes(length);
  return true;
}

void SyncClient::CountReceivedBytes(size_t length) {
  TransferStatistics& statistics = Statistics();
  uint32_t received_kbps = 0, file_kbps = 0;
  bool report = false;
  {
    std::lock_guard<std::mutex> lock(statistics.mu);
    uint32_t now = StatisticsTick();
    if (!statistics.started) {
      statistics.started = true;
      statistics.last_report_tick = now;
    }
    statistics.received_bytes += length;
    uint32_t elapsed = now - statistics.last_report_tick;
    if (elapsed > 999) {
      received_kbps = static_cast<uint32_t>(statistics.received_bytes * 1000 / 1024 / elapsed);
      file_kbps = static_cast<uint32_t>(statistics.decoded_bytes * 1000 / 1024 / elapsed);
      statistics.received_bytes = 0;
      statistics.decoded_bytes = 0;
      statistics.last_report_tick = now;
      report = true;
    }
  }
  // Posted outside the statistics lock: no lock is held across other calls.
  if (report) host_.ShowSpeed(received_kbps, file_kbps);
}

bool SyncClient::SendBlock(void* block, size_t size) {
  MaskBlock(block, size);
  return SendAll(block, size);
}

bool SyncClient::SendValueBlock(uint32_t command, uint32_t value) {
  std::vector<uint8_t> block = BuildValueBlock(command, value);
  return SendBlock(block.data(), block.size());
}

bool SyncClient::BeingWritten(const uint8_t* area) const {
  return area == written_ && data_file_ != nullptr && data_file_->HasPendingWrite();
}

uint8_t* SyncClient::FreeDecodeArea() {
  uint8_t* const halves[2] = {buffer_.get() + kMaxBlockSize, buffer_.get()};
  // The second half again where its write is done already: the area the
  // last blocks were decoded into is the one still in the caches.
  if (!data_file_->PollPendingWrite()) return nullptr;
  for (uint8_t* area : halves) {
    if (area != block_ && !BeingWritten(area)) return area;
  }
  // Both halves taken: the written one is a half, so a spare is free.
  if (uint8_t* spare = SpareArea(nullptr)) return spare;
  // No spare: the other half comes free once its write is done.
  if (!data_file_->FinishPendingWrite()) return nullptr;
  return block_ == halves[0] ? halves[1] : halves[0];
}

uint8_t* SyncClient::SpareArea(const uint8_t* other) {
  for (auto& spare : spares_) {
    if (spare == nullptr) spare.reset(new (std::nothrow) uint8_t[kMaxOriginSize]);
    if (spare != nullptr && spare.get() != other && !BeingWritten(spare.get())) {
      return spare.get();
    }
  }
  return nullptr;
}

bool SyncClient::ReceiveBlock() {
  // Into the half the data file is not writing from, and not the one a
  // block decodes ahead from (StartDecodeAhead saw the other one free).
  uint8_t* const first = buffer_.get();
  uint8_t* const second = first + kMaxBlockSize;
  if (ahead_.active) {
    block_ = ahead_.input == first ? second : first;
  } else {
    block_ = BeingWritten(first) ? second : first;
  }
  uint8_t* header = block_;
  if (!ReceiveAll(header, kBlockHeaderSize)) {
    if (last_error_ != 0 && !stop_.load()) ZV_LOG_E("Receive header failed!\n");
    return false;
  }
  MaskBlock(header, kBlockHeaderSize);
  const uint32_t size = LoadLe32(header);
  if (size > kMaxBlockSize) {
    ZV_LOG_C("m_buffer->size==%u\n", size);
    last_error_ = EPROTO;
    return false;
  }
  if (size <= kBlockHeaderSize) return true;
  if (!ReceiveAll(header + kBlockHeaderSize, size - kBlockHeaderSize)) {
    if (!stop_.load()) ZV_LOG_E("Receive content failed!\n");
    return false;
  }
  MaskBlock(header + kBlockHeaderSize, size - kBlockHeaderSize);
  return true;
}

// ---------------------------------------------------------------------------
// Handshake and login

bool SyncClient::SendServerVersion() {
  ZVSyncConfig& config = ZVSyncConfig::Instance();
  bool with_system_info = config.GetEnableSystemInfo() != 0;
  std::array<char, kVersionFieldSize> field =
      with_system_info ? FormatServerVersion(true, GetProcessorName(), GetPhysicalMemoryMiB())
                       : FormatServerVersion(false, std::string(), 0);
  if (!SendAll(field.data(), field.size())) {
    ZV_LOG_E("Send server version failed!\n");
    return false;
  }
  return true;
}

bool SyncClient::ReceiveClientVersion() {
  char version[kVersionFieldSize + 1] = {};
  // One time-out for the whole version text, both of its parts.
  const Deadline deadline = DeadlineAfter(ReceiveTimeOut());
  if (!ReceiveAll(version, kClientVersionPrefixSize, deadline)) {
    ZV_LOG_E("Receive header error!\n");
    return false;
  }
  const uint32_t a = peer_address_;
  if (std::memcmp(version, kClientVersionName, kClientVersionPrefixSize) != 0) {
    char text[kClientVersionPrefixSize + 1];
    std::memcpy(text, version, kClientVersionPrefixSize);
    text[kClientVersionPrefixSize] = '\0';
    ZV_LOG_E("Client string(%s) unmatched!", text);
    ZV_OPLOG(kEventWarning, kModuleSync, "同步客户端版本不匹配,客户端IP:%u.%u.%u.%u", ZV_IP4(a));
    return false;
  }
  if (!ReceiveAll(version + kClientVersionPrefixSize,
                  kVersionFieldSize - kClientVersionPrefixSize, deadline)) {
    ZV_LOG_E("Receive client version failed!\n");
    ZV_OPLOG(kEventWarning, kModuleSync, "验证同步客户端版本失败,客户端IP:%u.%u.%u.%u", ZV_IP4(a));
    return false;
  }
  version[kVersionFieldSize - 1] = '\0';
  ZV_LOG_I("Client version:%s\n", version);
  handshake_done_ = true;
  return true;
}

bool SyncClient::Dispatch() {
  if (ahead_.active) {
    PredecodeCurrent();
    if (!FinishDecodeAhead()) {
      predecoded_.valid = false;
      return false;
    }
  }
  const BlockHeader header = ParseBlockHeader(block_);
  const uint32_t content_size = BlockContentSize(header.size);
  switch (header.command) {
    case kCmdLogin:
      return HandleLogin(content_size);
    case kCmdFileInfo:
      return HandleFileInfo(content_size);
    case kCmdPending:
      return HandlePendingMarker(content_size);
    case kCmdFileData:
      return HandleFileData(content_size);
    case kCmdClientError:
      return HandleClientError(header.size, content_size);
    case kCmdFileEnd:
      return HandleFileEnd(content_size);
    case kCmdTaskFinished:
      return HandleTaskFinished();
    default:
      ZV_LOG_W("Unknown cmd=%u\n", header.command);
      return true;
  }
}

bool SyncClient::HandleLogin(uint32_t content_size) {
  if (content_size < kClientAuthBlockSize) {
    ZV_LOG_E("buffer content size(%u) is less than sizeof ClientAuthBlock", content_size);
    return false;
  }
  ClientAuthBlock login;
  std::memcpy(&login, content(), sizeof(login));
  login.userName[sizeof(login.userName) - 1] = '\0';
  login.password[sizeof(login.password) - 1] = '\0';

  // The user name names the position file below: nothing that could leave
  // the position folder or hide in a listing gets that far.
  if (!IsSafeFileName(login.userName)) {
    ZV_LOG_E("Invalid user name in login block, devid:%08X!\n", login.deviceId);
    return RefuseLogin(kUserNotFound);
  }

  char key[64];
  std::snprintf(key, sizeof(key), "%s-%08X", login.userName, login.deviceId);
  // A session logs in once: a second login block would leave its first key
  // in the login set for good.
  bool already_logged_in = !GetSessionKey().empty();
  if (already_logged_in || !LoginSet::Instance().Insert(key)) {
    ZV_OPLOG(kEventWarning, kModuleSync, "用户%s(devid:%08X)重复登陆", login.userName,
             login.deviceId);
    ZV_LOG_W("Multiple login detected!\n");
    return RefuseLogin(kMultipleLogin);
  }
  {
    std::lock_guard<std::mutex> lock(record_mutex_);
    session_key_ = key;
  }

  using Clock = std::chrono::steady_clock;
  const Clock::time_point auth_from = Clock::now();
  SyncAccountRecord account{};
  const uint32_t code = host_.Authenticate(login, &account);
  const Clock::time_point auth_to = Clock::now();
  ZV_LOG_D("Client auth result:%u(%s)\n", code, ResultCodeName(code));
  if (code != kNoError) return RefuseLogin(code);

  ZVSyncConfig& config = ZVSyncConfig::Instance();
  const bool use_client_ip = config.GetEnableClientIP() != 0;
  account.deviceId = login.deviceId;
  account.clientValue1 = login.clientValue1;
  account.clientValue2 = login.clientValue2;
  uint32_t client_ip = 0;
  std::memcpy(&client_ip, login.clientAddress, sizeof(client_ip));
  if (use_client_ip && client_ip != 0) {
    account.loginAddress = client_ip;  // network byte order as sent
  } else {
    account.loginAddress = htonl(peer_address_);
  }
  account.inUse = 1;

  const std::string folder = config.GetSyncPosDirectory();
  if (!CreateDirectoryTree(folder)) {
    ZV_LOG_W("Create synpos folder failed!errno=%u\n", static_cast<unsigned>(errno));
  }
  char file_name[96];
  std::snprintf(file_name, sizeof(file_name), "%s-%08x.dat", login.userName, login.deviceId);
  // LoadSyncPosition finds the file also when the name arrives in another
  // letter case than at the first login.
  const std::string path = folder + "/" + file_name;
  if (!LoadSyncPosition(&position_file_, path, account, host_.position_names()) ||
      position_file_.Records().empty()) {
    ZV_LOG_E("LoadSyncPosition from %s failed!\n", path.c_str());
    position_file_.Records().clear();
    return false;
  }
  const Clock::time_point loaded = Clock::now();

  // The session's record is current before the client learns of its
  // acceptance, so whoever reads it after that sees the logged-in session.
  {
    std::lock_guard<std::mutex> lock(record_mutex_);
    record_ = position_file_.Records().front();
  }
  SyncAccountRecord reply = position_file_.Records().front();
  uint32_t level = config.GetCompressLevel();
  reply.compressLevel = static_cast<uint16_t>(level > 9 ? 9 : level);
  std::vector<uint8_t> block = BuildBlock(kCmdServerConfig, &reply, sizeof(reply));
  if (!SendBlock(block.data(), block.size())) {
    ZV_LOG_E("Can't reply server config!\n");
    return false;
  }
  CountLogin(kNoError);

  const uint32_t a = peer_address_;
  const uint8_t* ip = login.clientAddress;
  ZV_LOG_D("Client connected from %u.%u.%u.%u:%u!user:%s ip:%u.%u.%u.%u devid:%08X\n", ZV_IP4(a),
           static_cast<unsigned>(peer_port_), login.userName, ip[0], ip[1], ip[2], ip[3],
           login.deviceId);
  if (use_client_ip) {
    ZV_OPLOG(kEventInfo, kModuleSync, "客户端%u.%u.%u.%u:%u认证成功(用户名:%s 认证IP:%u.%u.%u.%u)!",
             ZV_IP4(a), static_cast<unsigned>(peer_port_), login.userName, ip[0], ip[1], ip[2],
             ip[3]);
  } else {
    ZV_OPLOG(kEventInfo, kModuleSync, "用户%s登陆成功,IP地址:%u.%u.%u.%u!", login.userName,
             ZV_IP4(a));
  }
  host_.ShowClientRow(key, a, "User %s logged in!", login.userName);
  ZV_LOG_D("Login %s: auth %.1fms, syncpos %.1fms\n", key,
           std::chrono::duration<double, std::milli>(auth_to - auth_from).count(),
           std::chrono::duration<double, std::milli>(loaded - auth_to).count());
  return true;
}

bool SyncClient::SendError(uint32_t code) {
  host_.ShowClientRow(GetSessionKey(), peer_address_, "Server error %u(%s)!", code,
                      ResultCodeName(code));
  error_shown_ = true;
  if (!SendValueBlock(kCmdError, code)) ZV_LOG_E("Reply server error failed!\n");
  ZV_LOG_I("Reply server error:%s\n", ResultCodeName(code));
  // Give the client time to read the block before the connection closes;
  // a stop cuts the pause short.
  WaitForCancel(100);
  return false;
}

bool SyncClient::RefuseLogin(uint32_t code) {
  CountLogin(code);
  return SendError(code);
}

bool SyncClient::RefuseFile(uint32_t code) {
  CountAnnouncement(code);
  return SendError(code);
}

bool SyncClient::HandlePendingMarker(uint32_t content_size) {
  if (content_size < 4) {
    ZV_LOG_E("buffer content size(%u) is less than sizeof ServerPendingBlock", content_size);
    return false;
  }
  if (LoadLe32(content()) != kPendingEcho) return true;
  ZV_LOG_R("Reply jjjj!\n");
  return SendValueBlock(kCmdPending, kPendingEcho);
}

bool SyncClient::HandleClientError(uint32_t block_size, uint32_t content_size) {
  if (content_size < 4) {
    ZV_LOG_E("buffer content size(%u) is less than sizeof ErrorBlock", content_size);
    return false;
  }
  const uint32_t code = LoadLe32(content());
  // The message runs from content byte 4 to the block's last byte, which is
  // forced to NUL; a block of the code alone carries an empty message.
  const char* message = "";
  if (content_size > 4) {
    block_[block_size - 1] = '\0';
    message = reinterpret_cast<const char*>(content() + 4);
  }
  ZV_LOG_E("Client Error size:%u errcode:%u err:%s\n", block_size, code, message);
  host_.ShowClientRow(GetSessionKey(), peer_address_, "Client error code:%u msg:%s!", code,
                      message);
  error_shown_ = true;
  return false;
}

bool SyncClient::HandleTaskFinished() {
  // Only a logged-in appliance has a task to finish; the record in the
  // operation log speaks of its uploads.
  if (!LoggedIn()) return SendError(kUnauthenticated);
  ZV_OPLOG(kEventInfo, kModuleSync, "同步数据任务已完成!");
  return true;
}

// ---------------------------------------------------------------------------
// File transfer blocks

std::unique_ptr<SyncDataFile> SyncClient::MakeDataFile(FileType file_type,
                                                       CZvAccountFile* position_file) {
  switch (file_type) {
    case FileType::kLogTable:
      return std::make_unique<LogTableFile>(position_file);
    case FileType::kConfigTable:
      return std::make_unique<ConfigTableFile>(position_file);
    case FileType::kAttachmentPackage:
      return std::make_unique<AttachmentFile>(position_file);
  }
  throw 0;  // the session refuses other types before asking
}

void SyncClient::ShowFileRow(const char* format, ...) {
  // Rows exist only on a status screen (the host drops them otherwise):
  // the per-block path then stays free of formatting.
  if (!host_.IsInteractive()) return;
  shown_percent_ = -1;
  char text[512];
  va_list args;
  va_start(args, format);
  std::vsnprintf(text, sizeof(text), format, args);
  va_end(args);
  // session_key_ is written by this thread only: reading it here needs no lock.
  host_.ShowClientRow(session_key_, peer_address_, "%s", text);
}

bool SyncClient::HandleFileInfo(uint32_t content_size) {
  if (content_size < kClientFileInfoBlockSize) {
    ZV_LOG_E("buffer content size(%u) is less than sizeof ClientFileInfoBlock", content_size);
    return false;
  }
  uint8_t* raw = content();
  raw[63] = '\0';
  const FileAnnouncement announcement = FileAnnouncement::FromBytes(
      *reinterpret_cast<const uint8_t(*)[FileAnnouncement::kWireSize]>(raw));
  if (announcement.size == 0) {
    ZV_LOG_C("ClientFileInfo size=0\n");
    return RefuseFile(kUnknownFileInfo);
  }
  if (!LoggedIn()) return RefuseFile(kUnauthenticated);
  if (data_file_ != nullptr) return RefuseFile(kFileUnCompleted);
  const SyncAccountRecord& position = position_file_.Records().front();
  if (!host_.CheckDiskSpace(
          std::string(FieldText(position.userName, sizeof position.userName)))) {
    ZV_LOG_I("Server disk full,transfer refused!\n");
    return RefuseFile(kServerDiskFull);
  }
  // The name is printed only in a form that cannot break a log line; the
  // data file refuses it below when it is not one plain file name.
  const std::string shown = PrintableName(announcement.name);
  const FileType type = static_cast<FileType>(announcement.file_type);
  char activity[256];
  switch (type) {
    case FileType::kLogTable:
      ZV_LOG_D("Process LogTable %s!\n", shown.c_str());
      std::snprintf(activity, sizeof(activity), "开始同步日志表:%s", shown.c_str());
      break;
    case FileType::kConfigTable:
      ZV_LOG_D("Process ConfigTable %s!\n", shown.c_str());
      std::snprintf(activity, sizeof(activity), "开始同步配置表:%s", shown.c_str());
      break;
    case FileType::kAttachmentPackage:
      ZV_LOG_D("Process TarPackage %s!\n", shown.c_str());
      std::snprintf(activity, sizeof(activity), "开始同步附件包:%s", shown.c_str());
      break;
    default:
      ZV_LOG_E("Unknown file type %u\n", announcement.file_type);
      return RefuseFile(kUnknownFileType);
  }
  try {
    data_file_ = data_file_factory_(type, &position_file_);
  } catch (const std::bad_alloc&) {
    data_file_.reset();
  }
  if (data_file_ == nullptr) {
    ZV_LOG_E("Memory exception!\n");
    return false;
  }
  if (!data_file_->OpenForTransfer(announcement)) {
    data_file_.reset();
    return RefuseFile(kFileError);
  }
  if (!SendValueBlock(kCmdFileRequest, 0)) {
    ZV_LOG_E("Send filerequest failed!\n");
    return false;
  }
  CountAnnouncement(kNoError);
  if (host_.IsInteractive()) {
    {
      std::lock_guard<std::mutex> lock(record_mutex_);
      progress_file_ = shown;
    }
    progress_size_.store(announcement.size, std::memory_order_relaxed);
    progress_done_.store(data_file_->offset(), std::memory_order_relaxed);
  }
  ShowFileRow("Transfering %s(%uKB)!", shown.c_str(), announcement.size / 1024);
  ZV_OPLOG(kEventInfo, kModuleSync, "%s", activity);
  return true;
}

bool SyncClient::HandleFileData(uint32_t content_size) {
  // Decoded already when it arrived while the block before decoded ahead.
  PredecodedBlock predecoded = predecoded_;
  predecoded_.valid = false;
  const std::span<const uint8_t> block(content(), content_size);
  DataBlockHead head;
  if (!BlockDecoder::ParseHead(block, &head)) {
    ZV_LOG_E("buffer content size(%u) is less than sizeof ClientFileDataBlock", content_size);
    return false;
  }
  if (!BlockDecoder::IsAcceptableHead(head)) return SendError(kDataError);
  if (!LoggedIn()) return SendError(kUnauthenticated);
  if (data_file_ == nullptr) return SendError(kUnknownFileInfo);
  if (data_file_->IsComplete()) return SendError(kFileCompleted);
  if (predecoded.valid) return CommitFileData(predecoded.result, predecoded.area, head);

  // A stored block is written from where it was received; a compressed
  // one is decoded into an area of its own, so that the copy of this block
  // into the file overlaps the receiving and decoding of the next.
  // (Decoding a stored block writes nothing to the output area.)
  uint8_t* decode_area = block_;
  if (head.method != kMethodStored) {
    decode_area = FreeDecodeArea();
    if (decode_area != nullptr && StartDecodeAhead(block, head)) return true;
  }
  if (decode_area == nullptr) {
    ZV_LOG_E("Write data failed!\n");
    ZV_OPLOG(kEventError, kModuleSync, "传输数据写入失败!");
    return SendError(kFileError);
  }
  const DecodedBlock decoded =
      decoder_.Decode(block, std::span<uint8_t>(decode_area, kMaxOriginSize));
  return CommitFileData(decoded, decode_area, head);
}

bool SyncClient::CommitFileData(const DecodedBlock& decoded, const uint8_t* decode_area,
                                const DataBlockHead& head) {
  if (decoded.code == kDataError) {
    // A stored block that carries fewer bytes than it claims: what follows
    // it in the buffer is not the client's data and never reaches the file.
    return SendError(kDataError);
  }
  if (!decoded.ok()) {
    ZV_LOG_E("Uncompress data failed!\n");
    ZV_OPLOG(kEventError, kModuleSync, "传输数据解压失败!");
    return SendError(kUncompressError);
  }
  // A stored block's bytes lie in the block itself.
  written_ = decoded.data == decode_area ? decode_area : block_;
  if (!data_file_->WriteAsync(decoded.data, decoded.length, head.offered_offset)) {
    ZV_LOG_E("Write data failed!\n");
    ZV_OPLOG(kEventError, kModuleSync, "传输数据写入失败!");
    return SendError(kFileError);
  }
  // A decoded block's method is one of the three (any other fails above).
  if (static_cast<uint8_t>(head.method) < ServerMetrics::kCompressionMethods) {
    ServerMetrics::Instance().received_bytes[static_cast<uint8_t>(head.method)]->Add(
        decoded.length);
  }
  if (host_.IsInteractive()) {
    AddDecodedBytes(decoded.length);
    progress_bytes_.fetch_add(decoded.length, std::memory_order_relaxed);
    progress_done_.store(data_file_->offset(), std::memory_order_relaxed);
  }
  // The row changes once per percent, not per block: the same text again
  // would only wake the host's thread.
  const uint32_t size = data_file_->announced_size();
  const int percent = static_cast<int>(uint64_t{data_file_->offset()} * 100 / size);
  if (percent != shown_percent_) {
    ShowFileRow("Transfering %s(%uKB,%u%%)", data_file_->file_name().c_str(), size / 1024,
                static_cast<unsigned>(percent));
    shown_percent_ = percent;
  }
  return true;
}

bool SyncClient::StartDecodeAhead(std::span<const uint8_t> block, const DataBlockHead& head) {
  // Only while the client streams: a block whose successor is not on its
  // way takes effect at once, as the last before a pause or a file end.
  if (PendingBytes() < kBlockHeaderSize) return false;
  uint8_t* const first = buffer_.get();
  uint8_t* const other_half = block_ == first ? first + kMaxBlockSize : first;
  if (BeingWritten(other_half)) return false;  // the next block goes there
  uint8_t* const output = SpareArea(nullptr);
  if (output == nullptr) return false;
  if (!DecodePool::Instance().TryStart(&ahead_.job, block,
                                       std::span<uint8_t>(output, kMaxOriginSize))) {
    return false;
  }
  ahead_.active = true;
  ahead_.input = block_;
  ahead_.output = output;
  ahead_.head = head;
  return true;
}

void SyncClient::PredecodeCurrent() {
  const BlockHeader header = ParseBlockHeader(block_);
  if (header.command != kCmdFileData) return;
  const std::span<const uint8_t> block(content(), BlockContentSize(header.size));
  DataBlockHead head;
  if (!BlockDecoder::ParseHead(block, &head) || !BlockDecoder::IsAcceptableHead(head) ||
      head.method == kMethodStored) {
    return;
  }
  uint8_t* const area = SpareArea(ahead_.output);
  if (area == nullptr) return;
  predecoded_.result = decoder_.Decode(block, std::span<uint8_t>(area, kMaxOriginSize));
  predecoded_.area = area;
  predecoded_.valid = true;
}

bool SyncClient::FinishDecodeAhead() {
  const DecodedBlock decoded = DecodePool::Instance().Wait(&ahead_.job);
  ahead_.active = false;
  // The block takes effect as the current one, as it would have in turn.
  uint8_t* const current = block_;
  block_ = ahead_.input;
  const bool ok = CommitFileData(decoded, ahead_.output, ahead_.head);
  block_ = current;
  return ok;
}

bool SyncClient::HandleFileEnd(uint32_t content_size) {
  if (content_size < 4) {
    ZV_LOG_E("buffer content size(%u) is less than sizeof FileEndBlock", content_size);
    return false;
  }
  if (!LoggedIn()) return SendError(kUnauthenticated);
  if (data_file_ == nullptr) return SendError(kUnknownFileInfo);
  if (!data_file_->IsComplete()) return SendError(kFileUnCompleted);
  if (!data_file_->VerifyCrc(LoadLe32(content()))) return SendError(kFileCrcUnmatched);

  const std::string name = data_file_->file_name();
  const unsigned kb = data_file_->announced_size() / 1024;
  ShowFileRow("Wait for Processing %s(%uKB)!", name.c_str(), kb);
  const auto waited_from = std::chrono::steady_clock::now();
  if (!processing_ && !WaitForProcessing()) return false;
  ZV_LOG_D("Processing %s after %.1fms\n", PrintableName(name).c_str(),
           std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() -
                                                     waited_from).count());
  ShowFileRow("Processing %s(%uKB)!", name.c_str(), kb);

  ServerMetrics& metrics = ServerMetrics::Instance();
  const auto kind = static_cast<size_t>(data_file_->file_type());
  const auto started = std::chrono::steady_clock::now();
  bool keep_session = true;
  const bool processed =
      data_file_->Process([this](unsigned) { return KeepGoingWhileProcessing(); });
  if (kind < ServerMetrics::kFileKinds) {
    metrics.processing_seconds[kind]->Observe(SecondsSince(started));
  }
  if (!processed) {
    ZV_LOG_E("Process failed!");
    keep_session = SendError(kProcessError);
  } else if (!SendValueBlock(kCmdConfirm, 0)) {
    ZV_LOG_E("Reply server confirm failed!");
    keep_session = false;
  } else if (kind < ServerMetrics::kFileKinds) {
    metrics.files_confirmed[kind]->Add();
  }

  ShowFileRow("Complete %s(%uKB)!", name.c_str(), kb);
  const bool config_table = data_file_->file_type() == FileType::kConfigTable;
  data_file_.reset();
  if (host_.IsInteractive()) {
    {
      std::lock_guard<std::mutex> lock(record_mutex_);
      progress_file_.clear();
    }
    progress_size_.store(0, std::memory_order_relaxed);
    progress_done_.store(0, std::memory_order_relaxed);
  }
  RemoveLeftovers(config_table);
  if (processing_) {
    host_.processing_lock().Release();
    processing_ = false;
  }
  return keep_session;
}

bool SyncClient::WaitForProcessing() {
  const uint32_t a = peer_address_;
  const std::string name = PrintableName(data_file_->file_name());
  const std::string activity = FormatString("%s(%u.%u.%u.%u):Processing %s!",
                                             session_key_.c_str(), ZV_IP4(a), name.c_str());
  const auto started = std::chrono::steady_clock::now();
  for (;;) {
    if (host_.processing_lock().Acquire(timeouts_.processing_attempt_ms, activity)) break;
    if (stop_.load()) {
      ZV_LOG_W("Stop required!\n");
      return false;
    }
    if (!SendValueBlock(kCmdPending, kPendingWaiting)) return false;
    last_pending_tick_ = GetTickCount32();
  }
  ServerMetrics::Instance().lock_wait[ServerMetrics::kSessionWaiter]->Observe(
      SecondsSince(started));
  processing_ = true;
  return true;
}

bool SyncClient::KeepGoingWhileProcessing() {
  if (stop_.load()) return false;
  const uint32_t now = GetTickCount32();
  if (now - last_pending_tick_ > timeouts_.pending_interval_ms) {
    if (!SendValueBlock(kCmdPending, kPendingProcessing)) {
      ZV_LOG_E("ReplyServerPending failed!\n");
      return false;
    }
    last_pending_tick_ = now;
  }
  return !stop_.load();
}

void SyncClient::RemoveLeftovers(bool config_table) {
  const std::string data = ZVSyncConfig::Instance().GetMysqlDataPath();
  const SyncAccountRecord& record = position_file_.Records().front();
  const std::string_view storage = FieldText(record.storageName, sizeof record.storageName);
  // The storage name comes from the account file: it only ever names a
  // folder of its own below the data directory.
  if (data.empty() || !IsSafeFileName(storage)) return;
  const std::string folder = TrimPathSeparators(data) + "/" + std::string(storage);
  char pattern[96];
  if (!config_table) {
    std::snprintf(pattern, sizeof(pattern), "/attachment/????????_????_%08X_X.dat",
                  record.deviceId);
    (void)DeletePath(folder + pattern);
  }
  std::snprintf(pattern, sizeof(pattern),
                "/configtable/????????????????????????????????_%08X_*.dat", record.deviceId);
  (void)DeletePath(folder + pattern);
}

}  // namespace zv
