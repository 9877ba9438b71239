// Helpers for the crash report tests: reading reports the way an engineer
// does (a backtrace line, then addr2line on it). Test-only.
#pragma once

#include <string>
#include <vector>

namespace zv::testing {

// One backtrace line of a report.
struct Frame {
  std::string module;  // empty when no line matched
  std::string offset;  // "0x..." as the report gives it
  std::string name;    // the function name the report gives, may be empty
};

// The first backtrace frame whose line contains text; module empty when none.
Frame FindFrame(const std::string& report, const std::string& text);

// What addr2line -C -f says the function at the frame's module+offset is.
std::string FunctionAt(const Frame& frame);

// The build id readelf reads from the file's ELF notes (empty when none).
std::string BuildIdOf(const std::string& path);

// True when the report holds a memory section of the mapping with these
// permissions and path, with at least one line of bytes.
bool HasMemorySection(const std::string& report, const std::string& perms,
                      const std::string& path);

// The names of the files in folder that end in ".dmp", sorted.
std::vector<std::string> ListReports(const std::string& folder);

std::vector<std::string> SplitLines(const std::string& text);

}  // namespace zv::testing
