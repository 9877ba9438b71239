#include "crashdump/crash_test_util.h"

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <regex>
#include <sstream>

namespace zv::testing {
namespace {

std::string RunCommand(const std::string& command) {
  std::string output;
  if (FILE* pipe = ::popen(command.c_str(), "r")) {
    char buffer[4096];
    size_t n;
    while ((n = std::fread(buffer, 1, sizeof(buffer), pipe)) > 0) output.append(buffer, n);
    ::pclose(pipe);
  }
  return output;
}

}  // namespace

std::vector<std::string> SplitLines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

Frame FindFrame(const std::string& report, const std::string& text) {
  static const std::regex kFrame(R"(  #\d+ +0x[0-9a-f]{16}  (\S+)\+(0x[0-9A-F]+)(?:  (\S+))?)");
  bool in_backtrace = false;
  for (const std::string& line : SplitLines(report)) {
    if (line.rfind("Backtrace", 0) == 0) {
      in_backtrace = true;
    } else if (in_backtrace && line.empty()) {
      break;
    } else if (in_backtrace && line.find(text) != std::string::npos) {
      std::smatch m;
      if (std::regex_match(line, m, kFrame)) return Frame{m[1], m[2], m[3]};
    }
  }
  return Frame{};
}

std::string FunctionAt(const Frame& frame) {
  const std::string output =
      RunCommand("addr2line -C -f -e '" + frame.module + "' " + frame.offset);
  return output.substr(0, output.find('\n'));
}

std::string BuildIdOf(const std::string& path) {
  std::smatch m;
  const std::string notes = RunCommand("readelf -n '" + path + "'");
  if (std::regex_search(notes, m, std::regex("Build ID: ([0-9a-f]+)"))) return m[1];
  return std::string();
}

bool HasMemorySection(const std::string& report, const std::string& perms,
                      const std::string& path) {
  // Plain string work: a full report runs to tens of megabytes.
  const std::string header_end = " " + perms + " " + path + ":\n  0x";
  for (size_t at = report.find(header_end); at != std::string::npos;
       at = report.find(header_end, at + 1)) {
    const size_t line_start = report.rfind('\n', at) + 1;
    // "Memory 0x<16>-0x<16>" and then the permissions.
    if (at - line_start == 7 + 18 + 1 + 18 && report.compare(line_start, 9, "Memory 0x") == 0) {
      return true;
    }
  }
  return false;
}

std::vector<std::string> ListReports(const std::string& folder) {
  std::vector<std::string> names;
  std::error_code ec;
  for (const auto& entry : std::filesystem::directory_iterator(folder, ec)) {
    const std::string name = entry.path().filename().string();
    if (name.size() > 4 && name.compare(name.size() - 4, 4, ".dmp") == 0) names.push_back(name);
  }
  std::sort(names.begin(), names.end());
  return names;
}

}  // namespace zv::testing
