// The watchdog run mode ("Zentrovane.exe -guard"): the loop that keeps the
// service, MariaDB and the companion programs alive.
#pragma once

namespace zv {

// Runs the watchdog loop until it is asked to stop; -1 when another
// watchdog runs, else 0.
//
// NOT BUILT YET: this build has no watchdog. It writes that to the debug
// log and standard error and returns 1 (ERROR_INVALID_FUNCTION).
int RunGuard();

}  // namespace zv
