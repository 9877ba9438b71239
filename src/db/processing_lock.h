// ProcessingLock: the server's one lock over heavy work. A session holds it
// while its finished file is processed (statistics rows, file list,
// importer run); the disk monitor holds it while it deletes old days and
// counts sizes. So no file is imported while the monitor deletes, and one
// import runs at a time.
//
// The controller owns the implementation; sessions and the disk monitor
// are handed a reference. Any thread may call both operations.
#pragma once

#include <cstdint>
#include <string>

namespace zv {

class ProcessingLock {
 public:
  virtual ~ProcessingLock() = default;

  // Waits until the importer is idle (its named mutex is gone), then for the
  // lock, within timeout_ms in all. On success a non-empty activity becomes
  // the status text of the interactive view.
  [[nodiscard]] virtual bool Acquire(uint32_t timeout_ms, const std::string& activity) = 0;

  // Gives the lock back and sets the status text back to "Idle". The thread
  // that releases need not be the one that acquired.
  virtual void Release() = 0;
};

}  // namespace zv
