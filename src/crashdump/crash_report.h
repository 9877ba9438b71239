// The text of a crash report: what an engineer needs to find the fault
// from the file alone. Sections, in order:
//
//   "Zentrovane crash report" header: version text, build id, executable,
//       process id, local time, dump kind
//   Signal, code, faulting address, sender, the faulting thread's id and
//       name, and the uncaught exception when std::terminate was the cause
//   Registers of the faulting thread (x86_64; other machines omit them)
//   Backtrace of the faulting thread: each frame's address, module and
//       offset within it (what addr2line -e MODULE takes) and, when the
//       symbol table has it, the function's (mangled) name and offset
//   Threads (id and name) and Open files
//   Memory maps: /proc/self/maps as it was
//   Memory: what the dump kind adds (below), as hexadecimal lines
//   "End of report"
//
// Everything here is async-signal-safe: it reads /proc with open and read,
// memory through /proc/self/mem (an unreadable address is reported, never
// touched), and builds text in the setup's scratch memory.
#pragma once

#include <signal.h>

#include <cstdint>
#include <ctime>

#include "crashdump/dump_setup.h"
#include "crashdump/safe_text.h"

namespace zv {

// What the crash handler knows about the crash.
struct CrashInfo {
  int signal_number = 0;
  const siginfo_t* info = nullptr;
  const void* context = nullptr;  // the handler's ucontext_t
  uint32_t thread_id = 0;         // the faulting thread
  // The uncaught exception (type and what()) when std::terminate led to
  // the crash; null otherwise.
  const char* terminate_reason = nullptr;
};

// Decides for kind 1 whether a module's data segments go into the report.
using ModuleFilter = bool (*)(const char* module_path);

// How much memory each kind adds to the report.
enum DumpKind : int {
  // The faulting thread's stack from its stack pointer (16 KiB at most) and
  // 256 bytes around every register that points into mapped memory.
  kDumpSmall = 0,
  // kDumpSmall, plus all private writable memory: the heap, thread stacks
  // and anonymous mappings, and the data segments of the modules the
  // ModuleFilter accepts (none without one).
  kDumpData = 1,
  // kDumpSmall, plus every readable mapping.
  kDumpFull = 2,
};

// Writes the whole report to out. crash may be null: the report then
// describes the calling thread at the moment of the call. now: the time the
// report carries.
void WriteCrashReport(const DumpSetup& setup, const CrashInfo* crash, int kind,
                      ModuleFilter filter, time_t now, SafeText& out);

// Readies the unwinder for use inside a signal handler: no caches shared
// between threads, and its lazy start-up done now rather than after a
// crash. Not async-signal-safe; call once before any report.
void PrepareBacktraces();

// The name of a crash signal ("SIGSEGV"), or "signal".
const char* SignalName(int signal_number);

}  // namespace zv
