// DBInfo: keeps the two statistics tables of every client database up to
// date: TableInfo (bytes used by each MySQL table) and AttachInfo (bytes
// the attachment files of each day use on disk), and drops the temporary
// ("_tmp") and intermediate ("_mid") tables an interrupted import left.
//
// Stateless; one process-wide instance. Any thread may call it (the disk
// monitor, sessions processing log tables); every call opens its own
// database connection and closes it before returning. The forms that take
// a set of databases are handed the storage names of the accounts by their
// caller (the disk monitor asks the controller for them).
#pragma once

#include <cstdint>
#include <set>
#include <string>
#include <string_view>

namespace zv {

class ZVDBManager;

class DBInfo {
 public:
  static DBInfo& Instance();
  virtual ~DBInfo() = default;
  DBInfo(const DBInfo&) = delete;
  DBInfo& operator=(const DBInfo&) = delete;

  // Creates table in db through the importer when it is missing. False only
  // when db cannot be connected (or a name is not a plain identifier).
  bool EnsureTable(const std::string& db, const std::string& table);
  // The same over connected, a connection to db the caller holds.
  bool EnsureTable(ZVDBManager* connected, const std::string& db, const std::string& table);
  // Rewrites TableInfo of db. False when db is empty or not usable.
  bool UpdateTableInfo(const std::string& db);
  // Each database of the set (empty names skipped); a failure is written to
  // the operation log and the others go on. Always true.
  bool UpdateTableInfo(const std::set<std::string>& databases);
  // Updates file_size of every AttachInfo row of db not marked deleted.
  bool UpdateAttachInfo(const std::string& db);
  bool UpdateAttachInfo(const std::set<std::string>& databases);  // as UpdateTableInfo
  // Drops the "_tmp" and "_mid" tables of db, or of each database of the
  // set. False when the MySQL server cannot be reached at all.
  bool CleanOldTables(const std::string& db);
  bool CleanOldTables(const std::set<std::string>& databases);
  // Bytes of the attachment folders of an attachment table such as
  // I20101216; 0 for a name that is not a letter and eight digits.
  uint64_t GetAttachmentSize(const std::string& db, const std::string& table_name);
  // Bytes below folder, through the folder's "dirstat" cache when that is
  // intact, else counted and cached. 0 when folder is not a folder.
  uint64_t GetFolderSize(const std::string& folder);

  // The cache text of a size: "%lld %08X", the CRC-32 of the size's eight
  // little-endian bytes; no line end.
  static std::string FormatDirStat(int64_t size);
  // Reads a cache text; false when it is not of that form or the CRC does
  // not match.
  static bool ParseDirStat(std::string_view text, int64_t* size);

 private:
  DBInfo() = default;
};

}  // namespace zv
