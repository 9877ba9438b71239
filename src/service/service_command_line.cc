#include "service/service_command_line.h"

#include <string.h>
#include <strings.h>

#include <cctype>

namespace zv {
namespace {

std::string Upper(std::string text) {
  for (char& c : text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return text;
}

bool IsWord(const std::string& param, const char* word) {
  return strcasecmp(param.c_str(), word) == 0;
}

// The text after prefix (matched against the upper-cased switch), taken as
// written; false when the switch does not start with it or nothing follows.
bool AfterPrefix(const std::string& param, const std::string& upper, const char* prefix,
                 std::string* value) {
  const size_t n = strlen(prefix);
  if (upper.compare(0, n, prefix) != 0 || param.size() == n) return false;
  *value = param.substr(n);
  return true;
}

// A time-out in milliseconds: decimal digits only, at most 2^32 - 1.
bool ParseTimeout(const std::string& digits, uint32_t* value) {
  if (digits.empty() || digits.size() > 10) return false;
  uint64_t v = 0;
  for (char c : digits) {
    if (c < '0' || c > '9') return false;
    v = v * 10 + static_cast<uint64_t>(c - '0');
  }
  if (v > 0xFFFFFFFFull) return false;
  *value = static_cast<uint32_t>(v);
  return true;
}

}  // namespace

void WipeString(std::string* text) {
  if (!text->empty()) explicit_bzero(text->data(), text->size());
  text->clear();
}

void CNTServiceCommandLineInfo::WipeCredentials() {
  WipeString(&user);
  WipeString(&password);
}

void CNTServiceCommandLineInfo::ParseParam(const std::string& param, bool is_switch) {
  if (!is_switch) return;
  if (IsWord(param, "install") || IsWord(param, "i")) {
    command = kInstallService;
  } else if (IsWord(param, "silent")) {
    silent = true;
  } else if (IsWord(param, "start") || IsWord(param, "s")) {
    command = kStartTheService;
  } else if (IsWord(param, "pause")) {
    command = kPauseService;
  } else if (IsWord(param, "continue")) {
    command = kContinueService;
  } else if (IsWord(param, "stop") || IsWord(param, "e")) {
    command = kStopService;
  } else if (IsWord(param, "auto")) {
    auto_start = true;
  } else if (IsWord(param, "remove") || IsWord(param, "uninstall") || IsWord(param, "u")) {
    command = kUninstallService;
  } else if (IsWord(param, "debug") || IsWord(param, "app") || IsWord(param, "application") ||
             IsWord(param, "console") || IsWord(param, "d") || IsWord(param, "a")) {
    command = kDebugService;
  } else if (IsWord(param, "help") || IsWord(param, "?")) {
    command = kShowServiceHelp;
  } else {
    const std::string upper = Upper(param);
    std::string value;
    uint32_t timeout = 0;
    if (AfterPrefix(param, upper, "T:", &value)) {
      if (ParseTimeout(value, &timeout)) timeout_ms = timeout;
    } else if (AfterPrefix(param, upper, "SCL:", &value)) {
      command_line = value;
    } else if (AfterPrefix(param, upper, "SDN:", &value)) {
      display_name = value;
    } else if (AfterPrefix(param, upper, "SD:", &value)) {
      description = value;
    } else if (AfterPrefix(param, upper, "SN:", &value)) {
      service_name = value;
    } else if (AfterPrefix(param, upper, "P:", &value)) {
      WipeString(&password);
      password = value;
      WipeString(&value);
    } else if (AfterPrefix(param, upper, "U:", &value)) {
      user = value;
    }
  }
}

}  // namespace zv
