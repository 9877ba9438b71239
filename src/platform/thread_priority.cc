#include "platform/thread_priority.h"

#include <errno.h>
#include <sched.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace zv {
namespace {

id_t ThisThread() { return static_cast<id_t>(syscall(SYS_gettid)); }

}  // namespace

bool RaiseThreadPriority(int nice, int* previous) {
  const id_t tid = ThisThread();
  errno = 0;
  *previous = getpriority(PRIO_PROCESS, tid);
  if (errno != 0 || *previous <= nice) return true;
  struct sched_param param = {};
  return sched_setscheduler(0, SCHED_OTHER | SCHED_RESET_ON_FORK, &param) == 0 &&
         setpriority(PRIO_PROCESS, tid, nice) == 0;
}

void RestoreThreadPriority(int previous) {
  (void)setpriority(PRIO_PROCESS, ThisThread(), previous);
  struct sched_param param = {};
  (void)sched_setscheduler(0, SCHED_OTHER, &param);
}

}  // namespace zv
