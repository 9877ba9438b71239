#include "server/admission.h"

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <memory>
#include <semaphore>

#include "config/zv_sync_config.h"
#include "log/log_file.h"
#include "log/sync_log.h"
#include "monitor/disk_monitor.h"
#include "records/account_file.h"
#include "util/string_format.h"

namespace zv {

// One authentication waiting for the loop, shared by the sender and the
// closure that carries it. The loop fills in the answer, then moves state
// from waiting to answered; the sender, once its wait ends, moves it from
// waiting to abandoned. Whoever moves it first decides: an abandoned
// request is not checked (or its answer is dropped), an answered one is
// read by the sender.
struct Admission::PendingAuth {
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

Admission::Admission(const CZvAccountFile& accounts, DiskMonitor& disk_monitor, PostFn post,
                     OnLoopFn on_loop)
    : accounts_(accounts),
      disk_monitor_(disk_monitor),
      post_(std::move(post)),
      on_loop_(std::move(on_loop)) {}

uint32_t Admission::Authenticate(const ClientAuthBlock& login, SyncAccountRecord* record) {
  if (record == nullptr) throw 0;
  if (on_loop_()) return CheckAccount(login, record);

  auto pending = std::make_shared<PendingAuth>(login);
  const auto deadline =
      std::chrono::steady_clock::now() + std::chrono::milliseconds(kAuthenticateTimeoutMs);
  const bool posted = post_([this, pending] { AnswerPending(*pending); });
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
  const std::string user(FieldText(login.userName, sizeof(login.userName)));
  ZV_OPLOG(kEventWarning, kModuleSync, "同步器服务端正忙,用户%s的同步请求已被忽略!", user.c_str());
  return kServerBusy;
}

void Admission::AnswerPending(PendingAuth& pending) {
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

uint32_t Admission::CheckAccount(const ClientAuthBlock& login, SyncAccountRecord* record) {
  const std::string user(FieldText(login.userName, sizeof(login.userName)));
  if (paused_) {
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
  for (const SyncAccountRecord& account : accounts_.Records()) {
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

bool Admission::CheckDiskSpace(const std::string& user_name) {
  const uint32_t limit = ZVSyncConfig::Instance().GetMinimumRequiredDiskSpace();
  bool mysql_ok = true;
  bool file_ok = true;
  const bool queried = disk_monitor_.VerifyFreeSpaceBySize(limit, &mysql_ok, &file_ok);
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

}  // namespace zv
