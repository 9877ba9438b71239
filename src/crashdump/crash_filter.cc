#include "crashdump/crash_filter.h"

#include <cxxabi.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <exception>
#include <typeinfo>

#include "crashdump/crash_report.h"
#include "crashdump/dump_setup.h"
#include "crashdump/mini_dump.h"
#include "crashdump/safe_text.h"
#include "log/log_file.h"
#include "util/system_util.h"

namespace zv {
namespace {

constexpr int kCrashSignals[] = {SIGSEGV, SIGBUS, SIGILL, SIGFPE, SIGABRT};
constexpr size_t kAltStackBytes = 256 * 1024;
constexpr const char* kReportName = "Zentrovane";
// How long a second crashing thread waits for the first one's report.
constexpr int kWaitSteps = 600;  // of 100 ms

// Set once by InstallCrashFilter and never freed: the handler may run until
// the last instruction of the process.
const DumpSetup* g_setup = nullptr;
const PreparedLogEntry* g_failure_entry = nullptr;
std::atomic<bool> g_installed{false};
// The kernel id of the thread writing the report; 0 while none is.
std::atomic<pid_t> g_writer{0};
// Filled by the terminate handler just before it aborts.
char g_terminate_reason[1024];
std::atomic<bool> g_have_terminate_reason{false};

pid_t CurrentThreadId() { return static_cast<pid_t>(::syscall(SYS_gettid)); }

// The signal's default action, now: the exit status shows the signal.
[[noreturn]] void DieBySignal(int signal_number) {
  struct sigaction action = {};
  action.sa_handler = SIG_DFL;
  sigemptyset(&action.sa_mask);
  ::sigaction(signal_number, &action, nullptr);
  sigset_t unblock;
  sigemptyset(&unblock);
  sigaddset(&unblock, signal_number);
  ::pthread_sigmask(SIG_UNBLOCK, &unblock, nullptr);
  ::syscall(SYS_tgkill, ::getpid(), CurrentThreadId(), signal_number);
  // All five signals end the process by default; this is never reached.
  ::_exit(128 + signal_number);
}

void OnCrashSignal(int signal_number, siginfo_t* info, void* context) {
  const pid_t self = CurrentThreadId();
  pid_t writer = 0;
  if (!g_writer.compare_exchange_strong(writer, self)) {
    if (writer != self) {
      // Another thread writes the report and then ends the process.
      for (int i = 0; i < kWaitSteps; ++i) {
        struct timespec step = {0, 100 * 1000 * 1000};
        ::nanosleep(&step, nullptr);
      }
    }
    // The writer itself crashed (abort inside the unwinder, say), or it
    // never finished: end without a report.
    DieBySignal(signal_number);
  }

  CrashInfo crash;
  crash.signal_number = signal_number;
  crash.info = info;
  crash.context = context;
  crash.thread_id = static_cast<uint32_t>(self);
  if (signal_number == SIGABRT && g_have_terminate_reason.load()) {
    crash.terminate_reason = g_terminate_reason;
  }
  quennlib::MiniDump dump(*g_setup);
  const int error = dump.WriteDump(kReportName, &crash, nullptr, kDumpSmall);
  if (error != 0) {
    // The error number as eight hexadecimal digits, as the log has always
    // shown it.
    char code_buffer[16];
    SafeText code(code_buffer, sizeof(code_buffer));
    code.Hex(static_cast<uint32_t>(error), 8);
    struct tm local;
    g_setup->ToLocal(::time(nullptr), &local);
    (void)g_failure_entry->Write(local, code.c_str());
  }
  DieBySignal(signal_number);
}

// Notes the uncaught exception for the report, then aborts into the
// SIGABRT handler. Nothing here allocates: the heap may be what failed.
void OnTerminate() {
  SafeText reason(g_terminate_reason, sizeof(g_terminate_reason));
  if (const std::type_info* type = abi::__cxa_current_exception_type()) {
    reason.Add("uncaught exception of type ").Add(type->name());
    try {
      throw;  // the exception in flight; rethrowing it allocates nothing
    } catch (const std::exception& e) {
      reason.Add(": ").Add(e.what());
    } catch (...) {
    }
  } else {
    reason.Add("std::terminate called without an active exception");
  }
  reason.c_str();
  g_have_terminate_reason.store(true);
  std::abort();
}

// The calling thread's alternate signal stack, freed when the thread ends.
struct AltStack {
  void* memory = nullptr;
  size_t bytes = 0;
  ~AltStack() {
    if (memory == nullptr) return;
    stack_t disable = {};
    disable.ss_flags = SS_DISABLE;
    ::sigaltstack(&disable, nullptr);
    ::munmap(memory, bytes);
  }
};
thread_local AltStack t_alt_stack;

}  // namespace

bool AddCrashStackToThisThread() {
  // Without the filter no handler would run on it.
  if (!g_installed.load()) return false;
  if (t_alt_stack.memory != nullptr) return true;
  const long page = ::sysconf(_SC_PAGESIZE);
  const size_t guard = page > 0 ? static_cast<size_t>(page) : 4096;
  const size_t bytes = kAltStackBytes + guard;
  void* memory = ::mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (memory == MAP_FAILED) return false;
  // A guard page below, so that a handler that runs out of room faults
  // instead of writing over other memory.
  ::mprotect(memory, guard, PROT_NONE);
  stack_t stack = {};
  stack.ss_sp = static_cast<char*>(memory) + guard;
  stack.ss_size = kAltStackBytes;
  if (::sigaltstack(&stack, nullptr) != 0) {
    ::munmap(memory, bytes);
    return false;
  }
  t_alt_stack.memory = memory;
  t_alt_stack.bytes = bytes;
  return true;
}

bool InstallCrashFilter(const std::string& folder, const char* version_text) {
  // Under a debugger the crash is the debugger's to see.
  if (IsDebuggerAttached()) return false;
  bool expected = false;
  if (!g_installed.compare_exchange_strong(expected, true)) return false;

  auto* setup = new DumpSetup();
  if (!setup->Prepare(folder, version_text)) {
    delete setup;
    g_installed.store(false);
    return false;
  }
  auto* entry = new PreparedLogEntry();
  CZvLogFile::Instance().PrepareEntry(kEventWarning, kModuleSync, "不能创建转储文件,错误号:", entry);
  PrepareBacktraces();
  g_setup = setup;
  g_failure_entry = entry;

  (void)AddCrashStackToThisThread();
  struct sigaction action = {};
  action.sa_sigaction = OnCrashSignal;
  action.sa_flags = SA_SIGINFO | SA_ONSTACK;
  // A second fault inside the handler then ends the process at once.
  sigemptyset(&action.sa_mask);
  for (int signal_number : kCrashSignals) sigaddset(&action.sa_mask, signal_number);
  for (int signal_number : kCrashSignals) ::sigaction(signal_number, &action, nullptr);
  std::set_terminate(OnTerminate);
  return true;
}

}  // namespace zv
