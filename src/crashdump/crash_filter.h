// The process-wide crash filter: when a thread dies of SIGSEGV, SIGBUS,
// SIGILL, SIGFPE or SIGABRT (std::terminate ends in SIGABRT too, after
// noting the uncaught exception), a report Zentrovane_YYYYMMDD_hhmmss.dmp is
// written to the home folder (quennlib::MiniDump, kind 0), a report that
// cannot be written is noted in the operation log, and the signal's default
// action then ends the process, so that systemd and the watchdog see the
// crash and start the server again.
//
// Everything after the crash is async-signal-safe: what the report needs is
// gathered at installation, and the handler runs on an alternate signal
// stack, so a thread that overflowed its stack still gets its report.
// While one thread writes a report, another thread that crashes waits for
// the process to end.
#pragma once

#include <string>

namespace zv {

// Installs the filter once for the process: folder is where reports go
// (the home folder), version_text the program's version text. Gives the
// calling thread an alternate signal stack. Installs nothing and returns
// false when a debugger is attached (it should see the crash itself), when
// the filter is installed already, or when its memory cannot be had.
bool InstallCrashFilter(const std::string& folder, const char* version_text);

// Gives the calling thread an alternate signal stack (freed when the thread
// ends), so that the overflow of its own stack is reported too; any other
// crash of a thread is reported without it. False when none could be made,
// or when the filter is not installed (the stack would serve nothing).
bool AddCrashStackToThisThread();

}  // namespace zv
