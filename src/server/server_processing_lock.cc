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
  uint32_t left = timeout_ms;
  while (importer_busy_()) {
    if (left == 0) return false;
    const uint32_t step = left < kImporterCheckStepMs ? left : kImporterCheckStepMs;
    std::this_thread::sleep_for(std::chrono::milliseconds(step));
    left -= step;
  }
  {
    std::unique_lock<std::mutex> lock(mu_);
    if (!released_.wait_for(lock, std::chrono::milliseconds(left), [this] { return !held_; })) {
      return false;
    }
    held_ = true;
  }
  if (!activity.empty()) show_activity_(activity);
  return true;
}

void ServerProcessingLock::Release() {
  {
    std::lock_guard<std::mutex> lock(mu_);
    held_ = false;
  }
  released_.notify_one();
  show_activity_("Idle");
}

}  // namespace zv
