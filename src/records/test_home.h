// A temporary home for the tests of the record files and the data files:
// home folder, registry file, object namespace and the MySQL data path
// ("<root>/mysql/log_data") are set up once per test process, before the
// configuration and the logs are first used. Test-only.
#pragma once

#include <string>
#include <string_view>

namespace zv::testing {

// Registers the environment (call from a static initialiser of the test).
bool RegisterTestHome();

// The home folder and the data directory of the test process.
const std::string& TestHomeDirectory();
const std::string& TestDataDirectory();

// Everything the debug log holds so far (all its files).
std::string DebugLogText();
// The debug log lines written after construction.
class DebugLogWatch {
 public:
  DebugLogWatch() : start_(DebugLogText().size()) {}
  std::string NewText() const {
    std::string text = DebugLogText();
    return start_ <= text.size() ? text.substr(start_) : text;
  }
  bool Saw(std::string_view text) const { return NewText().find(text) != std::string::npos; }

 private:
  size_t start_;
};

// True when the operation log holds text (given in UTF-8).
bool OperationLogContains(std::string_view utf8_text);

}  // namespace zv::testing
