#include "service/guard_entry.h"

#include <memory>

#include "config/zv_sync_config.h"
#include "platform/service_manager.h"
#include "service/watchdog.h"

namespace zv {

int RunGuard() {
  std::unique_ptr<ServiceManager> manager = CreateSystemdServiceManager();
  std::unique_ptr<ProcessTable> processes = CreateSystemProcessTable();
  WatchDogGuard guard(*manager, *processes, ZVSyncConfig::Instance().GetHomeDirectory());
  return guard.Run();
}

}  // namespace zv
