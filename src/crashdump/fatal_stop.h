// FatalStop: the last resort for a condition the program cannot run
// without. Writes the reason to the debug log (critical), waits five
// seconds and ends the process with exit code 0.
#pragma once

namespace zv {

[[noreturn]] void FatalStop(const char* format, ...) __attribute__((format(printf, 1, 2)));

}  // namespace zv
