// CZvLogFile: the operation log for the operator, in Chinese: one file a day
// (home/log/YYYYMMDD.log) of 256-byte GBK records, a ring of 16,384 records.
// One instance per process; every write is one record followed by a flush.
#pragma once

#include <cstdint>
#include <cstdio>
#include <ctime>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

namespace zv {

inline constexpr uint8_t kEventInfo = 0x31;
inline constexpr uint8_t kEventWarning = 0x32;
inline constexpr uint8_t kEventError = 0x33;
inline constexpr const char* kModuleSync = "同步器";
inline constexpr const char* kModuleDisk = "磁盘预警";

// Role: the operation log of the whole process. Owner: nobody; the instance
// is created on first use and never destroyed (every record is flushed, so
// nothing waits for a destructor). Threads: any; one lock covers Open and
// the whole of Write.
class PreparedLogEntry;

class CZvLogFile {
 public:
  static CZvLogFile& Instance();

  CZvLogFile(const CZvLogFile&) = delete;
  CZvLogFile& operator=(const CZvLogFile&) = delete;

  // 0 written; -1 no file could be opened; 12 the write failed.
  // Text from outside (client names) goes in through "%s", never as format.
  // REQUIRES: format not null (else throws 0).
  int Write(uint8_t code, const char* module, const char* format, ...)
      __attribute__((format(printf, 4, 5)));
  // 0, or 10 when no file could be opened or created.
  int Open();

  // Makes *entry ready to write one record later from a place where nothing
  // may lock, allocate or convert text (a crash handler): the module and
  // the message's fixed start are converted to GBK now, and the folder is
  // the one this log writes to now. message_start is text, not a format.
  void PrepareEntry(uint8_t code, const char* module, const char* message_start,
                    PreparedLogEntry* entry);

  // One entry as written, for a view that shows the latest ones.
  struct RecentEntry {
    std::string time;  // "hh:mm:ss", local
    uint8_t code = 0;  // kEventInfo, kEventWarning or kEventError
    std::string module;
    std::string text;  // UTF-8, not cut
  };
  // Keeps the last count entries written from now on, whether or not they
  // reached the file (0, the default, keeps none). The interactive status
  // view asks for them.
  void KeepRecent(size_t count);
  // The entries kept, oldest first.
  std::vector<RecentEntry> Recent() const;

  // For tests: the folder (default home + "/log") and the clock (null
  // restores the system clock). Both close the open file.
  void SetDirectoryForTesting(const std::string& directory);
  void SetClockForTesting(std::function<time_t()> clock);

 private:
  CZvLogFile();
  struct Impl;
  Impl* const impl_;  // owned, never freed (see Instance())
};

// One operation-log record made ready ahead of time (CZvLogFile::
// PrepareEntry). Write uses only mkdir, open, lseek, pwrite and close, so
// it is async-signal-safe. It opens the day's file itself and continues
// after the file's last whole record, exactly as a freshly opened log does
// (the watchdog's process shares the files the same way). Owner: whoever
// prepared it; Write may be called from any thread or signal handler.
class PreparedLogEntry {
 public:
  PreparedLogEntry() = default;
  PreparedLogEntry(const PreparedLogEntry&) = delete;
  PreparedLogEntry& operator=(const PreparedLogEntry&) = delete;

  // Writes the record with the prepared message followed by tail (ASCII,
  // cut where the message field ends), stamped with local's time, into the
  // file of local's date. 0 written; -1 not prepared or no file could be
  // opened; 12 the write failed.
  int Write(const struct tm& local, const char* tail) const;

 private:
  friend class CZvLogFile;
  static constexpr size_t kRecordBytes = 256;
  static constexpr size_t kFolderBytes = 4096;

  bool ready_ = false;
  char folder_[kFolderBytes] = {};
  unsigned char record_[kRecordBytes] = {};  // everything but time and tail
  size_t message_bytes_ = 0;                 // of the prepared message
};

// UTF-8 text converted to GBK; a character GBK lacks, or a byte that is not
// valid UTF-8, becomes '?'.
std::string ConvertUtf8ToGbk(std::string_view utf8);

}  // namespace zv

// Shorthands for the operation log.
#define ZV_OPLOG(code, module, ...) ::zv::CZvLogFile::Instance().Write((code), (module), __VA_ARGS__)
