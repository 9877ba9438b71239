// Letter case the way every name of the system compares: account and user
// names, session keys, settings value names, image names of processes and
// the names of files the appliances send. Only the ASCII letters A-Z and
// a-z fold; every other byte (UTF-8 or GBK text included) compares as it
// is, whatever the process's locale.
//
// It lives at the bottom layer so that the platform code, which needs the
// same rule for settings and process names, shares the one definition.
#pragma once

#include <string>
#include <string_view>

namespace zv {

constexpr char ToLowerAscii(char c) {
  return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

// The text with A-Z turned into a-z.
inline std::string ToLowerAscii(std::string_view text) {
  std::string lower(text);
  for (char& c : lower) c = ToLowerAscii(c);
  return lower;
}

// Equal lengths and equal bytes once A-Z are folded.
constexpr bool EqualsIgnoringCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (ToLowerAscii(a[i]) != ToLowerAscii(b[i])) return false;
  }
  return true;
}

}  // namespace zv
