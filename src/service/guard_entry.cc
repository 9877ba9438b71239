#include "service/guard_entry.h"

#include <cstdio>

#include "log/sync_log.h"

namespace zv {

int RunGuard() {
  ZV_LOG_E("The watchdog is not built into this program yet!\n");
  std::fputs("The watchdog mode is not available in this build.\n", stderr);
  return 1;
}

}  // namespace zv
