// ConsoleCommands: what the management console's two channels ask of the
// server. Over the UI channel: an account changed (a user name: that user's
// sessions and every session not yet logged in are stopped, admissions
// pause, and with deletion the user's position files go; "$UPDATE_ACCOUNT$":
// the accounts are reloaded and admissions resume), and the sync state of
// every position file. Over the sync-info service: the digest of an
// account's sync schedule.
//
// Owned by the controller; every operation runs on its loop thread (else
// throws 0), the only thread that reads the account list and the sessions.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

#include "protocol/sync_info_socket.h"
#include "protocol/ui_socket.h"

namespace zv {

class CZvAccountFile;
class SessionRegistry;

class ConsoleCommands final : public UiCommandHandler, public SyncDigestSource {
 public:
  // What the commands make the server do beyond reading and stopping.
  struct Actions {
    // Whether the calling thread is the loop's.
    std::function<bool()> on_loop;
    // A user's account changes: admissions pause until the accounts are
    // reloaded (or a while after the last such command).
    std::function<void()> pause_admissions;
    // Reloads the accounts and resumes admissions; false when the reload
    // failed (the server then stops).
    std::function<bool()> reload_accounts;
    // Sends one console datagram of its own size field back to a peer.
    std::function<bool(const void* datagram, const DatagramPeer& to)> reply;
    // The allow-list of the UI channel (none: every sender).
    std::function<std::string()> allowed_console_addresses;
  };

  // accounts and sessions outlive the commands.
  ConsoleCommands(const CZvAccountFile& accounts, SessionRegistry& sessions, Actions actions);
  ConsoleCommands(const ConsoleCommands&) = delete;
  ConsoleCommands& operator=(const ConsoleCommands&) = delete;

  // Commands 2 (with deletion) and 3: 0, or 87 for a datagram without text,
  // 1359 when the reload failed.
  uint32_t HandleAccountCommand(uint8_t* datagram, size_t length, bool delete_positions) override;
  // Command 4: one datagram per position file of a known account, then the
  // header alone as the end.
  void ReportSyncState(const uint8_t* datagram, size_t length,
                       const DatagramPeer& sender) override;
  // The MD5 of the first matching account's six schedule bytes as 32
  // upper-case hex digits; "" without such an account.
  std::string GetSyncDateDigest(const std::string& user_name) override;
  std::string AllowedConsoleAddresses() override;

 private:
  void RequireLoopThread() const;

  // Constant after construction.
  const CZvAccountFile& accounts_;
  SessionRegistry& sessions_;
  const Actions actions_;
};

}  // namespace zv
