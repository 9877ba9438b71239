// Building SQL text from names: which names may become identifiers and how
// they are quoted. Names from appliances, the console or files on disk go
// through IsSqlIdentifier before they are quoted into a statement.
#pragma once

#include <string>
#include <string_view>

namespace zv {

inline constexpr size_t kMaxIdentifierLength = 64;

// 1 to 64 characters, each a letter, a digit or '_'.
bool IsSqlIdentifier(std::string_view name);

// The name in backticks, backticks inside doubled.
std::string QuoteIdentifier(std::string_view name);

// Schemas of the server itself, never written by the importer.
bool IsSystemDatabase(std::string_view name);

// The importer's record of the log tables it loaded, one row per file, in
// each storage's database beside the loaded tables.
inline constexpr const char* kLoadedFilesTable = "LoadedFiles";

// Tables of a storage's database that belong to the server itself (the
// statistics tables TableInfo and AttachInfo and the importer's record),
// in any letter case: no received table may be loaded over them.
bool IsReservedTableName(std::string_view name);

}  // namespace zv
