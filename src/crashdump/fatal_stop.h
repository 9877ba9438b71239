// FatalStop: the last resort for a condition the program cannot run
// without. Writes the reason to the debug log (critical), waits five
// seconds and ends the process with exit code 0. Any thread may call it;
// the others run on during the wait.
#pragma once

namespace zv {

[[noreturn]] void FatalStop(const char* format, ...) __attribute__((format(printf, 1, 2)));

// For tests: the wait before the process ends (default 5,000 ms).
void SetFatalStopDelayForTesting(unsigned milliseconds);

}  // namespace zv
