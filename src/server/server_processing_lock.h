// ServerProcessingLock: the server's processing lock (see
// db/processing_lock.h). A session holds it while its finished file is
// processed, the disk monitor while it deletes and counts; taking it first
// waits until no importer of another process runs (the importer's named
// mutex is gone), then for the lock itself, within one time-out.
//
// Owned by the controller, which hands it to the sessions (through their
// host) and to the disk monitor. Any thread may call both operations; the
// thread that releases need not be the one that acquired.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <list>
#include <mutex>
#include <string>
#include <vector>

#include "db/processing_lock.h"

namespace zv {

class ServerProcessingLock final : public ProcessingLock {
 public:
  // importer_busy: whether an importer holds its named mutex now (the
  // controller passes the importer control's check). show_activity: sets
  // the activity text of the status view; any thread may call it.
  ServerProcessingLock(std::function<bool()> importer_busy,
                       std::function<void(const std::string&)> show_activity);

  // While the importer is busy: false when no time is left, else a pause of
  // up to 100 ms taken from the time-out. Then waits for the lock with what
  // is left. On success a non-empty activity becomes the activity text.
  [[nodiscard]] bool Acquire(uint32_t timeout_ms, const std::string& activity) override;
  // Frees the lock and sets the activity text to "Idle".
  void Release() override;

  // Who holds the lock and who waits in Acquire now, each by the activity
  // it gave, waiters in the order they came (for the status view).
  struct State {
    bool held = false;
    std::string holder;
    std::chrono::steady_clock::time_point held_since;
    std::vector<std::string> waiting;
  };
  State GetState() const;

 private:
  // Constant after construction.
  const std::function<bool()> importer_busy_;
  const std::function<void(const std::string&)> show_activity_;

  // A flag under a mutex rather than a mutex held across the processing,
  // so that another thread may release it.
  mutable std::mutex mu_;
  std::condition_variable released_;
  bool held_ = false;  // guarded by mu_
  // Guarded by mu_: for the view only.
  std::string holder_;
  std::chrono::steady_clock::time_point held_since_;
  std::list<std::string> waiting_;
};

}  // namespace zv
