// Importer: the work of the importer program Loader.exe, which loads
// received table files into the local MySQL server.
//
//   Loader.exe CreateTable "db" "TableInfo"|"AttachInfo"
//   Loader.exe LoadConfigTable "db.table" "file"   (replaces the rows)
//   Loader.exe LoadLogTable                         (appends waiting files)
//
// LoadLogTable finds its work in every storage's filelist/data.lst2 below
// the data directory: each entry of the `filelist` table that is not yet in
// the importer's own `loaded` table of the same file is loaded once into
// database <storage>, table <entry tablename> ("oprlog" entries go to
// "o" + the date the file name starts with). A file that is malformed or
// does not match its entry is recorded as failed and never tried again; a
// file that fails because the database does not answer stays waiting.
//
// Files are streamed to LOAD DATA LOCAL INFILE through a checker
// (table_file.h), inside a transaction: a file loads whole or not at all.
// A log table's transaction also enters the file in the storage
// database's LoadedFiles table, so the rows and the record that they are
// there commit together: an importer killed at any moment, even between
// its commit and its note in data.lst2, never loads a file twice (the next
// run finds the file in LoadedFiles and only writes the note). A file is
// known by its path, CRC and size, so the same file listed again (an
// appliance that sends it once more because the server died before its
// confirm) is not loaded again either.
// One Importer per process, used by one thread.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "db/zv_db_manager.h"

namespace zv {

// Exit codes of Loader.exe.
inline constexpr int kImporterOk = 0;
inline constexpr int kImporterFailed = 1;
inline constexpr int kImporterUsage = 2;
inline constexpr int kImporterBusy = 3;  // another importer held the mutex too long

enum class LoadOutcome {
  kLoaded,
  kFileError,      // the file or its entry is at fault: do not retry
  kDatabaseError,  // the server failed or did not answer: retry later
};

struct LoadReport {
  LoadOutcome outcome = LoadOutcome::kLoaded;
  uint64_t rows = 0;
  bool already_loaded = false;  // LoadedFiles had the file: nothing was done
  std::string error;
};

enum class LoadMode {
  kReplace,  // a config table: the file is the whole new content
  kAppend,   // a log table: the file's rows are added
};

// What the file must be, from its file-list entry.
struct FileExpectation {
  uint64_t size = 0;
  uint32_t crc = 0;
};

// A log table file's identity: the key of its row in LoadedFiles.
struct LoadMark {
  std::string path;
  uint32_t crc = 0;
  uint64_t size = 0;
};

// Counts of one LoadLogTable run.
struct LogLoadStats {
  int loaded = 0;
  int failed = 0;   // recorded as failed
  int retried = 0;  // database errors, left waiting
};

class Importer {
 public:
  // Called right after a load's transaction committed, with the file.
  using CommitObserver = std::function<void(const std::string& file)>;

  // data_path: the folder of received files, one sub-folder per storage.
  // after_commit: none in the program; tests pass one to stop the importer
  // at that moment.
  explicit Importer(std::string data_path, CommitObserver after_commit = {});

  // Each returns the exit code of the program and writes what went wrong
  // to standard error.
  int CreateTable(const std::string& database, const std::string& table);
  int LoadConfigTable(const std::string& target, const std::string& file);
  int LoadLogTable();

  // Loads file into database.table, creating the database, the table and
  // missing columns (LONGTEXT) first. db must be connected. With a mark,
  // a file LoadedFiles already holds is not loaded again (already_loaded),
  // and otherwise the mark is entered in the same transaction as the rows.
  LoadReport LoadFile(ZVDBManager* db, const std::string& database, const std::string& table,
                      const std::string& file, LoadMode mode,
                      const std::optional<FileExpectation>& expect,
                      const LoadMark* mark = nullptr);

  const LogLoadStats& last_log_stats() const { return log_stats_; }

 private:
  // Loads the waiting entries of one storage; false when any failed.
  bool LoadStorage(const std::string& storage, const std::string& list_path);

  std::string data_path_;
  CommitObserver after_commit_;
  LogLoadStats log_stats_;
  bool server_unreachable_ = false;  // during LoadLogTable: a connect failed
};

// The connection options the importer uses: LOAD DATA LOCAL and utf8mb4.
ConnectOptions ImporterConnectOptions();

// The MySQL table an entry of the file list names: "oprlog" (any case)
// becomes "o" + the eight digits the file's name starts with; anything
// else is used as it is. Empty when no valid name results.
std::string LogTableNameForEntry(const std::string& file_path, const std::string& list_name);

// The program: checks the arguments, holds the importer's named mutex
// (waiting up to ten minutes for another importer to finish), loads the
// configuration and runs the command. Returns the exit code.
int RunImporterProgram(const std::vector<std::string>& args);

}  // namespace zv
