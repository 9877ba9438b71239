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

void StatusModel::UpdateTransfers(const std::vector<SessionSample>& samples,
                                  std::chrono::steady_clock::time_point now) {
  std::map<std::string, Transfer> transfers;
  std::map<std::string, Sampled> sampled;
  for (const SessionSample& sample : samples) {
    if (sample.key.empty()) continue;
    uint64_t rate = 0;
    auto before = sampled_.find(sample.key);
    if (before != sampled_.end() && sample.bytes >= before->second.bytes) {
      const auto elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(
          now - before->second.at);
      if (elapsed.count() > 0) {
        rate = (sample.bytes - before->second.bytes) * 1000 /
               static_cast<uint64_t>(elapsed.count());
      }
    }
    sampled[sample.key] = Sampled{sample.bytes, now};
    if (!sample.file_name.empty()) {
      transfers[sample.key] =
          Transfer{sample.file_name, sample.file_size, sample.file_done, rate};
    }
  }
  transfers_ = std::move(transfers);
  sampled_ = std::move(sampled);
}

const StatusModel::Transfer* StatusModel::transfer(const std::string& key) const {
  auto it = transfers_.find(key);
  return it == transfers_.end() ? nullptr : &it->second;
}

std::string FormatAddress(uint32_t address) {
  char text[16];
  std::snprintf(text, sizeof(text), "%u.%u.%u.%u", (address >> 24) & 0xFFu,
                (address >> 16) & 0xFFu, (address >> 8) & 0xFFu, address & 0xFFu);
  return text;
}

}  // namespace zv
