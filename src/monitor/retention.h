// Retention: the deletion side of the disk monitor. It decides which days
// of the clients' data go (the log policy of zvtools.ini, the oldest day
// while a disk is below the alarm value, expired intermediate tables,
// attachment days marked deleted), finds every part of a day in the
// database and on disk, and deletes it.
//
// A day of a client is: its log tables and intermediate tables of that date
// in the client's database (named by the storage name), its rows of that
// date in oprlog, TableInfo and AttachInfo, its attachment day folders
// below the attachment folder and its log-table day folder below the log
// data folder.
//
// The rule every deletion follows: a day is written to the journal (the
// setting PendingDeleteDate) before any of it is deleted, and leaves the
// journal only once every step of its deletion has been attempted. Each
// change of the journal is written at once (the settings store replaces
// its file atomically), so after a crash or a kill at any moment the
// journal holds exactly the days whose deletion was not finished, and the
// next ProcessPendingDeletes finishes those and nothing else.
//
// What reaches a path or a statement is checked where it is used: a
// storage name only when it is one plain name (IsRetainedStorage), a date
// only when it is eight digits, table names only quoted as identifiers, and
// folders are deleted only below a data root that is absolute and not "/".
//
// Owner: the disk monitor makes one for each run of its thread; tests make
// their own. Threads: one at a time, the monitor's thread while it holds
// the processing lock.
#pragma once

#include <compare>
#include <cstdint>
#include <ctime>
#include <functional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

namespace zv {

class DiskMonitor;

// Storage name of a delete item that stands for every client, and the two
// deletion methods.
inline constexpr const char* kAllStorages = "$ALL$";
inline constexpr const char* kMethodAll = "$ALL$";          // log and intermediate tables
inline constexpr const char* kMethodLogOnly = "$LOGONLY$";  // log tables only

// One day to delete. Ordered by date, storage, method, byte by byte.
struct DeleteItem {
  std::string date;     // YYYYMMDD
  std::string storage;  // a storage name or kAllStorages
  std::string method;   // kMethodAll or kMethodLogOnly

  auto operator<=>(const DeleteItem&) const = default;
  bool operator==(const DeleteItem&) const = default;
};
using DeleteItems = std::set<DeleteItem>;

// Kinds of tables GetTableDate recognises (a bit set).
inline constexpr unsigned kLogTables = 1;
inline constexpr unsigned kMidTables = 2;

// The date a table belongs to, or "" when the name is none of the kinds
// asked for or holds no eight-digit date where its kind keeps it. Letter
// case does not matter.
//   log tables: a letter A-X other than D E G H J L N V, then the date;
//   intermediate: "MID" + 5 characters + the date (never "MIDAGA4H",
//     "MIDFGA4H", "MIDUUU4H", "MIDUGU4H"), or "LOGMID" + the date, or
//     "LOGMID_" + 9 characters + the date.
std::string GetTableDate(std::string_view name, unsigned kinds);

// A storage name retention may turn into a path or a database: one plain
// name as the data files require (no separators, blanks, ';', '$', ...)
// and not one of the database server's own schemas.
bool IsRetainedStorage(std::string_view name);

// The folder below which a data root lets retention delete: the root
// without trailing separators, or "" when it is empty, relative or "/".
std::string DeletionRoot(const std::string& root);

// The local calendar date of t as YYYYMMDD, and the date `days` calendar
// days before it ("00000000" for a day before year 1).
std::string LocalDate(time_t t);
std::string LocalDateDaysBefore(time_t t, uint32_t days);

// The journal text of items, one "date storage method;" entry each in set
// order; items that cannot be written (date not eight digits, storage not
// "$ALL$" nor a retained name, method empty or holding ' ' or ';') are left
// out and each one is added to *bad when given.
std::string FormatDeleteItems(const DeleteItems& items, std::vector<DeleteItem>* bad = nullptr);
// Parses a journal text into *items (cleared first): the number of valid
// entries; each piece that is not one is added to *bad when given.
size_t ParseDeleteItems(std::string_view text, DeleteItems* items,
                        std::vector<std::string>* bad = nullptr);

class Retention {
 public:
  // The storage names of all accounts ("all databases").
  using StorageNames = std::function<std::set<std::string>()>;
  // The current time; the system clock when empty.
  using Clock = std::function<time_t()>;

  // disks answers the space verdicts of the two policies that watch free
  // space; it must outlive this object.
  Retention(const DiskMonitor& disks, StorageNames names, Clock clock = nullptr);
  Retention(const Retention&) = delete;
  Retention& operator=(const Retention&) = delete;

  // The log policy of DelMethod: 0 keeps DelDay days, 1 deletes the oldest
  // day while the MySQL disk is more than DelPercent % used, 2 is off.
  void CheckLog();
  // While a disk has less than AlarmValue MiB available and AutoDelOneDay
  // is set: deletes the oldest day, measures again, until both disks are
  // fine, nothing is left but today, or a deletion made no progress.
  void CheckDisk();
  // With DelMid set: drops intermediate tables dated AutoDelMidDay days ago
  // or earlier, in every database.
  void CheckMidTable();
  // Turns the attachment days marked deleted (AttachInfo.file_del = 1) of
  // storage (empty: of every client) into "$LOGONLY$" journal items.
  bool CheckDeleteAttach(const std::string& storage);

  // Deletes days of storage (empty: of every client): with an empty date
  // the oldest day found; else by condition 0 the date alone, 1 every day
  // found up to it, 2 every day found from it on. Today is never selected.
  // *count (optional) receives the number of days selected. False when the
  // server cannot be reached, an argument is invalid or the journal could
  // not be written.
  bool DeleteLog(const std::string& storage, const std::string& date, uint32_t condition,
                 uint32_t* count);
  // Carries out the journal one item at a time, oldest first, removing each
  // item once its deletion has been attempted. A "$ALL$" item waits in the
  // journal while no storage name is known.
  void ProcessPendingDeletes();

  // The journal in the settings store.
  size_t LoadPendingDeleteItems(DeleteItems* items);
  bool SavePendingDeleteItems(const DeleteItems& items);

  // Dates of the data of storage (empty: of every client): log-table
  // folders, attachment day folders and dated tables. The number found,
  // duplicates counted.
  size_t CollectLogDates(const std::string& storage, std::set<std::string>* dates);

  // The steps of one concrete item (storage is a storage name).
  bool DeleteDayData(const DeleteItem& item);
  bool DeleteAttachmentFolders(const DeleteItem& item);
  bool DeleteLogTableFolder(const DeleteItem& item);
  bool DeleteTables(const std::string& storage, const std::vector<std::string>& tables);
  bool DeleteOprlog(const std::string& storage, const std::string& date);
  bool DeleteTableInfo(const std::string& storage, const std::string& date);
  bool DeleteAttachInfo(const std::string& storage, const std::string& date);

  // The journal item ProcessPendingDeletes finished last, as it stood in
  // the journal; ("", "", "$ALL$") before the first.
  const DeleteItem& last_processed() const { return last_processed_; }

 private:
  // The retained storage names of all accounts.
  std::set<std::string> AllDatabases() const;
  std::string Today() const;
  time_t Now() const;
  // The two data roots as DeletionRoot gives them; an unusable root is
  // reported once per journal pass.
  std::string AttachmentRoot();
  std::string LogDataRoot();
  std::string CheckedRoot(const std::string& configured, bool attachment);
  // A concrete item whose storage and date may reach a path.
  bool IsConcreteItem(const DeleteItem& item, const char* operation) const;
  // The DELETE of one day's rows of a statistics table (oprlog, TableInfo,
  // AttachInfo) of storage.
  bool DeleteDayRows(const std::string& storage, const char* table, const std::string& statement,
                     bool result_on_failure);

  const DiskMonitor& disks_;
  const StorageNames names_;
  const Clock clock_;
  DeleteItem last_processed_{"", "", kMethodAll};
  // The unusable roots ("what=value") reported in the current journal pass.
  std::set<std::string> warned_roots_;
};

}  // namespace zv
