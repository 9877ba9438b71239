#include "server/server_processing_lock.h"

#include <chrono>
#include <thread>

namespace zv {
namespace {

// The pause between two looks at the importer's mutex.
constexpr uint32_t kImporterCheckStepMs = 100;

}  // namespace

ServerProcessingLock::ServerProcessingLock(std::function<bool()> importer_busy,
                                           std::function<void(const std::string&)> show_activity)
    : importer_busy_(std::move(importer_busy)), show_activity_(std::move(show_activity)) {}

bool ServerProcessingLock::Acquire(uint32_t timeout_ms, const std::string& activity) {
  std::list<std::string>::iterator waiter;
  {
    std::lock_guard<std::mutex> lock(mu_);
    waiter = waiting_.insert(waiting_.end(), activity);
  }
  uint32_t left = timeout_ms;
  bool acquired = true;
  while (acquired && importer_busy_()) {
    if (left == 0) {
      acquired = false;
      break;
    }
    const uint32_t step = left < kImporterCheckStepMs ? left : kImporterCheckStepMs;
    std::this_thread::sleep_for(std::chrono::milliseconds(step));
    left -= step;
  }
  {
    std::unique_lock<std::mutex> lock(mu_);
    if (acquired) {
      acquired =
          released_.wait_for(lock, std::chrono::milliseconds(left), [this] { return !held_; });
    }
    waiting_.erase(waiter);
    if (!acquired) return false;
    held_ = true;
    holder_ = activity;
    held_since_ = std::chrono::steady_clock::now();
  }
  if (!activity.empty()) show_activity_(activity);
  return true;
}

void ServerProcessingLock::Release() {
  {
    std::lock_guard<std::mutex> lock(mu_);
    held_ = false;
    holder_.clear();
  }
  released_.notify_one();
  show_activity_("Idle");
}

ServerProcessingLock::State ServerProcessingLock::GetState() const {
  std::lock_guard<std::mutex> lock(mu_);
  return State{held_, holder_, held_since_,
               std::vector<std::string>(waiting_.begin(), waiting_.end())};
}

}  // namespace zv
