// The program's entry: prepares the logs, picks the run mode from the
// command line and runs it. Zentrovane.exe's main is only this call.
#pragma once

#include "platform/service_notify.h"

namespace zv {

inline constexpr const char* kProductVersion = "Korvane ZVSync Server V3.2";
inline constexpr const char* kBuildDate = "Dec 16 2010";

// Exit code of a start without arguments outside systemd: the process was
// not started by the service manager (the process ends with its low
// eight bits, 39).
inline constexpr int kNotStartedByServiceManager = 1063;

// "Korvane ZVSync Server V3.2 build Dec 16 2010\n"
const char* VersionText();

// What a command line asks for.
enum class RunMode {
  kVersion,         // one argument: v, version
  kUpdate,          // one argument: update
  kGuard,           // one argument: g, guard (the watchdog)
  kApplication,     // a switch: debug, app, application, console, d, a
  kServiceManager,  // no command switch: run under systemd
  kHelp,            // a switch: help, ?
  kServiceCommand,  // a switch: install, remove, start, stop, pause, continue
  kUnknown,         // a switch neither the run modes nor the service framework know
};

// Decides the run mode: the one-argument modes first (after stripping one
// leading "--", "-" or "/", letter case ignored), then the service
// switches, of which the last command counts. Every mode but the first
// three goes to the service framework, which ignores unknown switches.
RunMode ParseRunMode(int argc, const char* const* argv);

// The whole program; returns the process exit code.
int ZentrovaneMain(int argc, char** argv);

}  // namespace zv
