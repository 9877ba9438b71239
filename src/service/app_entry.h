// The program's entry: prepares the logs, picks the run mode from the
// command line and runs it. Zentrovane.exe's main is only this call.
#pragma once

namespace zv {

inline constexpr const char* kProductVersion = "Korvane ZVSync Server V3.2";
inline constexpr const char* kBuildDate = "Dec 16 2010";

// Exit code of a start without arguments outside systemd: the process was
// not started by the service manager.
inline constexpr int kNotStartedByServiceManager = 1063;
// Exit code for a command line the program does not understand.
inline constexpr int kInvalidCommandLine = 87;

// "Korvane ZVSync Server V3.2 build Dec 16 2010\n"
const char* VersionText();

// What a command line asks for.
enum class RunMode {
  kVersion,        // one argument: v, version
  kUpdate,         // one argument: update
  kGuard,          // one argument: g, guard (the watchdog)
  kApplication,    // a switch: debug, app, application, console, d, a
  kServiceManager, // no arguments
  kHelp,           // a switch: help, ?
  kUnknown,        // anything else
};

// Decides the run mode: the one-argument modes first (after stripping one
// leading "--", "-" or "/", letter case ignored), then the switches.
RunMode ParseRunMode(int argc, const char* const* argv);

// True when systemd started this process (NOTIFY_SOCKET or INVOCATION_ID).
bool StartedByServiceManager();

// The whole program; returns the process exit code.
int ZentrovaneMain(int argc, char** argv);

}  // namespace zv
