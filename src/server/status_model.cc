#include "server/status_model.h"

#include <cstdio>

namespace zv {

StatusModel::StatusModel() {
  panes_[0] = "";
  panes_[1] = "Idle";
  panes_[2] = "T:0KB/s F:0KB/s";
}

void StatusModel::SetPane(int index, std::string text) {
  if (index < 0 || index > 2) throw 0;
  panes_[index] = std::move(text);
}

void StatusModel::ShowRow(const std::string& key, const std::string& address,
                          const std::string& message) {
  if (key.empty()) return;
  if (rows_.size() > kMaxRows) {
    rows_.clear();
    row_of_key_.clear();
  }
  auto it = row_of_key_.find(key);
  size_t index;
  if (it == row_of_key_.end()) {
    index = rows_.size();
    rows_.push_back(Row{key, "", ""});
    row_of_key_.emplace(key, index);
  } else {
    index = it->second;
  }
  rows_[index].address = address;
  rows_[index].message = message;
  current_row_ = static_cast<int>(index);
}

std::string FormatAddress(uint32_t address) {
  char text[16];
  std::snprintf(text, sizeof(text), "%u.%u.%u.%u", (address >> 24) & 0xFFu,
                (address >> 16) & 0xFFu, (address >> 8) & 0xFFu, address & 0xFFu);
  return text;
}

}  // namespace zv
