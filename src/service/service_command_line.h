// CNTServiceCommandLineInfo: what the service switches of a command line
// ask for. Filled one argument at a time by CNTService::ParseArguments;
// read by CNTService::RunCommand. A plain value object.
#pragma once

#include <cstdint>
#include <string>

namespace zv {

class CNTServiceCommandLineInfo {
 public:
  enum Command : uint32_t {
    kRunAsService = 0,       // run under the service manager (no switch)
    kStartTheService = 1,    // start, s
    kPauseService = 2,       // pause
    kContinueService = 3,    // continue
    kStopService = 4,        // stop, e
    kInstallService = 5,     // install, i
    kUninstallService = 6,   // remove, uninstall, u
    kDebugService = 7,       // debug, app, application, console, d, a
    kShowServiceHelp = 8,    // help, ?
  };

  // Takes one argument: param is the text after its one leading "--", "-"
  // or "/", is_switch whether it had one. Plain arguments and words that
  // name no switch are ignored; a prefix switch ("T:", "SCL:", ...) with
  // nothing after it is ignored, and so is a "T:" that is not a number.
  void ParseParam(const std::string& param, bool is_switch);

  // Overwrites the user and password texts with zeros and empties them.
  void WipeCredentials();

  Command command = kRunAsService;
  uint32_t timeout_ms = 5000;  // start, stop, pause, continue, remove
  bool silent = false;
  bool auto_start = false;
  std::string command_line;  // SCL:, extra arguments of the installed command
  std::string service_name;  // SN:
  std::string display_name;  // SDN:
  std::string description;   // SD:
  std::string user;          // U:
  std::string password;      // P:
};

// Overwrites text with zeros and empties it (the compiler may not drop the
// writes).
void WipeString(std::string* text);

}  // namespace zv
