#include "crashdump/fatal_stop.h"

#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <thread>

#include "log/sync_log.h"

namespace zv {
namespace {

std::atomic<unsigned> g_delay_ms{5000};

}  // namespace

void SetFatalStopDelayForTesting(unsigned milliseconds) { g_delay_ms.store(milliseconds); }

void FatalStop(const char* format, ...) {
  char reason[1024] = "";
  if (format != nullptr) {
    va_list args;
    va_start(args, format);
    std::vsnprintf(reason, sizeof(reason), format, args);
    va_end(args);
  }
  size_t end = std::strlen(reason);
  while (end > 0 && std::strchr("\r\n\t ", reason[end - 1]) != nullptr) --end;
  reason[end] = '\0';

  ZV_LOG_C("Process will be terminated in 5 seconds,reason:%s\n\n\n\n", reason);
  std::this_thread::sleep_for(std::chrono::milliseconds(g_delay_ms.load()));
  // Lines handed to the log's writer (the loop's) go out first, unless the
  // disk does not take them within a second.
  (void)ZVSyncLog::Instance().Flush(1000);
  // Ends at once, like a kill: no exit handlers, no static destructors
  // racing with the threads that still run. Both logs flush every line.
  _exit(0);
}

}  // namespace zv
