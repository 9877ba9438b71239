// crash_child MODE [OPERATION_LOG_FOLDER]: a test program that installs the
// crash filter (reports go to the home folder, $ZENTROVANE_HOME), prints
// whether it is installed, then crashes the way MODE says:
//   null-write         writes through a null pointer (SIGSEGV)
//   stack-overflow     recurses until the stack is gone (SIGSEGV)
//   abort              calls abort() (SIGABRT)
//   exception          lets an exception escape (std::terminate, SIGABRT)
//   thread-null-write  a null write on a second thread named "CrashWorker"
// Exits with 0 when nothing crashed, 2 for an unknown mode. Not shipped.
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <stdexcept>
#include <string>
#include <thread>

#include "platform/process.h"
#include "crashdump/crash_filter.h"
#include "log/log_file.h"
#include "util/system_util.h"

namespace {

// Read through volatile globals, so that the compiler cannot see the null
// pointer or the end of the recursion and drop or rewrite the crash.
volatile int* volatile g_nowhere = nullptr;
volatile int g_depth_limit = INT_MAX;

__attribute__((noinline)) void CrashByNullWrite() { *g_nowhere = 1; }

__attribute__((noinline)) int CrashByStackOverflow(int depth) {
  volatile char frame[512];
  frame[0] = static_cast<char>(depth);
  if (depth >= g_depth_limit) return frame[0];
  return CrashByStackOverflow(depth + 1) + frame[0];  // not a tail call
}

__attribute__((noinline)) void CrashByAbort() { std::abort(); }

__attribute__((noinline)) void CrashByThrow() { throw std::runtime_error("thrown on purpose"); }

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) return 2;
  const std::string mode = argv[1];
  if (argc >= 3) zv::CZvLogFile::Instance().SetDirectoryForTesting(argv[2]);
  zv::SetThreadDebugName(0, "CrashMain");
  const bool installed = zv::InstallCrashFilter(zv::HomeDirectory(),
                                                "crash child 1.0 build test\n");
  std::printf("crash filter %s\n", installed ? "installed" : "not installed");
  std::fflush(stdout);

  if (mode == "null-write") {
    CrashByNullWrite();
  } else if (mode == "stack-overflow") {
    std::printf("%d\n", CrashByStackOverflow(0));
  } else if (mode == "abort") {
    CrashByAbort();
  } else if (mode == "exception") {
    CrashByThrow();
  } else if (mode == "thread-null-write") {
    std::thread worker([] {
      zv::SetThreadDebugName(0, "CrashWorker");
      CrashByNullWrite();
    });
    worker.join();
  } else if (mode == "thread-stack-overflow") {
    std::thread worker([] {
      zv::SetThreadDebugName(0, "CrashWorker");
      zv::AddCrashStackToThisThread();
      std::printf("%d\n", CrashByStackOverflow(0));
    });
    worker.join();
  } else {
    return 2;
  }
  return 0;
}
