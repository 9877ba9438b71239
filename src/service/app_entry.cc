#include "service/app_entry.h"

#include <string.h>
#include <strings.h>

#include <cctype>
#include <cstdio>
#include <string>

#include "config/zv_sync_config.h"
#include "crashdump/crash_filter.h"
#include "log/log_file.h"
#include "log/sync_log.h"
#include "platform/process.h"
#include "service/guard_entry.h"
#include "service/zv_sync_service.h"
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

bool IsAny(const std::string& word, std::initializer_list<const char*> names) {
  for (const char* name : names) {
    if (strcasecmp(word.c_str(), name) == 0) return true;
  }
  return false;
}

bool HasPrefix(const std::string& word, const char* prefix) {
  return strncasecmp(word.c_str(), prefix, strlen(prefix)) == 0;
}

// Switches of the service framework that carry a value.
constexpr const char* kValueSwitches[] = {"T:", "SCL:", "SDN:", "SD:", "SN:", "P:", "U:"};

// The password of "P:..." stays in the process's command line, which any
// user may read in /proc: overwrite it there once it has been parsed.
void WipePasswordArguments(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    char* text = argv[i];
    if (text[0] == '-' && text[1] == '-') {
      text += 2;
    } else if (text[0] == '-' || text[0] == '/') {
      text += 1;
    } else {
      continue;
    }
    if (HasPrefix(text, "P:")) memset(text + 2, '*', strlen(text + 2));
  }
}

// What one switch (without its prefix) asks for: a command's mode,
// kServiceManager for a switch that only sets something, kUnknown.
RunMode ClassifySwitch(const std::string& word) {
  if (IsAny(word, {"debug", "app", "application", "console", "d", "a"})) {
    return RunMode::kApplication;
  }
  if (IsAny(word, {"help", "?"})) return RunMode::kHelp;
  if (IsAny(word, {"install", "i", "remove", "uninstall", "u", "start", "s", "stop", "e", "pause",
                   "continue"})) {
    return RunMode::kServiceCommand;
  }
  if (IsAny(word, {"auto", "silent"})) return RunMode::kServiceManager;
  for (const char* prefix : kValueSwitches) {
    if (HasPrefix(word, prefix)) return RunMode::kServiceManager;
  }
  return RunMode::kUnknown;
}

}  // namespace

const char* VersionText() {
  static const std::string text = std::string(kProductVersion) + " build " + kBuildDate + "\n";
  return text.c_str();
}

RunMode ParseRunMode(int argc, const char* const* argv) {
  if (argc == 2) {
    bool is_switch = false;
    std::string word = StripSwitch(argv[1], &is_switch);
    if (IsAny(word, {"g", "guard"})) return RunMode::kGuard;
    if (IsAny(word, {"v", "version"})) return RunMode::kVersion;
    if (IsAny(word, {"update"})) return RunMode::kUpdate;
  }
  RunMode mode = RunMode::kServiceManager;
  for (int i = 1; i < argc; ++i) {
    bool is_switch = false;
    std::string word = StripSwitch(argv[i], &is_switch);
    if (!is_switch) continue;  // plain arguments are ignored
    RunMode kind = ClassifySwitch(word);
    if (kind == RunMode::kUnknown) return kind;
    if (kind != RunMode::kServiceManager) mode = kind;
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
    case RunMode::kGuard:
      return RunGuard();
    case RunMode::kVersion:
      std::fputs(VersionText(), stdout);
      return 0;
    case RunMode::kUpdate:
      std::puts("Update");
      return 0;
    case RunMode::kUnknown:
      // The framework goes on without them; a typing error should not pass
      // unseen.
      for (int i = 1; i < argc; ++i) {
        bool is_switch = false;
        std::string word = StripSwitch(argv[i], &is_switch);
        if (is_switch && ClassifySwitch(word) == RunMode::kUnknown) {
          std::fprintf(stderr, "Zentrovane.exe: unknown switch \"%s\" ignored\n", argv[i]);
        }
      }
      PrintUsage(stderr);
      break;
    default:
      break;
  }

  // The version text ends with its own line break.
  ZV_LOG_I("%s", VersionText());
  ZV_LOG_I("Open descriptors limit %llu\n",
           static_cast<unsigned long long>(RaiseDescriptorLimit()));

  ZVSyncService service(ServiceSystem::FromEnvironment());
  // The installed command may carry extra arguments; the service's name,
  // display name and description stay as they are.
  service.set_allow_command_line(true);
  service.set_allow_name_change(false);
  service.set_allow_display_name_change(false);
  service.set_allow_description_change(false);

  CNTServiceCommandLineInfo info;
  service.ParseArguments(argc, argv, &info);
  WipePasswordArguments(argc, argv);
  if (argc <= 1 && IsDebuggerAttached()) info.command = CNTServiceCommandLineInfo::kDebugService;
  if (info.command == CNTServiceCommandLineInfo::kDebugService) service.set_interactive(true);
  // Failures reach the caller as the exit code, the debug log and the
  // journal, never as text on a terminal.
  info.silent = true;

  const uint32_t result = service.RunCommand(info);
  ZV_LOG_D("Service exited with code %u\n", result);
  return static_cast<int>(result);
}

}  // namespace zv
