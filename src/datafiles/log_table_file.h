// LogTableFile: a daily log table an appliance uploads, one file per kind
// and day, named "YYYYMMDD_hhmm_<device id>_<kind>.dat" and stored in
// D/S/logtable/YYYYMMDD. Uploads resume through the kind's position slot.
// Once complete and verified: the statistics rows of the day's table are
// made sure of (TableInfo, AttachInfo in database S), the file is entered
// in S's file list, its slot is marked complete and the importer is run.
// The file stays on disk; retention removes old days.
//
// Owned by one client session and used on that session's thread; processing
// runs while the session holds the controller's processing lock.
#pragma once

#include <string>
#include <string_view>

#include "datafiles/sync_data_file.h"
#include "datafiles/sync_position.h"

namespace zv {

class LogTableFile final : public SyncDataFile {
 public:
  explicit LogTableFile(CZvAccountFile* position_file) : SyncDataFile(position_file) {}

  // D/S/logtable/YYYYMMDD/name; empty when the name does not parse.
  std::string GetFilePath(const std::string& name) override;
  // True also when the import itself failed (that is logged): the slot
  // already shows the file complete, so the client does not send it again.
  bool ProcessFile() override;

  // Makes sure TableInfo and AttachInfo exist in database and hold the rows
  // of table (no TableInfo row for an "o..." table). Duplicate rows are
  // fine. False only when the database cannot be reached or a name is not
  // a plain identifier. REQUIRES: both names non-empty (else throws 0).
  bool CreateDBInfo(const std::string& database, const std::string& table);
  // Appends this file to D/database/filelist/data.lst2.
  bool AppendFileList(const std::string& file_path, const std::string& database,
                      const std::string& list_name);

  // The MySQL table of a parsed name: "o"+date for the kind oprlog (any
  // letter case), kind+date otherwise. *list_name is what the file list
  // records: "oprlog" or the table.
  static void TableNamesOf(const DataFileName& name, std::string* table, std::string* list_name);
  // The attachment-statistics row of a table: first letter kept for 'M'
  // and 'I', 'O' for 'P' and 'U', 'X' for anything else.
  static std::string AttachTableNameOf(std::string_view table);
};

}  // namespace zv
