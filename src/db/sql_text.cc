#include "db/sql_text.h"

#include "platform/ascii_case.h"

namespace zv {

bool IsSqlIdentifier(std::string_view name) {
  if (name.empty() || name.size() > kMaxIdentifierLength) return false;
  for (char c : name) {
    const bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                    c == '_';
    if (!ok) return false;
  }
  return true;
}

std::string QuoteIdentifier(std::string_view name) {
  std::string out;
  out.reserve(name.size() + 2);
  out.push_back('`');
  for (char c : name) {
    if (c == '`') out.push_back('`');
    out.push_back(c);
  }
  out.push_back('`');
  return out;
}

bool IsSystemDatabase(std::string_view name) {
  static constexpr const char* kSystem[] = {"mysql", "information_schema", "performance_schema",
                                            "sys"};
  for (const char* s : kSystem) {
    if (EqualsIgnoringCase(name, s)) {
      return true;
    }
  }
  return false;
}

bool IsReservedTableName(std::string_view name) {
  static constexpr const char* kReserved[] = {"TableInfo", "AttachInfo", kLoadedFilesTable};
  for (const char* s : kReserved) {
    if (EqualsIgnoringCase(name, s)) return true;
  }
  return false;
}

}  // namespace zv
