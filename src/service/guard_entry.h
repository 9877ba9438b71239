// The watchdog run mode ("Zentrovane.exe -guard"): the loop that keeps the
// service, MariaDB, the process manager and Timer.exe alive (watchdog.h).
#pragma once

namespace zv {

// Runs the watchdog loop until it is asked to stop (its event, or SIGTERM,
// SIGINT or SIGHUP); -1 when another watchdog runs, else 0.
int RunGuard();

}  // namespace zv
