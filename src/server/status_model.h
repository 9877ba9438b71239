// StatusModel: what the interactive status view shows. Three panes (the
// number of connected sessions, the current activity, the transfer speed)
// and a client list with one row per session key holding its latest event.
// Owned by the controller and touched only on its event-loop thread; the
// view draws from a copy.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

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

 private:
  std::string panes_[3];
  std::vector<Row> rows_;
  std::map<std::string, size_t> row_of_key_;
  int current_row_ = -1;
};

// "%u.%u.%u.%u" of an IPv4 address in host byte order, most significant
// byte first.
std::string FormatAddress(uint32_t address);

}  // namespace zv
