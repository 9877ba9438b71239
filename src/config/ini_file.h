// IniFile: the reader of the three ini files, with the exact lookup rules
// the files' writers rely on (see ini_file.cc for the quirks). Owned by the
// load that creates it (one fresh reader per load); one thread at a time.
#pragma once

#include <cstdint>
#include <string>
#include <unordered_map>

namespace zv {

class IniFile {
 public:
  // 0 when read; -1 the file could not be opened (or is no regular file, or
  // could not be read); -2 out of memory (or a file over 64 MiB).
  [[nodiscard]] int Load(const std::string& path);
  // Parses text as the content of a file (for tests and callers holding it).
  void Parse(const std::string& text);

  std::string GetString(const std::string& section, const std::string& key,
                        const std::string& default_value) const;
  uint32_t GetUInt(const std::string& section, const std::string& key,
                   uint32_t default_value) const;

 private:
  // Lower-cased section name (first 96 chars) -> lower-cased key -> value.
  std::unordered_map<std::string, std::unordered_map<std::string, std::string>> sections_;
};

}  // namespace zv
