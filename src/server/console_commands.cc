#include "server/console_commands.h"

#include <nettle/md5.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <set>
#include <vector>

#include "config/zv_sync_config.h"
#include "log/sync_log.h"
#include "platform/ascii_case.h"
#include "protocol/sync_client.h"
#include "records/account_file.h"
#include "server/session_registry.h"
#include "util/file_util.h"
#include "util/string_format.h"

namespace zv {
namespace {

constexpr const char* kUpdateAccountCommand = "$UPDATE_ACCOUNT$";
constexpr size_t kSyncStateDatagramSize = sizeof(UiCommandHeader) + kRecordSize;  // 5110

std::string UserNameOf(const SyncAccountRecord& record) {
  return std::string(FieldText(record.userName, sizeof(record.userName)));
}

}  // namespace

ConsoleCommands::ConsoleCommands(const CZvAccountFile& accounts, SessionRegistry& sessions,
                                 Actions actions)
    : accounts_(accounts), sessions_(sessions), actions_(std::move(actions)) {}

void ConsoleCommands::RequireLoopThread() const {
  if (!actions_.on_loop()) throw 0;
}

std::string ConsoleCommands::AllowedConsoleAddresses() {
  return actions_.allowed_console_addresses ? actions_.allowed_console_addresses()
                                            : std::string();
}

std::string ConsoleCommands::GetSyncDateDigest(const std::string& user_name) {
  RequireLoopThread();
  for (const SyncAccountRecord& account : accounts_.Records()) {
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

uint32_t ConsoleCommands::HandleAccountCommand(uint8_t* datagram, size_t length,
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
    if (actions_.reload_accounts()) return 0;
    ZV_LOG_C("ReEnableClientConnections failed!\n");
    return 1359;
  }

  ZV_LOG_D("Process user %s's account info!\n", text.c_str());
  actions_.pause_admissions();
  // That user's sessions, and every session not logged in yet (it may be
  // that user's), end; the others go on.
  sessions_.StopIf([&text](const SyncClient& session) {
    SyncAccountRecord record;
    session.GetRecord(&record);
    return record.userName[0] == '\0' || SameUserName(record.userName, text.c_str());
  });

  if (delete_positions) {
    // The name comes from the network: only a plain name may reach the
    // wildcard delete, or "*" would take every client's positions.
    if (!IsSafeFileName(text)) {
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

void ConsoleCommands::ReportSyncState(const uint8_t* datagram, size_t length,
                                      const DatagramPeer& sender) {
  RequireLoopThread();
  if (datagram == nullptr || length < sizeof(UiCommandHeader)) throw 0;

  std::set<std::string> account_names;
  for (const SyncAccountRecord& account : accounts_.Records()) {
    std::string name = UserNameOf(account);
    if (!name.empty()) account_names.insert(std::move(name));
  }

  const std::string folder = ZVSyncConfig::Instance().GetSyncPosDirectory();
  std::vector<std::string> files;
  ListFiles(folder, "*-????????.dat", &files, false);

  // Position files of connected clients. File names are compared without
  // regard to case: a client that logged in with its name in another
  // letter case writes the same file.
  std::set<std::string> in_use;
  sessions_.ForEach([&in_use](const SyncClient& session) {
    SyncAccountRecord record;
    session.GetRecord(&record);
    if (record.userName[0] == '\0') return;
    char name[64];
    std::snprintf(name, sizeof(name), "%s-%08x.dat", UserNameOf(record).c_str(), record.deviceId);
    in_use.insert(ToLowerAscii(name));
  });

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
    if (account_names.count(UserNameOf(record)) == 0) continue;
    record.inUse = in_use.count(ToLowerAscii(file)) ? 1 : 0;
    // The password never leaves the server: any host that can send one
    // datagram would read every account's password otherwise.
    std::memset(record.password, 0, sizeof(record.password));
    std::memcpy(reply.data() + sizeof(UiCommandHeader), &record, kRecordSize);
    if (!actions_.reply(reply.data(), sender)) ZV_LOG_E("Send sync state failed!\n");
  }

  header.size = sizeof(UiCommandHeader);
  if (!actions_.reply(&header, sender)) ZV_LOG_E("Send end sync state failed!\n");
}

}  // namespace zv
