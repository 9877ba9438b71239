#include "service/app_entry.h"

#include <strings.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "config/zv_sync_config.h"
#include "crashdump/crash_filter.h"
#include "log/log_file.h"
#include "log/sync_log.h"
#include "service/foreground.h"
#include "util/system_util.h"

namespace zv {
namespace {

// The argument without one leading "--", "-" or "/"; *is_switch tells
// whether one was there.
std::string StripSwitch(const char* argument, bool* is_switch) {
  std::string text(argument);
  *is_switch = true;
  if (text.rfind("--", 0) == 0) return text.substr(2);
  if (!text.empty() && (text[0] == '-' || text[0] == '/')) return text.substr(1);
  *is_switch = false;
  return text;
}

bool Is(const std::string& word, const char* name) { return strcasecmp(word.c_str(), name) == 0; }

void PrintUsage(FILE* out) {
  std::fprintf(out,
               "Usage: Zentrovane.exe [-app | -debug | -console]\n"
               "       Zentrovane.exe -version\n"
               "  -app, -debug, -console  run the server in the foreground until Ctrl+C\n"
               "                          or the stop event\n"
               "  -version                print the version and exit\n"
               "Started by systemd without arguments, it runs as the service.\n");
}

}  // namespace

const char* VersionText() {
  static const std::string text = std::string(kProductVersion) + " build " + kBuildDate + "\n";
  return text.c_str();
}

bool StartedByServiceManager() {
  const char* notify = std::getenv("NOTIFY_SOCKET");
  const char* invocation = std::getenv("INVOCATION_ID");
  return (notify != nullptr && *notify != '\0') || (invocation != nullptr && *invocation != '\0');
}

RunMode ParseRunMode(int argc, const char* const* argv) {
  if (argc == 2) {
    bool is_switch = false;
    std::string word = StripSwitch(argv[1], &is_switch);
    if (Is(word, "g") || Is(word, "guard")) return RunMode::kGuard;
    if (Is(word, "v") || Is(word, "version")) return RunMode::kVersion;
    if (Is(word, "update")) return RunMode::kUpdate;
  }
  if (argc <= 1) return RunMode::kServiceManager;
  RunMode mode = RunMode::kServiceManager;
  for (int i = 1; i < argc; ++i) {
    bool is_switch = false;
    std::string word = StripSwitch(argv[i], &is_switch);
    if (!is_switch) continue;  // plain arguments are ignored
    if (Is(word, "debug") || Is(word, "app") || Is(word, "application") ||
        Is(word, "console") || Is(word, "d") || Is(word, "a")) {
      mode = RunMode::kApplication;
    } else if (Is(word, "help") || Is(word, "?")) {
      if (mode != RunMode::kApplication) mode = RunMode::kHelp;
    } else {
      return RunMode::kUnknown;
    }
  }
  return mode;
}

int ZentrovaneMain(int argc, char** argv) {
  // The operation log creates the configuration (and the home) first.
  CZvLogFile::Instance().Open();
  ZVSyncLog::Instance().SetLevel(ZVSyncConfig::Instance().GetLogLevel());
  // From here on a crash leaves a report in the home folder (unless a
  // debugger is attached: it sees the crash itself).
  InstallCrashFilter(ZVSyncConfig::Instance().GetHomeDirectory(), VersionText());
  SetThreadDebugName(GetCurrentThreadId32(), "MainThread");

  const RunMode mode = ParseRunMode(argc, argv);
  switch (mode) {
    case RunMode::kVersion:
      std::fputs(VersionText(), stdout);
      return 0;
    case RunMode::kUpdate:
      std::puts("Update");
      return 0;
    case RunMode::kGuard:
      std::fputs("The watchdog mode is not available in this build.\n", stderr);
      return kInvalidCommandLine;
    default:
      break;
  }

  // The version text ends with its own line break.
  ZV_LOG_I("%s", VersionText());

  int result = 0;
  switch (mode) {
    case RunMode::kApplication:
      result = RunServerInForeground(/*interactive=*/true);
      break;
    case RunMode::kServiceManager:
      if (!StartedByServiceManager()) {
        result = kNotStartedByServiceManager;
        break;
      }
      result = RunServerInForeground(/*interactive=*/false);
      break;
    case RunMode::kHelp:
      PrintUsage(stdout);
      result = 0;
      break;
    default:
      PrintUsage(stderr);
      result = kInvalidCommandLine;
      break;
  }
  ZV_LOG_D("Service exited with code %u\n", static_cast<unsigned>(result));
  return result;
}

}  // namespace zv
