// StatusModel: what the interactive status view shows. Three panes (the
// number of connected sessions, the current activity, the transfer speed)
// and a client list with one row per session key holding its latest event.
// Beside them, refreshed about once a second: the file each session
// receives with its transfer rate, the processing lock's holder and
// waiters, the space of both data disks and the latest operation-log
// entries. Owned by the controller and touched only on its event-loop
// thread; the view draws from a copy.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "log/log_file.h"

namespace zv {

class StatusModel {
 public:
  // The list is emptied when it holds more than this many rows and
  // another row is updated.
  static constexpr size_t kMaxRows = 1000;

  struct Row {
    std::string key;      // column "用户名": the session key
    std::string address;  // column "IP"
    std::string message;  // column "详细信息"
  };

  StatusModel();

  void SetPane(int index, std::string text);  // REQUIRES: 0 <= index < 3
  const std::string& pane(int index) const { return panes_[index]; }

  // Updates the row of key (appending one when the key has none yet) with
  // the address and message. Empties the whole list first when it holds
  // more than kMaxRows rows. An empty key changes nothing.
  void ShowRow(const std::string& key, const std::string& address, const std::string& message);

  const std::vector<Row>& rows() const { return rows_; }
  // Index of the row most recently updated (the one scrolled into view);
  // -1 when the list is empty.
  int current_row() const { return current_row_; }

  // A session as sampled now: its key, the file it receives ("" between
  // files) and the file data it has written so far, all files together.
  struct SessionSample {
    std::string key;
    std::string file_name;
    uint32_t file_size = 0;
    uint32_t file_done = 0;
    uint64_t bytes = 0;
  };
  // The file a session receives and how fast its data comes.
  struct Transfer {
    std::string file_name;
    uint32_t file_size = 0;
    uint32_t file_done = 0;
    uint64_t bytes_per_second = 0;
  };
  // Replaces the transfers by those of samples (sessions without a key are
  // left out). A key's rate is the bytes it wrote since the previous
  // update, over the time between; 0 at its first sample, or when its
  // count went back (a new session of the same key).
  void UpdateTransfers(const std::vector<SessionSample>& samples,
                       std::chrono::steady_clock::time_point now);
  // The transfer of a key's session; null when it has none now.
  const Transfer* transfer(const std::string& key) const;

  struct Disk {
    std::string name;  // as the operation log names it
    bool known = false;  // false: the space could not be read
    uint64_t available_bytes = 0;
    uint64_t total_bytes = 0;
    bool low = false;  // below the minimum a login needs
  };
  void SetDisks(std::vector<Disk> disks) { disks_ = std::move(disks); }
  const std::vector<Disk>& disks() const { return disks_; }

  struct Processing {
    std::string holder;  // the holder's activity; "" while free
    uint32_t held_seconds = 0;
    std::vector<std::string> waiting;  // the waiters' activities
  };
  void SetProcessing(Processing processing) { processing_ = std::move(processing); }
  const Processing& processing() const { return processing_; }

  using LogLine = CZvLogFile::RecentEntry;
  void SetRecentLog(std::vector<LogLine> lines) { recent_log_ = std::move(lines); }
  const std::vector<LogLine>& recent_log() const { return recent_log_; }

 private:
  std::string panes_[3];
  std::vector<Row> rows_;
  std::map<std::string, size_t> row_of_key_;
  int current_row_ = -1;

  struct Sampled {
    uint64_t bytes = 0;
    std::chrono::steady_clock::time_point at;
  };
  std::map<std::string, Transfer> transfers_;
  std::map<std::string, Sampled> sampled_;  // the previous update's, by key
  std::vector<Disk> disks_;
  Processing processing_;
  std::vector<LogLine> recent_log_;
};

// "%u.%u.%u.%u" of an IPv4 address in host byte order, most significant
// byte first.
std::string FormatAddress(uint32_t address);

}  // namespace zv
