// Test-only helpers of the disk monitor and retention tests: client data of
// test storages laid out as the server keeps it (databases on the test
// MariaDB, day folders below the test home's data roots) and the settings
// the policies read. Needs RegisterDbTestHome().
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "db/db_test_util.h"

namespace zv::testing {

// Points the attachment folder at <root>/attach and the log data folder at
// <root>/mysql/log_data, turns every policy off and empties the journal; the
// destructor does the same again and drops the storages it made.
class RetentionEnvironment {
 public:
  RetentionEnvironment();
  ~RetentionEnvironment();
  RetentionEnvironment(const RetentionEnvironment&) = delete;
  RetentionEnvironment& operator=(const RetentionEnvironment&) = delete;

  // A storage name of the test's own, with an empty database.
  std::string NewStorage();

  // Runs statements in storage's database as root; fails the test on error.
  void Run(const std::string& storage, const std::vector<std::string>& statements);
  // The values of column v of a query's rows, sorted.
  std::vector<std::string> Column(const std::string& storage, const std::string& sql);
  void DropAllTables(const std::string& storage);

  // A day's tables: with all_kinds its log tables A, U and o, a D table,
  // its intermediate tables MIDABCDE, LOGMID, LOGMID_123456789 and the
  // undated MIDAGA4H, and a config table "users"; else only its A table.
  // Either way TableInfo (row A<date>), AttachInfo (row I<date>) and
  // oprlog (rows at 00:00:00 and 23:59:59 of the day).
  void SeedDayTables(const std::string& storage, const std::string& date, bool all_kinds = true);
  // A day's folders, each with a file: the log-table folder and the six
  // attachment day folders.
  void SeedDayFolders(const std::string& storage, const std::string& date);
  // "<sub folder>/<date>" of every day folder of storage, sorted.
  std::vector<std::string> DayFolders(const std::string& storage) const;
  // The names of storage's log-table day folders, sorted.
  std::vector<std::string> LogTableDays(const std::string& storage) const;
  void ClearFolders(const std::string& storage);

  // zvtools.ini with section ZV_CONFIG holding lines, reloaded.
  void WriteTools(const std::string& lines);
  // FilePath of dbconf.ini and the path of mysql_path.ini (none: no file),
  // reloaded.
  void SetRoots(const std::string& file_path, const std::optional<std::string>& mysql_path);

  std::string attachment_root() const;
  std::string data_root() const;

 private:
  ScopedDatabaseNames names_;
  std::vector<std::string> storages_;
};

// The tables of storage's database, sorted.
std::vector<std::string> TablesOf(const std::string& storage);

// Changes the working folder for the lifetime of the object.
class ScopedCurrentDirectory {
 public:
  explicit ScopedCurrentDirectory(const std::string& path);
  ~ScopedCurrentDirectory();
  ScopedCurrentDirectory(const ScopedCurrentDirectory&) = delete;
  ScopedCurrentDirectory& operator=(const ScopedCurrentDirectory&) = delete;

 private:
  std::string previous_;
};

}  // namespace zv::testing
